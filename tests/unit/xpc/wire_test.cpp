#include "platform/xpc/wire.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using xpc::Value;
using xpc::wire::Decoded;
using xpc::wire::FrameReader;

std::shared_ptr<xpc::Interface> interface() {
    auto i = xpc::Interface::create();
    auto ignore = [](const xpc::ExportedObject&, const std::vector<Value>&, const xpc::Reply&) {};
    EXPECT_TRUE(i->addMethod("runWithReply:", "", "c", ignore));
    EXPECT_TRUE(i->addMethod("install:reply:", "@", "c@", ignore));
    EXPECT_TRUE(i->addMethod("flag:other:reply:", "c@", "@@", ignore));
    return i;
}

TEST(FrameReader, SplitsReassemblesAndBoundsMessages) {
    const std::string stream = xpc::wire::frame("{\"a\":1}") + xpc::wire::frame("") +
                               xpc::wire::frame(std::string(1000, 'x'));
    // Fed one byte at a time, the same three bodies come out.
    FrameReader reader;
    std::vector<std::string> bodies;
    std::string body;
    for (char c : stream) {
        reader.append(&c, 1);
        while (reader.next(body) == FrameReader::Status::Message) {
            bodies.push_back(body);
        }
    }
    ASSERT_EQ(bodies.size(), 3u);
    EXPECT_EQ(bodies[0], "{\"a\":1}");
    EXPECT_EQ(bodies[1], "");
    EXPECT_EQ(bodies[2], std::string(1000, 'x'));
    EXPECT_EQ(reader.buffered(), 0u);

    // A length of exactly the limit waits for its body; one more is refused
    // from the header alone.
    FrameReader atLimit;
    const char limit[4] = {0x00, 0x10, 0x00, 0x00};
    atLimit.append(limit, 4);
    EXPECT_EQ(atLimit.next(body), FrameReader::Status::NeedMore);
    FrameReader over;
    const char overLimit[4] = {0x00, 0x10, 0x00, 0x01};
    over.append(overLimit, 4);
    EXPECT_EQ(over.next(body), FrameReader::Status::TooLarge);
    FrameReader huge;
    const char max[4] = {'\xff', '\xff', '\xff', '\xff'};
    huge.append(max, 4);
    EXPECT_EQ(huge.next(body), FrameReader::Status::TooLarge);
}

TEST(Frame, LengthIsBigEndian) {
    const std::string framed = xpc::wire::frame(std::string(0x0102, 'a'));
    ASSERT_EQ(framed.size(), 4u + 0x0102);
    EXPECT_EQ(framed.substr(0, 4), std::string("\x00\x00\x01\x02", 4));
}

TEST(DecodeRequest, AcceptsRequestsThatFitTheInterface) {
    auto i = interface();
    xpc::wire::Request request;
    ASSERT_EQ(
        xpc::wire::decodeRequest(R"({"seq":7,"selector":"runWithReply:","types":"c","args":[]})",
                                 i.get(), request),
        Decoded::Ok);
    EXPECT_EQ(request.seq, 7u);
    EXPECT_EQ(request.method->selector, "runWithReply:");
    EXPECT_TRUE(request.args.empty());

    ASSERT_EQ(
        xpc::wire::decodeRequest(
            R"({"args":["/tmp/a b.pkg"],"types":"c@","selector":"install:reply:","seq":18446744073709551615,"extra":{"x":[1]}})",
            i.get(), request),
        Decoded::Ok);
    EXPECT_EQ(request.seq, 18446744073709551615u);
    ASSERT_EQ(request.args.size(), 1u);
    EXPECT_EQ(std::get<std::optional<std::string>>(request.args[0]), "/tmp/a b.pkg");

    ASSERT_EQ(xpc::wire::decodeRequest(
                  R"({"seq":0,"selector":"install:reply:","types":"c@","args":[null]})", i.get(),
                  request),
              Decoded::Ok);
    EXPECT_EQ(std::get<std::optional<std::string>>(request.args[0]), std::nullopt);

    ASSERT_EQ(
        xpc::wire::decodeRequest(
            R"({"seq":1,"selector":"flag:other:reply:","types":"@@","args":[false,"\u00e9"]})",
            i.get(), request),
        Decoded::Ok);
    EXPECT_EQ(std::get<bool>(request.args[0]), false);
    EXPECT_EQ(std::get<std::optional<std::string>>(request.args[1]), "\xc3\xa9");
}

