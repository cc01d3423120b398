// Collects the messages that the verification library passes to its log
// callback. The callback is a plain function pointer, so the capture is a
// per-thread sink that one LogCapture owns at a time.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace pkg_verify_test {

class LogCapture {
  public:
    LogCapture() { current() = this; }
    ~LogCapture() { current() = nullptr; }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    using Callback = void (*)(const char*);
    Callback callback() {
        messages_.clear();
        return &LogCapture::receive;
    }
    // The messages received since the last callback() call.
    const std::vector<std::string>& messages() const { return messages_; }

  private:
    static LogCapture*& current() {
        static thread_local LogCapture* capture = nullptr;
        return capture;
    }
    static void receive(const char* message) {
        if (LogCapture* c = current()) {
            c->messages_.push_back(message);
        }
    }
    std::vector<std::string> messages_;
};

}  // namespace pkg_verify_test
