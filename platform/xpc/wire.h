// The message layer of the xpc wire protocol, apart from sockets: framing,
// request and reply encoding, and the checks a request must pass against an
// interface. Used by the connections and by the fuzz target.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xpc/xpc.h"

namespace xpc::wire {

// Nesting deeper than this inside a message never fits a request or reply.
constexpr int kMaxNesting = 16;

// Splits a byte stream into message bodies. A length over kMaxMessageSize is
// reported as soon as its 4 bytes are in, before the body arrives.
class FrameReader {
  public:
    enum class Status { NeedMore, Message, TooLarge };
    void append(const char* data, size_t size);
    // Takes the next whole message body into `body`.
    Status next(std::string& body);
    size_t buffered() const { return buffer_.size() - start_; }

  private:
    std::string buffer_;
    size_t start_ = 0;
};

// The 4-byte big-endian length followed by `body`.
std::string frame(std::string_view body);

enum class Decoded {
    Ok,       // a request to serve / a reply to deliver
    Dropped,  // a JSON object that is no acceptable request / reply: ignore it
    Fatal,    // not a JSON object: ends the connection
};

struct Request {
    uint64_t seq = 0;
    const MethodDescription* method = nullptr;  // points into the interface
    std::vector<Value> args;
};

// Decodes one message body as a request for `interface` (may be null: every
// request is then dropped).
Decoded decodeRequest(std::string_view body, const Interface* interface, Request& out);

struct ReplyMessage {
    uint64_t seq = 0;
    std::vector<Value> values;
};
// Decodes one message body as a reply (values of any supported type).
Decoded decodeReply(std::string_view body, ReplyMessage& out);

// Message bodies (not framed). Strings that are not valid UTF-8 have their bad
// bytes replaced by U+FFFD.
std::string encodeRequest(uint64_t seq, std::string_view selector, std::string_view types,
                          const std::vector<Value>& args);
std::string encodeReply(uint64_t seq, const std::vector<Value>& values);
// The values alone, as the JSON array that a reply carries.
std::string encodeValues(const std::vector<Value>& values);

}  // namespace xpc::wire
