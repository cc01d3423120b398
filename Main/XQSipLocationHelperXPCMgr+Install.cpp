// The install and uninstall commands and the staging they rely on.
//
// An install works on a private, root-owned copy of the client's package, so
// that the file that was verified is the file the installer gets: the client's
// path is opened once, with the rights of the user the client runs for, and
// the first check and the copy both read that open file; the path is never
// used again.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <system_error>
#include <thread>

#include "Common/XQDaemonToolHelper.h"
#include "Main/XQSipLocationCheckVersionHelper.h"
#include "Main/XQSipLocationHelperXPCMgr.h"
#include "platform/base/fd.h"
#include "platform/base/path.h"
#include "platform/process/process.h"

namespace {

constexpr const char* kStagedFileName = "locationTmp.pkg";

constexpr const char* kReplyCodeSignInvalid = "Location pkg codeSign is invalid";
constexpr const char* kReplyCopyFailed = "copy pkg to safe install path failed";
constexpr const char* kReplyLinkFile = "safe install path's Location pkg is a link file";
constexpr const char* kReplyStagedCodeSignInvalid =
    "safe install path's Location pkg codeSign is invalid";
constexpr const char* kReplyVersionNotAllowed =
    "safe install path's location pkg version not allowed";

// Fills every "%@" of a path format with the label.
std::string formatWithLabel(const std::string& format, const std::string& label) {
    std::string out(format);
    for (size_t at = out.find("%@"); at != std::string::npos; at = out.find("%@", at)) {
        out.replace(at, 2, label);
        at += label.size();
    }
    return out;
}

// Holds a file open across its removal, so that the kernel frees its blocks
// only when the descriptor goes out of scope rather than during the unlink.
base::UniqueFd holdBlocks(const std::string& path) {
    return base::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
}

// Lets the kernel free the blocks held by `blocks` (its last descriptor) on a
// thread of the lowest priority, and waits for it: the client, woken by the
// reply just sent, is not kept waiting behind that work (several milliseconds
// for a large package) on this processor. A thread of its own, because the
// daemon may not raise a thread's priority again; the lowest nice value rather
// than the idle class, so that on a busy machine the end of the command still
// gets a share of the processor.
void freeBlocksAtLowPriority(base::UniqueFd blocks) {
    try {
        std::thread freer([&blocks] {
            // This thread only (Linux); at normal priority if refused.
            (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
            blocks.reset();
        });
        freer.join();
    } catch (const std::system_error&) {
        blocks.reset();
    }
}

}  // namespace

// One install or uninstall for as long as it runs: waits for its turn (one
// at a time in the whole process, so that staging never holds more than one
// package), and holds the end of the process until it is done
// (terminateWhenCommandsEnd).
class XQSipLocationHelperXPCMgr::CommandInProgress {
  public:
    explicit CommandInProgress(XQSipLocationHelperXPCMgr& service)
        : service_(service), started_(service.beginCommand()) {}
    ~CommandInProgress() {
        if (started_) {
            service_.endCommand();
        }
    }
    CommandInProgress(const CommandInProgress&) = delete;
    CommandInProgress& operator=(const CommandInProgress&) = delete;
    // False when the process began to end, or the client left, before the
    // command's turn came: the command does not run and sends no reply (its
    // client is gone, or loses its connection with the process).
    bool started() const { return started_; }

