// Fuzzes what the service does with the bytes a peer writes: framing across
// arbitrary read boundaries, JSON decoding, and the checks of a request
// against an interface that declares the helper's five operations. Whatever is
// accepted must survive encoding and decoding again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/xpc/wire.h"

namespace {

const xpc::Interface& serviceInterface() {
    static const std::shared_ptr<xpc::Interface> interface = [] {
        auto i = xpc::Interface::create();
        auto ignore = [](const xpc::ExportedObject&, const std::vector<xpc::Value>&,
                         const xpc::Reply&) {};
        i->addMethod("runLocationHelperWithReply:", "", "c", ignore);
        i->addMethod("exitLocationHelperWithReply:", "", "@", ignore);
        i->addMethod("installNewLocationHelperPackage:reply:", "@", "c@", ignore);
        i->addMethod("uninstallLocationHelperWithReply:", "", "c@", ignore);
        i->addMethod("runLLDPCaptureWithReply:", "", "@@", ignore);
        return i;
    }();
    return *interface;
}

void check(const std::string& body) {
    const xpc::Interface& interface = serviceInterface();
    xpc::wire::Request request;
    const xpc::wire::Decoded decoded = xpc::wire::decodeRequest(body, &interface, request);
    if (decoded == xpc::wire::Decoded::Ok) {
        if (request.method == nullptr ||
            request.args.size() != request.method->argumentTypes.size() ||
            !xpc::valuesMatchTypes(request.args, request.method->argumentTypes)) {
            std::abort();
        }
        const std::string again = xpc::wire::encodeRequest(
            request.seq, request.method->selector, request.method->replyTypes, request.args);
        xpc::wire::Request second;
        if (xpc::wire::decodeRequest(again, &interface, second) != xpc::wire::Decoded::Ok ||
            second.seq != request.seq || second.method != request.method ||
            second.args != request.args) {
            std::abort();
        }
        // A reply of the declared types must be decodable by a client.
        std::vector<xpc::Value> values;
        for (char code : request.method->replyTypes) {
            values.push_back(code == 'c' ? xpc::Value(true)
                                         : xpc::Value(std::optional<std::string>(body)));
        }
        xpc::wire::ReplyMessage reply;
        if (xpc::wire::decodeReply(xpc::wire::encodeReply(request.seq, values), reply) !=
                xpc::wire::Decoded::Ok ||
            reply.seq != request.seq || reply.values.size() != values.size()) {
            std::abort();
        }
    }
    xpc::wire::ReplyMessage reply;
    const xpc::wire::Decoded asReply = xpc::wire::decodeReply(body, reply);
    // Both decoders agree on what is a JSON object at all.
    if ((asReply == xpc::wire::Decoded::Fatal) != (decoded == xpc::wire::Decoded::Fatal)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte chooses how the stream is cut into reads.
    const size_t step = 1 + data[0] % 64;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;
    xpc::wire::FrameReader frames;
    std::string body;
    for (size_t offset = 0; offset < length; offset += step) {
        frames.append(bytes + offset, std::min(step, length - offset));
        for (;;) {
            const auto status = frames.next(body);
            if (status == xpc::wire::FrameReader::Status::NeedMore) {
                break;
            }
            if (status == xpc::wire::FrameReader::Status::TooLarge) {
                return 0;  // the connection would end here
            }
            if (body.size() > xpc::kMaxMessageSize) {
                std::abort();
            }
            check(body);
        }
    }
    return 0;
}
