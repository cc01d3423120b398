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

class XQSipLocationXPCProtocol {
  public:
    using BoolReply = std::function<void(bool)>;
    using StringReply = std::function<void(const XQNullableString&)>;
    using BoolStringReply = std::function<void(bool, const XQNullableString&)>;
    using StringStringReply = std::function<void(const XQNullableString&, const XQNullableString&)>;

    virtual ~XQSipLocationXPCProtocol() = default;

    // "runLocationHelperWithReply:", reply types "c"
    virtual void runLocationHelperWithReply(BoolReply reply) = 0;
    // "exitLocationHelperWithReply:", reply types "@"
    virtual void exitLocationHelperWithReply(StringReply reply) = 0;
    // "installNewLocationHelperPackage:reply:", argument "@", reply types "c@"
    virtual void installNewLocationHelperPackage(const XQNullableString& path,
                                                 BoolStringReply reply) = 0;
    // "uninstallLocationHelperWithReply:", reply types "c@"
    virtual void uninstallLocationHelperWithReply(BoolStringReply reply) = 0;
    // "runLLDPCaptureWithReply:", reply types "@@"
    virtual void runLLDPCaptureWithReply(StringStringReply reply) = 0;
};

// The interface description of the protocol: the five selectors in declaration
// order with their argument and reply type codes, bound to the methods above.
std::shared_ptr<xpc::Interface> XQSipLocationXPCProtocolInterface();
