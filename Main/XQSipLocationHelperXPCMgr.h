// The daemon's one long-lived object: owns the listener on the helper's
// service, decides which connections to accept, and implements the command
// protocol that it exports on each accepted connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Main/XQSipLocationHelperParts.h"
#include "Main/XQSipLocationXPCProtocol.h"
#include "platform/xpc/xpc.h"

class LLDPCapture;
class XQSipLLDPObject;
class XQSipLocationCheckVersionHelper;

class XQSipLocationHelperXPCMgr final
    : public xpc::ListenerDelegate,
      public XQSipLocationXPCProtocol,
      public std::enable_shared_from_this<XQSipLocationHelperXPCMgr> {
  public:
    // Creates the service object, working with `parts`, with its listener on
    // the parts' label (admitting root and the parts' client group). The
    // listener is not resumed: nothing arrives before run().
    static std::shared_ptr<XQSipLocationHelperXPCMgr> init(XQSipLocationHelperParts parts);
    // The same with a listener the caller made (tests listen on a path of their own).
    static std::shared_ptr<XQSipLocationHelperXPCMgr> initWithListener(
        std::shared_ptr<xpc::Listener> listener, XQSipLocationHelperParts parts);
    ~XQSipLocationHelperXPCMgr() override;

    // How long the process stays without a connection (one being decided, or
    // accepted and still open) and without an install or uninstall before it
    // ends by itself: a burst of requests, one after another, is served by
    // one process, and a process that no client ever reached (its only peer
    // refused, or gone before it was accepted) does not stay.
    static constexpr std::chrono::seconds kIdleLifetime{10};
    // The shortest life of a process: one asked to end sooner (the exit
    // operation) ends only then, so that no sequence of requests starts more
    // than a few processes a second, far below the service manager's limits
    // on starts (the units say which).
    static constexpr std::chrono::milliseconds kMinimumLifetime{250};

    // Removes the private directories that an earlier process of the service
    // left behind (it crashed or was killed), makes SIGTERM end the process
    // as the exit operation does, starts the idle timer (kIdleLifetime),
    // resumes the listener and runs the main run loop; does not return in
    // normal operation.
    void run();

    // Ends the process with status 0, as the exit operation, SIGTERM and the
    // idle timer do, but never in the middle of an install or uninstall: from
    // this call on no new connection is accepted and no new install or
    // uninstall starts (those waiting for their turn are dropped without a
    // reply), and the process exits once the one running has replied (or
    // found its client gone) and removed its staged copy, and not before
    // kMinimumLifetime since it started. Any thread; does not return.
    [[noreturn]] void terminateWhenCommandsEnd();

    // Listener delegate: the acceptance decision for a new connection.
    bool shouldAcceptNewConnection(xpc::Listener& listener,
                                   const std::shared_ptr<xpc::Connection>& connection) override;

    // Command protocol.
    void runLocationHelperWithReply(BoolReply reply) override;
    void exitLocationHelperWithReply(StringReply reply) override;
    void installNewLocationHelperPackage(const XQNullableString& path,
                                         BoolStringReply reply) override;
    void uninstallLocationHelperWithReply(BoolStringReply reply) override;
    void runLLDPCaptureWithReply(StringStringReply reply) override;

    // LLDP task list; each takes the lock around one list operation.
    void cancelAllLLDPTask();
    void addLLDPTaskObject(const std::shared_ptr<XQSipLLDPObject>& object);
    bool isLLDPTaskCancel(const std::shared_ptr<XQSipLLDPObject>& object);

    // Copies the package at `path` into a new root-owned file named after the
    // last component of `dstFileName` inside a fresh private directory, and
    // calls reply(copied, stagedPath) before returning.
    void copyToTemporary(const XQNullableString& path, const XQNullableString& dstFileName,
                         const BoolStringReply& reply);

    // Properties.
    std::shared_ptr<xpc::Listener> listener() const;
    const std::vector<std::shared_ptr<XQSipLLDPObject>>& lldpNotCancelArray() const {
        return _lldpNotCancelArray;
    }
    std::mutex& lldpNotCancelArrayLock() { return _lldpNotCancelArrayLock; }
    const std::shared_ptr<XQSipLocationCheckVersionHelper>& checkVersionHelper() const {
        return _checkVersionHelper;
    }

  private:
    explicit XQSipLocationHelperXPCMgr(XQSipLocationHelperParts parts);

    // A system tool through sudo, waited for without a time limit. nullopt
    // when sudo itself could not be started.
    std::optional<int> runThroughSudo(const std::string& tool, std::vector<std::string> arguments);

    // An install or uninstall, from its arrival until its reply has gone and
    // its staged copy is removed. One runs at a time in the whole process;
    // the others wait for their turn in the order they came. beginCommand
    // waits for the turn and gives false, for a command that must not run,
    // when the process is ending or the requesting client has gone meanwhile.
    class CommandInProgress;
    bool beginCommand();
    void endCommand();

    // A connection stops counting for the idle timer: refused, or ended.
    void connectionEnded();
    // Under _commandsLock: no connection and no command; then the idle
    // timer runs from now.
    bool isIdle() const { return _connections == 0 && _commandTurns.empty(); }
    void noteIfIdle();
    // Ends the process once idle for kIdleLifetime; runs on a thread of its own.
    void endWhenIdle();
    // terminateWhenCommandsEnd with _commandsLock held by `lock`.
    [[noreturn]] void endProcess(std::unique_lock<std::mutex>& lock);

    const XQSipLocationHelperParts _parts;

    // Fields, in declaration order.
    std::unique_ptr<LLDPCapture> _lldpCapture;
    std::shared_ptr<xpc::Listener> _listener;
    mutable std::mutex _listenerLock;  // makes the listener property atomic
    std::vector<std::shared_ptr<XQSipLLDPObject>> _lldpNotCancelArray;
    std::mutex _lldpNotCancelArrayLock;
    std::shared_ptr<XQSipLocationCheckVersionHelper> _checkVersionHelper;

    // The process's life: connections, installs and uninstalls (their turns
    // in arrival order, the first one running), the idle timer, and whether
    // the process is ending.
    const std::chrono::steady_clock::time_point _started = std::chrono::steady_clock::now();
    std::mutex _commandsLock;
    std::condition_variable _commandsChanged;
    size_t _connections = 0;  // being decided, or accepted and not yet ended
    std::deque<uint64_t> _commandTurns;
    uint64_t _nextCommandTurn = 0;
    bool _commandRunning = false;
    std::chrono::steady_clock::time_point _idleSince = _started;
    bool _ending = false;
};
