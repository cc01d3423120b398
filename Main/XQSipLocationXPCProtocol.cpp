#include "Main/XQSipLocationXPCProtocol.h"

#include "platform/xpc/xpc.h"

namespace {

xpc::Value nullable(const XQNullableString& s) {
    return xpc::Value(s);
}

// Every operation calls the exported object, which is exported as the
// protocol (XQSipLocationHelperXPCMgr).
using Operation = std::function<void(XQSipLocationXPCProtocol& target,
                                     const std::vector<xpc::Value>& args, const xpc::Reply& reply)>;

void add(xpc::Interface& interface, const XQSipLocationXPCOperation& operation, Operation call) {
    interface.addMethod(operation.selector, operation.argumentTypes, operation.replyTypes,
                        xpc::invokerOn<XQSipLocationXPCProtocol>(std::move(call)));
}

std::shared_ptr<xpc::Interface> makeInterface() {
    auto interface = xpc::Interface::create();
    add(*interface, kRunLocationHelperOperation,
        [](XQSipLocationXPCProtocol& target, const std::vector<xpc::Value>&,
           const xpc::Reply& reply) {
            target.runLocationHelperWithReply([reply](bool ok) { reply({ok}); });
        });
    add(*interface, kExitLocationHelperOperation,
        [](XQSipLocationXPCProtocol& target, const std::vector<xpc::Value>&,
           const xpc::Reply& reply) {
            target.exitLocationHelperWithReply(
                [reply](const XQNullableString& text) { reply({nullable(text)}); });
        });
    add(*interface, kInstallNewLocationHelperPackageOperation,
        [](XQSipLocationXPCProtocol& target, const std::vector<xpc::Value>& args,
           const xpc::Reply& reply) {
            const auto& path = std::get<std::optional<std::string>>(args.at(0));
            target.installNewLocationHelperPackage(path,
                                                   [reply](bool ok, const XQNullableString& text) {
                                                       reply({ok, nullable(text)});
                                                   });
        });
    add(*interface, kUninstallLocationHelperOperation,
        [](XQSipLocationXPCProtocol& target, const std::vector<xpc::Value>&,
           const xpc::Reply& reply) {
            target.uninstallLocationHelperWithReply([reply](bool ok, const XQNullableString& text) {
                reply({ok, nullable(text)});
            });
        });
    add(*interface, kRunLLDPCaptureOperation,
        [](XQSipLocationXPCProtocol& target, const std::vector<xpc::Value>&,
           const xpc::Reply& reply) {
            target.runLLDPCaptureWithReply(
                [reply](const XQNullableString& chassis, const XQNullableString& port) {
                    reply({nullable(chassis), nullable(port)});
                });
        });
    return interface;
}

}  // namespace

std::shared_ptr<xpc::Interface> XQSipLocationXPCProtocolInterface() {
    // The description never changes; every connection shares one.
    static const std::shared_ptr<xpc::Interface> interface = makeInterface();
    return interface;
}
