// Values, interfaces, audit tokens and service names: what the service side
// and the client side of a connection both use.
#include "platform/xpc/xpc.h"

#include "platform/xpc/socket.h"

#include <cstring>

namespace xpc {

bool valueMatchesType(const Value& value, char code) {
    switch (code) {
        case 'c':
            return std::holds_alternative<bool>(value);
        case '@':
            return std::holds_alternative<std::optional<std::string>>(value);
        default:
            return false;
    }
}

bool valuesMatchTypes(const std::vector<Value>& values, std::string_view types) {
    if (values.size() != types.size()) {
        return false;
    }
    for (size_t i = 0; i < values.size(); ++i) {
        if (!valueMatchesType(values[i], types[i])) {
            return false;
        }
    }
    return true;
}

bool isValidTypeString(std::string_view types) {
    for (char code : types) {
        if (code != 'c' && code != '@') {
            return false;
        }
    }
    return true;
}

bool Interface::addMethod(std::string selector, std::string argumentTypes, std::string replyTypes,
                          Invoker invoker) {
    if (selector.empty() || method(selector) != nullptr || !isValidTypeString(argumentTypes) ||
        !isValidTypeString(replyTypes) || !invoker) {
        return false;
    }
    methods_.push_back(
        {std::move(selector), std::move(argumentTypes), std::move(replyTypes), std::move(invoker)});
    return true;
}

const MethodDescription* Interface::method(std::string_view selector) const {
    for (const MethodDescription& m : methods_) {
        if (m.selector == selector) {
            return &m;
        }
    }
    return nullptr;
}

namespace {
void storeInt32(AuditToken& token, size_t offset, int32_t value) {
    std::memcpy(token.data() + offset, &value, sizeof value);
}
int32_t loadInt32(const AuditToken& token, size_t offset) {
    int32_t value = 0;
    std::memcpy(&value, token.data() + offset, sizeof value);
    return value;
}
}  // namespace

AuditToken detail::makeAuditToken(pid_t pid, int pidfd) {
    AuditToken token{};
    storeInt32(token, 0, static_cast<int32_t>(pid));
    storeInt32(token, 4, static_cast<int32_t>(pidfd + 1));
    return token;
}

pid_t audit_token_to_pid(const AuditToken& token) {
    return static_cast<pid_t>(loadInt32(token, 0));
}

int audit_token_to_pidfd(const AuditToken& token) {
    // Stored plus one, so that the all-zero token carries no descriptor.
    const int32_t stored = loadInt32(token, 4);
    return stored > 0 ? stored - 1 : -1;
}

std::string socketPathForServiceName(const std::string& name) {
    return "/run/" + name + ".sock";
}

}  // namespace xpc
