// The command surface that the service exports on every accepted connection.
// Every operation returns nothing and answers, at most once, through its reply
// callback; the callbacks may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace xpc {
class Interface;
}

// A string as the wire carries it: nullopt is nil.
using XQNullableString = std::optional<std::string>;

// One operation of the protocol as the wire names it: its selector, the type
// codes of its arguments and of its reply's values.
struct XQSipLocationXPCOperation {
    const char* selector;
    const char* argumentTypes;
    const char* replyTypes;
};

inline constexpr XQSipLocationXPCOperation kRunLocationHelperOperation{
    "runLocationHelperWithReply:", "", "c"};
inline constexpr XQSipLocationXPCOperation kExitLocationHelperOperation{
    "exitLocationHelperWithReply:", "", "@"};
inline constexpr XQSipLocationXPCOperation kInstallNewLocationHelperPackageOperation{
    "installNewLocationHelperPackage:reply:", "@", "c@"};
inline constexpr XQSipLocationXPCOperation kUninstallLocationHelperOperation{
    "uninstallLocationHelperWithReply:", "", "c@"};
inline constexpr XQSipLocationXPCOperation kRunLLDPCaptureOperation{"runLLDPCaptureWithReply:", "",
                                                                    "@@"};

// The service's interface and the client tool both take the operations from
// here, so that they cannot disagree.
class XQSipLocationXPCProtocol {
  public:
    using BoolReply = std::function<void(bool)>;
    using StringReply = std::function<void(const XQNullableString&)>;
    using BoolStringReply = std::function<void(bool, const XQNullableString&)>;
    using StringStringReply = std::function<void(const XQNullableString&, const XQNullableString&)>;

    virtual ~XQSipLocationXPCProtocol() = default;

    // One member an operation, in the order above.

    virtual void runLocationHelperWithReply(BoolReply reply) = 0;
    virtual void exitLocationHelperWithReply(StringReply reply) = 0;
    virtual void installNewLocationHelperPackage(const XQNullableString& path,
                                                 BoolStringReply reply) = 0;
    virtual void uninstallLocationHelperWithReply(BoolStringReply reply) = 0;
    virtual void runLLDPCaptureWithReply(StringStringReply reply) = 0;
};

// The interface description of the protocol: the five operations above, each
// bound to its member.
std::shared_ptr<xpc::Interface> XQSipLocationXPCProtocolInterface();
