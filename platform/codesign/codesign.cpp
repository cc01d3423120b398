#include "platform/codesign/codesign.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/base/fd.h"
#include "platform/base/proc.h"
#include "platform/codesign/signature.h"
#include "platform/csreq/requirement.h"
#include "platform/security/anchors.h"
#include "platform/security/security.h"

namespace codesign {

// A looked-up guest: its pid and the executable opened at lookup.
class SecCode {
  public:
    SecCode(pid_t pid, base::UniqueFd exe_fd) : pid_(pid), exe_fd_(std::move(exe_fd)) {}
    pid_t pid() const { return pid_; }
    int exe_fd() const { return exe_fd_.get(); }

  private:
    pid_t pid_;
    base::UniqueFd exe_fd_;
};

class SecRequirement {
  public:
    explicit SecRequirement(std::shared_ptr<const csreq::Requirement> r) : r_(std::move(r)) {}
    const csreq::Requirement& get() const { return *r_; }

  private:
    std::shared_ptr<const csreq::Requirement> r_;
};

namespace {

int32_t load32(const AuditToken& t, size_t at) {
    int32_t v;
    std::memcpy(&v, t.data() + at, sizeof v);
    return v;
}

// The pid that a pidfd refers to, from its fdinfo: -1 once the process has
// been reaped (and 0 when it is in a pid namespace this process cannot see);
// nullopt when the descriptor is not a pidfd.
// The process behind a pidfd has not exited: the descriptor is not yet
// readable (it becomes so when the process terminates, zombie or reaped), and
// the kernel still finds the process to deliver the null signal to (a caller
// without permission to signal it is told EPERM, which still proves it exists).
bool alive(int pidfd) {
    struct pollfd p {
        pidfd, POLLIN, 0
    };
    const int n = base::retryOnEintr([&] { return ::poll(&p, 1, 0); });
    if (n != 0) {
        return false;
    }
    return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0 || errno == EPERM;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The process behind `dirfd` shares this process's user namespace.
bool same_user_namespace(int dirfd) {
    struct stat mine {};
    struct stat theirs {};
    if (::stat("/proc/self/ns/user", &mine) != 0) {
        return false;
    }
    return ::fstatat(dirfd, "ns/user", &theirs, 0) == 0 && same_file(mine, theirs);
}

CFErrorRef make_error(OSStatus status, std::string text) {
    return std::make_shared<CFError>(status, std::move(text));
}

void set_error(CFErrorRef* errors, OSStatus status, std::string text) {
    if (errors) {
        *errors = make_error(status, std::move(text));
    }
}

csreq::CodeFacts facts_of(const SignedRecord& record, const std::vector<security::X509Ptr>& chain,
                          const std::optional<Bytes>& info_plist) {
    csreq::CodeFacts facts;
    facts.identifier = record.identifier;
    for (const auto& cert : chain) {
        csreq::CertificateFacts c;
        for (auto& [key, value] : security::subject_fields(cert.get())) {
            c.subject.emplace(key, value);  // the first of a repeated attribute wins
        }
        c.der = security::certificate_der(cert.get());
        facts.chain.push_back(std::move(c));
    }
    // check_file() only gets this far for a chain that ends at a compiled-in
    // anchor.
    facts.anchorAppleGeneric = !chain.empty();
    // The first compiled-in anchor is the Apple root that "anchor apple" names.
    const auto& list = security::trust_anchor_certificates();
    facts.anchorApple = !chain.empty() && !list.empty() &&
                        security::certificate_der(chain.back().get()) == list.front();
    if (info_plist) {
        facts.info = info_strings(*info_plist);
    }
    return facts;
}

OSStatus status_of(CheckStatus s) {
    switch (s) {
        case CheckStatus::ok:
            return errSecSuccess;
        case CheckStatus::unsigned_file:
            return errSecCSUnsigned;
        case CheckStatus::malformed:
            return errSecCSBadObjectFormat;
        case CheckStatus::not_trusted:
        case CheckStatus::length_mismatch:
        case CheckStatus::digest_mismatch:
            return errSecCSSignatureFailed;
        case CheckStatus::io_error:
            return errSecCSGuestInvalid;
        case CheckStatus::refused_early:
            return errSecCSReqFailed;
    }
    return errSecCSInternalError;
}

}  // namespace

pid_t audit_token_pid(const AuditToken& token) {
    return static_cast<pid_t>(load32(token, 0));
}

int audit_token_pidfd(const AuditToken& token) {
    int32_t stored = load32(token, 4);
    return stored > 0 ? stored - 1 : -1;
}

AuditToken make_audit_token(pid_t pid, int pidfd) {
    AuditToken t{};
    int32_t p = pid;
    int32_t f = pidfd >= 0 ? pidfd + 1 : 0;
    std::memcpy(t.data(), &p, sizeof p);
    std::memcpy(t.data() + 4, &f, sizeof f);
    return t;
}

std::string CFErrorCopyDescription(const CFErrorRef& error) {
    return error ? error->description() : std::string();
}

OSStatus CFErrorGetCode(const CFErrorRef& error) {
    return error ? error->code() : 0;
}

pid_t SecCodeGetPid(const SecCodeRef& code) {
    return code ? code->pid() : 0;
}

OSStatus SecCodeCopyGuestWithAttributes(const SecCodeRef& host, const GuestAttributes& attributes,
                                        SecCSFlags flags, SecCodeRef* guest) {
    if (!guest) {
        return errSecParam;
    }
    if (flags != kSecCSDefaultFlags) {
        return errSecCSInvalidFlags;
    }
    if (host) {
        return errSecCSNoSuchCode;  // the system is the only host
    }
    if (attributes.audit.has_value() == attributes.pid.has_value()) {
        return errSecCSUnsupportedGuestAttributes;
    }
    pid_t pid = 0;
    int pidfd = -1;
    base::UniqueFd own_pidfd;
    if (attributes.audit) {
        pid = audit_token_pid(*attributes.audit);
        pidfd = audit_token_pidfd(*attributes.audit);
        if (pid <= 0 || pidfd < 0) {
            return errSecCSNoSuchCode;  // the all-zero token names no process
        }
    } else {
        pid = *attributes.pid;
        if (pid <= 0) {
            return errSecCSInvalidAttributeValues;
        }
        // Older path: a bare pid can be recycled between the caller learning
        // it and now; take a pidfd at once so that at least the rest of the
        // lookup is about one process.
        own_pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        if (own_pidfd.get() < 0) {
            return errSecCSNoSuchCode;
        }
        pidfd = own_pidfd.get();
    }

    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d", static_cast<int>(pid));
    base::UniqueFd dir(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) {
        return errSecCSNoSuchCode;
    }
    // The directory was opened before this check: if the process the pidfd
    // names is still alive now, and has this pid, the directory is its own
    // (a pid is only reused after its process has been reaped).
    auto fd_pid = base::pidOfPidfd(pidfd);
    if (!fd_pid || *fd_pid != pid) {
        return errSecCSNoSuchCode;
    }
    if (!alive(pidfd)) {
        return errSecCSNoSuchCode;
    }
    if (!same_user_namespace(dir.get())) {
        return errSecCSGuestInvalid;
    }
    // Never waits on the peer: a file lease held on the executable makes the
    // open fail at once instead of stalling until the lease is broken, and
    // anything but a regular file (a FIFO opens without blocking, then
    // stalls a read) is refused.
    base::UniqueFd exe(::openat(dir.get(), "exe", O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (exe.get() < 0) {
        return errSecCSNoSuchCode;  // exited (a zombie has no executable), leased or not readable
    }
    struct stat exe_stat {};
    if (::fstat(exe.get(), &exe_stat) != 0 || !S_ISREG(exe_stat.st_mode)) {
        return errSecCSNoSuchCode;
    }
    *guest = std::make_shared<SecCode>(pid, std::move(exe));
    return errSecSuccess;
}

OSStatus SecRequirementCreateWithStringAndErrors(std::string_view text, SecCSFlags flags,
                                                 CFErrorRef* errors,
                                                 SecRequirementRef* requirement) {
    if (!requirement) {
        return errSecParam;
    }
    if (flags != kSecCSDefaultFlags) {
        set_error(errors, errSecCSInvalidFlags, "invalid flags");
        return errSecCSInvalidFlags;
    }
    csreq::CompileResult compiled = csreq::compile(text);
    if (!compiled.requirement) {
        set_error(errors, errSecCSReqInvalid, compiled.error);
        return errSecCSReqInvalid;
    }
    *requirement = std::make_shared<const SecRequirement>(std::move(compiled.requirement));
    return errSecSuccess;
}

OSStatus SecCodeCheckValidityWithErrors(const SecCodeRef& code, SecCSFlags flags,
                                        const SecRequirementRef& requirement, CFErrorRef* errors) {
    if (!code) {
        set_error(errors, errSecCSInvalidObjectRef, "no code object");
        return errSecCSInvalidObjectRef;
    }
    if (flags != kSecCSDefaultFlags) {
        set_error(errors, errSecCSInvalidFlags, "invalid flags");
        return errSecCSInvalidFlags;
    }
    // A trusted signer whom the requirement already refuses (on the
    // identifier, the certificates, or the info section as first read) is
    // turned away before the file is hashed. The verdict that counts is the
    // one below, on the hashed bytes.
    EarlyRefusal early;
    if (requirement) {
        early = [&](const EarlyView& view) {
            return !requirement->get().evaluate(
                facts_of(view.record, view.chain, view.unverified_info_plist));
        };
    }
    CheckedCode checked = check_file(code->exe_fd(), security::trust_anchor_store(), early);
    if (checked.status != CheckStatus::ok) {
        OSStatus status = status_of(checked.status);
        set_error(errors, status, checked.error);
        return status;
    }
    if (requirement &&
        !requirement->get().evaluate(facts_of(checked.record, checked.chain, checked.info_plist))) {
        set_error(errors, errSecCSReqFailed, "code failed to satisfy the requirement");
        return errSecCSReqFailed;
    }
    return errSecSuccess;
}

OSStatus SecCodeCheckValidity(const SecCodeRef& code, SecCSFlags flags,
                              const SecRequirementRef& requirement) {
    return SecCodeCheckValidityWithErrors(code, flags, requirement, nullptr);
}

}  // namespace codesign