TEST(DecodeRequest, DropsRequestsThatDoNotFit) {
    auto i = interface();
    const char* dropped[] = {
        R"({"seq":1,"selector":"unknownWithReply:","types":"c","args":[]})",
        R"({"seq":1,"selector":"runwithreply:","types":"c","args":[]})",
        R"({"seq":1,"selector":"runWithReply:","types":"B","args":[]})",
        R"({"seq":1,"selector":"runWithReply:","types":"","args":[]})",
        R"({"seq":1,"selector":"runWithReply:","types":"cc","args":[]})",
        R"({"seq":1,"selector":"runWithReply:","types":"c","args":[true]})",
        R"({"seq":1,"selector":"install:reply:","types":"c@","args":[]})",
        R"({"seq":1,"selector":"install:reply:","types":"c@","args":["a","b"]})",
        R"({"seq":1,"selector":"install:reply:","types":"c@","args":[true]})",
        R"({"seq":1,"selector":"install:reply:","types":"c@","args":[1]})",
        R"({"seq":1,"selector":"install:reply:","types":"c@","args":[["a"]]})",
        R"({"seq":1,"selector":"flag:other:reply:","types":"@@","args":[1,"a"]})",
        R"({"seq":1,"selector":"flag:other:reply:","types":"@@","args":[null,"a"]})",
        R"({"seq":1,"selector":"flag:other:reply:","types":"@@","args":["true","a"]})",
        R"({"selector":"runWithReply:","types":"c","args":[]})",
        R"({"seq":-1,"selector":"runWithReply:","types":"c","args":[]})",
        R"({"seq":1.5,"selector":"runWithReply:","types":"c","args":[]})",
        R"({"seq":"1","selector":"runWithReply:","types":"c","args":[]})",
        R"({"seq":1,"selector":7,"types":"c","args":[]})",
        R"({"seq":1,"selector":"runWithReply:","args":[]})",
        R"({"seq":1,"selector":"runWithReply:","types":"c"})",
        R"({"seq":1,"selector":"runWithReply:","types":"c","args":{}})",
        R"({})",
    };
    for (const char* body : dropped) {
        xpc::wire::Request request;
        EXPECT_EQ(xpc::wire::decodeRequest(body, i.get(), request), Decoded::Dropped) << body;
    }
    // Without an interface nothing is served.
    xpc::wire::Request request;
    EXPECT_EQ(
        xpc::wire::decodeRequest(R"({"seq":1,"selector":"runWithReply:","types":"c","args":[]})",
                                 nullptr, request),
        Decoded::Dropped);
    // Nesting beyond the limit never fits, even in a key the service ignores.
    std::string deep = R"({"seq":1,"selector":"runWithReply:","types":"c","args":[],"x":)";
    deep += std::string(10000, '[') + std::string(10000, ']') + "}";
    EXPECT_EQ(xpc::wire::decodeRequest(deep, i.get(), request), Decoded::Dropped);
}

TEST(DecodeRequest, EndsTheConnectionOnAnythingButAJsonObject) {
    auto i = interface();
    const std::string fatal[] = {
        "",
        "[]",
        "[{\"seq\":1}]",
        "42",
        "\"runWithReply:\"",
        "null",
        "true",
        "{",
        R"({"seq":1,"selector":"runWithReply:","types":"c","args":[]} trailing)",
        R"({"seq":1,"selector":"runWithReply:","types":"c","args":[]}{})",
        "{\"seq\":1,\"selector\":\"\xff\xfe\",\"types\":\"c\",\"args\":[]}",
        std::string("{\"seq\":1,\0}", 11),
        std::string(100000, '['),
    };
    for (const std::string& body : fatal) {
        xpc::wire::Request request;
        EXPECT_EQ(xpc::wire::decodeRequest(body, i.get(), request), Decoded::Fatal)
            << body.substr(0, 60);
    }
}

