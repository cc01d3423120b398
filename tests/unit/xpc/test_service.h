// An exported object and interface used by the xpc tests, in the test process
// and in the peer executable.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/xpc/xpc.h"

namespace xqtest {

// What the test methods did, for the tests to look at.
struct Served {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> recorded;  // arguments of "record:withReply:"
    std::vector<xpc::Reply> keptReplies;
    bool releaseSlow = false;
    std::atomic<int> slowRunning{0};

    void record(const std::string& text) {
        std::lock_guard lock(mutex);
        recorded.push_back(text);
        changed.notify_all();
    }
    std::vector<std::string> recordedCopy() {
        std::lock_guard lock(mutex);
        return recorded;
    }
    void release() {
        std::lock_guard lock(mutex);
        releaseSlow = true;
        changed.notify_all();
    }
};

inline Served& served(const xpc::ExportedObject& object) {
    Served* target = object.as<Served>();
    if (target == nullptr) {
        std::abort();  // every test connection exports a Served
    }
    return *target;
}

inline std::string text(const xpc::Value& value) {
    const auto& s = std::get<std::optional<std::string>>(value);
    return s ? *s : std::string("(nil)");
}

// Selectors and types:
//   "runWithReply:"               ()        -> c   YES
//   "echo:withReply:"             (@)       -> c@  YES and the argument (nil stays nil)
//   "negate:withReply:"           (c)       -> c   the opposite
//   "record:withReply:"           (@)       -> ""  records the argument, empty reply
//   "slowWithReply:"              ()        -> c   waits until released
//   "replyTwiceLaterWithReply:"   ()        -> @   replies twice from the global queue
//   "keepReplyWithReply:"         ()        -> c   keeps the reply handle, never answers
//   "wrongReplyWithReply:"        ()        -> c   answers with a string (not sent)
inline std::shared_ptr<xpc::Interface> testInterface() {
    auto interface = xpc::Interface::create();
    interface->addMethod("runWithReply:", "", "c",
                         [](const xpc::ExportedObject&, const std::vector<xpc::Value>&,
                            const xpc::Reply& reply) { reply({true}); });
    interface->addMethod("echo:withReply:", "@", "c@",
                         [](const xpc::ExportedObject&, const std::vector<xpc::Value>& args,
                            const xpc::Reply& reply) {
                             reply({true, args[0]});
                         });
    interface->addMethod("negate:withReply:", "c", "c",
                         [](const xpc::ExportedObject&, const std::vector<xpc::Value>& args,
                            const xpc::Reply& reply) { reply({!std::get<bool>(args[0])}); });
    interface->addMethod("record:withReply:", "@", "",
                         [](const xpc::ExportedObject& object, const std::vector<xpc::Value>& args,
                            const xpc::Reply& reply) {
                             served(object).record(text(args[0]));
                             reply({});
                         });
    interface->addMethod("slowWithReply:", "", "c",
                         [](const xpc::ExportedObject& object, const std::vector<xpc::Value>&,
                            const xpc::Reply& reply) {
                             Served& s = served(object);
                             ++s.slowRunning;
                             std::unique_lock lock(s.mutex);
                             s.changed.wait_for(lock, std::chrono::seconds(20),
                                                [&] { return s.releaseSlow; });
                             --s.slowRunning;
                             reply({true});
                         });
    interface->addMethod(
        "replyTwiceLaterWithReply:", "", "@",
        [](const xpc::ExportedObject&, const std::vector<xpc::Value>&, const xpc::Reply& reply) {
            dispatch::async(dispatch::get_global_queue(0, 0), [reply] {
                const bool first = reply({std::optional<std::string>("first")});
                const bool second = reply({std::optional<std::string>("second")});
                if (!first || second) {
                    std::abort();  // the test reads "first" and nothing else
                }
            });
        });
    interface->addMethod("keepReplyWithReply:", "", "c",
                         [](const xpc::ExportedObject& object, const std::vector<xpc::Value>&,
                            const xpc::Reply& reply) {
                             Served& s = served(object);
                             std::lock_guard lock(s.mutex);
                             s.keptReplies.push_back(reply);
                             s.changed.notify_all();
                         });
    interface->addMethod(
        "wrongReplyWithReply:", "", "c",
        [](const xpc::ExportedObject& object, const std::vector<xpc::Value>&,
           const xpc::Reply& reply) {
            const bool sent = reply({std::optional<std::string>("not a BOOL")});
            served(object).record(sent ? "wrong reply sent" : "wrong reply refused");
        });
    return interface;
}

}  // namespace xqtest
