#include "platform/xpc/wire.h"

#include <nlohmann/json.hpp>

#include "platform/base/cursor.h"

namespace xpc::wire {
namespace {

using nlohmann::json;

// Parses a message body. Returns false when it is not one JSON object.
// Containers nested deeper than kMaxNesting are not built; `tooDeep` reports
// them, and such a message cannot be an acceptable request or reply.
bool parseObject(std::string_view body, json& out, bool& tooDeep) {
    tooDeep = false;
    json::parser_callback_t limitNesting = [&tooDeep](int depth, json::parse_event_t event,
                                                      json& /*parsed*/) {
        if ((event == json::parse_event_t::object_start ||
             event == json::parse_event_t::array_start) &&
            depth > kMaxNesting) {
            tooDeep = true;
            return false;
        }
        return true;
    };
    out = json::parse(body.begin(), body.end(), limitNesting, /*allow_exceptions=*/false);
    return out.is_object();
}

bool readSeq(const json& message, uint64_t& seq) {
    auto it = message.find("seq");
    if (it == message.end() || !it->is_number_integer()) {
        return false;
    }
    if (it->is_number_unsigned()) {
        seq = it->get<uint64_t>();
        return true;
    }
    const int64_t value = it->get<int64_t>();
    if (value < 0) {
        return false;
    }
    seq = static_cast<uint64_t>(value);
    return true;
}

bool readValue(const json& element, char code, Value& out) {
    switch (code) {
        case 'c':
            if (!element.is_boolean()) {
                return false;
            }
            out = element.get<bool>();
            return true;
        case '@':
            if (element.is_null()) {
                out = std::optional<std::string>();
                return true;
            }
            if (!element.is_string()) {
                return false;
            }
            out = std::optional<std::string>(element.get<std::string>());
            return true;
        default:
            return false;
    }
}

json toJson(const std::vector<Value>& values) {
    json array = json::array();
    for (const Value& value : values) {
        if (const bool* flag = std::get_if<bool>(&value)) {
            array.push_back(*flag);
        } else {
            const auto& text = std::get<std::optional<std::string>>(value);
            if (text) {
                array.push_back(*text);
            } else {
                array.push_back(nullptr);
            }
        }
    }
    return array;
}

std::string dump(const json& message) {
    return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

void FrameReader::append(const char* data, size_t size) {
    // Drop what has been consumed before growing, so a long-lived connection
    // keeps at most one partial message plus one read in memory.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(data, size);
}

FrameReader::Status FrameReader::next(std::string& body) {
    base::Cursor frame(std::string_view(buffer_).substr(start_));
    const uint32_t length = frame.be32();
    if (!frame.ok()) {
        return Status::NeedMore;
    }
    if (length > kMaxMessageSize) {
        return Status::TooLarge;
    }
    const std::string_view bytes = frame.chars(length);
    if (!frame.ok()) {
        return Status::NeedMore;
    }
    body.assign(bytes);
    start_ += frame.offset();
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return Status::Message;
}

std::string frame(std::string_view body) {
    const auto length = static_cast<uint32_t>(body.size());
    std::string out;
    out.reserve(4 + body.size());
    out.push_back(static_cast<char>((length >> 24) & 0xff));
    out.push_back(static_cast<char>((length >> 16) & 0xff));
    out.push_back(static_cast<char>((length >> 8) & 0xff));
    out.push_back(static_cast<char>(length & 0xff));
    out.append(body);
    return out;
}

Decoded decodeRequest(std::string_view body, const Interface* interface, Request& out) {
    json message;
    bool tooDeep = false;
    if (!parseObject(body, message, tooDeep)) {
        return Decoded::Fatal;
    }
    if (tooDeep || interface == nullptr) {
        return Decoded::Dropped;
    }
    uint64_t seq = 0;
    if (!readSeq(message, seq)) {
        return Decoded::Dropped;
    }
    auto selector = message.find("selector");
    auto types = message.find("types");
    auto args = message.find("args");
    if (selector == message.end() || !selector->is_string() || types == message.end() ||
        !types->is_string() || args == message.end() || !args->is_array()) {
        return Decoded::Dropped;
    }
    const MethodDescription* method = interface->method(selector->get_ref<const std::string&>());
    if (method == nullptr || types->get_ref<const std::string&>() != method->replyTypes ||
        args->size() != method->argumentTypes.size()) {
        return Decoded::Dropped;
    }
    std::vector<Value> values(args->size());
    for (size_t i = 0; i < values.size(); ++i) {
        if (!readValue((*args)[i], method->argumentTypes[i], values[i])) {
            return Decoded::Dropped;
        }
    }
    out.seq = seq;
    out.method = method;
    out.args = std::move(values);
    return Decoded::Ok;
}

Decoded decodeReply(std::string_view body, ReplyMessage& out) {
    json message;
    bool tooDeep = false;
    if (!parseObject(body, message, tooDeep)) {
        return Decoded::Fatal;
    }
    uint64_t seq = 0;
    if (tooDeep || !readSeq(message, seq)) {
        return Decoded::Dropped;
    }
    auto reply = message.find("reply");
    if (reply == message.end() || !reply->is_array()) {
        return Decoded::Dropped;
    }
    std::vector<Value> values(reply->size());
    for (size_t i = 0; i < values.size(); ++i) {
        const json& element = (*reply)[i];
        if (!readValue(element, element.is_boolean() ? 'c' : '@', values[i])) {
            return Decoded::Dropped;
        }
    }
    out.seq = seq;
    out.values = std::move(values);
    return Decoded::Ok;
}

std::string encodeRequest(uint64_t seq, std::string_view selector, std::string_view types,
                          const std::vector<Value>& args) {
    json message = json::object();
    message["seq"] = seq;
    message["selector"] = std::string(selector);
    message["types"] = std::string(types);
    message["args"] = toJson(args);
    return dump(message);
}

std::string encodeReply(uint64_t seq, const std::vector<Value>& values) {
    json message = json::object();
    message["seq"] = seq;
    message["reply"] = toJson(values);
    return dump(message);
}

std::string encodeValues(const std::vector<Value>& values) {
    return dump(toJson(values));
}

}  // namespace xpc::wire
