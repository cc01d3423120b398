// The daemon's one long-lived object: owns the listener on the helper's
// service, decides which connections to accept, and implements the command
// protocol that it exports on each accepted connection.
#pragma once

#include <condition_variable>
#include <cstddef>
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

    // Removes the private directories that an earlier process of the service
    // left behind (it crashed or was killed), resumes the listener and runs
    // the main run loop; does not return in normal operation.
    void run();

    // Ends the process with status 0, as the exit operation and the end of
    // any accepted connection do, but never in the middle of an install or
    // uninstall: from this call on no new connection is accepted and no new
    // install or uninstall starts, and the process exits once every one that
    // had started has replied (or found its client gone) and removed its
    // staged copy. Any thread; does not return.
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
    // The same for the package open at `sourceFd` (the install's own form:
    // it copies the file it checked, never a path again).
    void copyToTemporary(int sourceFd, const XQNullableString& dstFileName,
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

    // An install or uninstall in progress, counted from its start until its
    // reply has gone and its staged copy is removed. Not started (false) once
    // the process is ending.
    class CommandInProgress;
    bool beginCommand();
    void endCommand();

    const XQSipLocationHelperParts _parts;

    // Fields, in declaration order.
    std::unique_ptr<LLDPCapture> _lldpCapture;
    std::shared_ptr<xpc::Listener> _listener;
    mutable std::mutex _listenerLock;  // makes the listener property atomic
    std::vector<std::shared_ptr<XQSipLLDPObject>> _lldpNotCancelArray;
    std::mutex _lldpNotCancelArrayLock;
    std::shared_ptr<XQSipLocationCheckVersionHelper> _checkVersionHelper;

    // Installs and uninstalls in progress, and whether the process is ending.
    std::mutex _commandsLock;
    std::condition_variable _commandsChanged;
    size_t _runningCommands = 0;
    bool _ending = false;
};
