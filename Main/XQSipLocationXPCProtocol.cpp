#include "Main/XQSipLocationXPCProtocol.h"

#include "platform/xpc/xpc.h"

namespace {

// The exported object is registered as a pointer to the protocol, so every
// invoker can cast it back to exactly that type.
XQSipLocationXPCProtocol* target(const std::shared_ptr<void>& object) {
    return static_cast<XQSipLocationXPCProtocol*>(object.get());
}

xpc::Value nullable(const XQNullableString& s) {
    return xpc::Value(s);
}

void add(xpc::Interface& interface, const XQSipLocationXPCOperation& operation,
         xpc::Invoker invoker) {
    interface.addMethod(operation.selector, operation.argumentTypes, operation.replyTypes,
                        std::move(invoker));
}

std::shared_ptr<xpc::Interface> makeInterface() {
    auto interface = xpc::Interface::create();
    add(*interface, kRunLocationHelperOperation,
        [](const std::shared_ptr<void>& object, const std::vector<xpc::Value>&,
           const xpc::Reply& reply) {
            target(object)->runLocationHelperWithReply([reply](bool ok) { reply({ok}); });
        });
    add(*interface, kExitLocationHelperOperation,
        [](const std::shared_ptr<void>& object, const std::vector<xpc::Value>&,
           const xpc::Reply& reply) {
            target(object)->exitLocationHelperWithReply(
                [reply](const XQNullableString& text) { reply({nullable(text)}); });
        });
    add(*interface, kInstallNewLocationHelperPackageOperation,
        [](const std::shared_ptr<void>& object, const std::vector<xpc::Value>& args,
           const xpc::Reply& reply) {
            const auto& path = std::get<std::optional<std::string>>(args.at(0));
            target(object)->installNewLocationHelperPackage(
                path, [reply](bool ok, const XQNullableString& text) {
                    reply({ok, nullable(text)});
                });
        });
    add(*interface, kUninstallLocationHelperOperation,
        [](const std::shared_ptr<void>& object, const std::vector<xpc::Value>&,
           const xpc::Reply& reply) {
            target(object)->uninstallLocationHelperWithReply(
                [reply](bool ok, const XQNullableString& text) {
                    reply({ok, nullable(text)});
                });
        });
    add(*interface, kRunLLDPCaptureOperation,
        [](const std::shared_ptr<void>& object, const std::vector<xpc::Value>&,
           const xpc::Reply& reply) {
            target(object)->runLLDPCaptureWithReply(
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
