// One LLDP capture request's task record. Its identity is all that matters:
// the service's task list holds the records of requests that no newer request
// has cancelled, and a capture answers only while its record is listed.
// The task block holds the record weakly, the record holds the block: neither
// keeps the other alive.
#pragma once

#include <functional>
#include <optional>
#include <string>

class XQSipLLDPObject {
  public:
    using TaskBlock = std::function<void()>;

    XQSipLLDPObject() = default;
    XQSipLLDPObject(const XQSipLLDPObject&) = delete;
    XQSipLLDPObject& operator=(const XQSipLLDPObject&) = delete;

    const TaskBlock& taskBlock() const { return _taskBlock; }
    void setTaskBlock(TaskBlock taskBlock) { _taskBlock = std::move(taskBlock); }

  private:
    TaskBlock _taskBlock;
};

// A capture's result string as the reply carries it: the text up to its first
// zero octet when those octets are valid UTF-8 (the platform's C-string
// encoding), otherwise nil.
std::optional<std::string> XQSipLLDPReplyString(const std::string& captured);