  private:
    XQSipLocationHelperXPCMgr& service_;
    const bool started_;
};

std::optional<int> XQSipLocationHelperXPCMgr::runThroughSudo(const std::string& tool,
                                                             std::vector<std::string> arguments) {
    process::Task task;
    task.launchPath = _parts.sudoPath;
    task.arguments.reserve(arguments.size() + 1);
    task.arguments.push_back(tool);
    for (auto& a : arguments) {
        task.arguments.push_back(std::move(a));
    }
    process::Result result = _parts.runTask(task);
    if (!result.launched) {
        return std::nullopt;
    }
    // A child ended by a signal did not succeed.
    return result.exited ? result.terminationStatus : 128 + result.terminationStatus;
}

void XQSipLocationHelperXPCMgr::copyToTemporary(const XQNullableString& path,
                                                const XQNullableString& dstFileName,
                                                const BoolStringReply& reply) {
    if (!path || path->empty() || !dstFileName || dstFileName->empty()) {
        reply(false, std::nullopt);
        return;
    }
    // The daemon's own path: opened with its own rights, and only a regular
    // file (a FIFO or device would hang this thread or fill memory).
    std::optional<std::string> staged =
        XQDaemonToolHelper::copyRegularFileToPrivateDirectory(*path, *dstFileName);
    if (!staged) {
        reply(false, std::nullopt);
        return;
    }
    reply(true, *staged);
}

void XQSipLocationHelperXPCMgr::copyToTemporary(int sourceFd, const XQNullableString& dstFileName,
                                                const BoolStringReply& reply) {
    if (sourceFd < 0 || !dstFileName || dstFileName->empty()) {
        reply(false, std::nullopt);
        return;
    }
    std::optional<std::string> staged = _parts.copyToPrivateDirectory(sourceFd, *dstFileName);
    if (!staged) {
        reply(false, std::nullopt);
        return;
    }
    reply(true, *staged);
}

void XQSipLocationHelperXPCMgr::installNewLocationHelperPackage(const XQNullableString& path,
                                                                BoolStringReply reply) {
    CommandInProgress command(*this);
    if (!command.started()) {
        return;
    }
    // A relative path would be resolved against the daemon's own working
    // directory, not the client's: it names no file the client meant.
    if (!path || path->empty() || (*path)[0] != '/') {
        reply(false, std::string(kReplyCodeSignInvalid));
        return;
    }
    // Opened as the client's user would open it: whatever that user may not
    // read (or is no regular file) is refused as a missing file is, before
    // anything runs with root's rights, so that the reply and its time tell
    // the user nothing they could not learn themselves.
    const base::UniqueFd package = _parts.openClientPackage(*path);
    if (!package || !_parts.isOpenPkgCodesignValid(package.get(), *path)) {
        reply(false, std::string(kReplyCodeSignInvalid));
        return;
    }
    if (_parts.afterFirstPackageCheck) {
        _parts.afterFirstPackageCheck(*path);
    }

    // The file checked is the file copied: a rename or a re-pointed link at
    // the path no longer matters; a change written into the file itself is
    // caught by the second check of the copy.
    copyToTemporary(
        package.get(), std::string(kStagedFileName),
        [&](bool copied, const XQNullableString& stagedPath) {
            if (!copied || !stagedPath) {
                reply(false, std::string(kReplyCopyFailed));
                return;
            }
            const std::string& staged = *stagedPath;
            // Both tests always run.
            bool isSymbolicLink = _parts.isSymbolicLink(staged);
            bool isHardLink = _parts.isHardLink(staged);
            if (isSymbolicLink || isHardLink) {
                reply(false, std::string(kReplyLinkFile));
                _parts.removeStagedFile(staged);
                return;
            }
            if (!_parts.isPkgCodesignValid(staged)) {
                reply(false, std::string(kReplyStagedCodeSignInvalid));
                _parts.removeStagedFile(staged);
                return;
            }
            if (!_checkVersionHelper || !_checkVersionHelper->isPkgVersionAllowed(staged)) {
                reply(false, std::string(kReplyVersionNotAllowed));
                _parts.removeStagedFile(staged);
                return;
            }
            std::optional<int> status =
                runThroughSudo(_parts.installerPath, {"-pkg", staged, "-target", "/"});
            // The staged copy is gone before the reply; freeing its blocks
            // (tens of milliseconds for a large package) waits until the
            // reply is out, and still ends before the command does.
            base::UniqueFd blocks = holdBlocks(staged);
            _parts.removeStagedFile(staged);
            reply(status.has_value() && *status == 0, std::string());
            freeBlocksAtLowPriority(std::move(blocks));
        });
}

void XQSipLocationHelperXPCMgr::uninstallLocationHelperWithReply(BoolStringReply reply) {
    CommandInProgress command(*this);
    if (!command.started()) {
        return;
    }
    const std::string& label = _parts.label;
    // A dangling symbolic link goes too: it is the installed file as much as
    // a link that resolves.
    base::removeTree(formatWithLabel(_parts.launchDaemonPlistFormat, label));
    base::removeTree(formatWithLabel(_parts.privilegedHelperToolFormat, label));
    // The status is not used: the files are gone whatever the job control
    // tool says, and the reply reports that.
    (void)runThroughSudo(_parts.launchctlPath, {"remove", label});
    reply(true, std::string());
}