TEST(EncodeAndDecode, RepliesAndRequestsRoundTrip) {
    const std::vector<Value> values = {true, std::optional<std::string>("a\"b\\c\n"),
                                       std::optional<std::string>(), false};
    const std::string body = xpc::wire::encodeReply(99, values);
    xpc::wire::ReplyMessage reply;
    ASSERT_EQ(xpc::wire::decodeReply(body, reply), Decoded::Ok);
    EXPECT_EQ(reply.seq, 99u);
    EXPECT_EQ(reply.values, values);
    EXPECT_EQ(xpc::wire::encodeReply(1, {true, std::optional<std::string>()}),
              R"({"reply":[true,null],"seq":1})");
    // The values alone, as the client tool prints them.
    EXPECT_EQ(xpc::wire::encodeValues(values), R"([true,"a\"b\\c\n",null,false])");
    EXPECT_EQ(xpc::wire::encodeValues({}), "[]");

    auto i = interface();
    xpc::wire::Request request;
    ASSERT_EQ(
        xpc::wire::decodeRequest(xpc::wire::encodeRequest(5, "flag:other:reply:", "@@",
                                                          {true, std::optional<std::string>("x")}),
                                 i.get(), request),
        Decoded::Ok);
    EXPECT_EQ(request.seq, 5u);
    EXPECT_EQ(request.args, (std::vector<Value>{true, std::optional<std::string>("x")}));

    // Bytes that are not UTF-8 cannot go into JSON; they are replaced rather
    // than making the encoder throw.
    const std::string bad = xpc::wire::encodeReply(2, {std::optional<std::string>("a\xff")});
    ASSERT_EQ(xpc::wire::decodeReply(bad, reply), Decoded::Ok);
    EXPECT_EQ(reply.values[0], Value(std::optional<std::string>("a\xef\xbf\xbd")));

    EXPECT_EQ(xpc::wire::decodeReply(R"({"seq":1,"reply":[1]})", reply), Decoded::Dropped);
    EXPECT_EQ(xpc::wire::decodeReply(R"({"seq":1})", reply), Decoded::Dropped);
    EXPECT_EQ(xpc::wire::decodeReply(R"([])", reply), Decoded::Fatal);
}

TEST(Interface, RefusesBadDeclarations) {
    auto i = xpc::Interface::create();
    auto ignore = [](const xpc::ExportedObject&, const std::vector<Value>&, const xpc::Reply&) {};
    EXPECT_TRUE(i->addMethod("a:", "@", "c", ignore));
    EXPECT_FALSE(i->addMethod("a:", "", "c", ignore));
    EXPECT_FALSE(i->addMethod("", "", "c", ignore));
    EXPECT_FALSE(i->addMethod("b:", "B", "c", ignore));
    EXPECT_FALSE(i->addMethod("b:", "", "i", ignore));
    EXPECT_FALSE(i->addMethod("b:", "", "c", nullptr));
    EXPECT_EQ(i->methods().size(), 1u);
    ASSERT_NE(i->method("a:"), nullptr);
    EXPECT_EQ(i->method("a:")->argumentTypes, "@");
    EXPECT_EQ(i->method("b:"), nullptr);
}

// An invoker gets the exported object back only as the type it was exported
// as: a base, a derived or an unrelated type, or no object, is not served.
TEST(ExportedObject, IsServedAsItsExportedTypeOnly) {
    struct Base {
        virtual ~Base() = default;
        int calls = 0;
    };
    struct Derived : Base {};
    int served = 0;
    const xpc::Invoker invoker = xpc::invokerOn<Base>(
        [&served](Base& target, const std::vector<Value>& args, const xpc::Reply&) {
            ++target.calls;
            served += static_cast<int>(args.size());
        });
    const auto base = std::make_shared<Base>();
    const std::shared_ptr<Base> derivedAsBase = std::make_shared<Derived>();
    invoker(base, {true}, xpc::Reply());
    invoker(derivedAsBase, {true, false}, xpc::Reply());
    invoker(std::make_shared<Derived>(), {true}, xpc::Reply());
    invoker(std::make_shared<int>(1), {true}, xpc::Reply());
    invoker(xpc::ExportedObject(), {true}, xpc::Reply());
    EXPECT_EQ(base->calls, 1);
    EXPECT_EQ(derivedAsBase->calls, 1);
    EXPECT_EQ(served, 3);
    EXPECT_TRUE(xpc::ExportedObject().empty());
    EXPECT_EQ(xpc::ExportedObject(base).as<Derived>(), nullptr);
    EXPECT_EQ(xpc::ExportedObject(base).as<Base>(), base.get());
}

TEST(AuditToken, ZeroTokenNamesNoProcess) {
    const xpc::AuditToken zero{};
    EXPECT_EQ(xpc::audit_token_to_pid(zero), 0);
    EXPECT_EQ(xpc::audit_token_to_pidfd(zero), -1);
    EXPECT_EQ(xpc::socketPathForServiceName("lx.example.Service"), "/run/lx.example.Service.sock");
}

}  // namespace
