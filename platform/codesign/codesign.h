// Code objects and requirements, in the shape of the original platform's
// Security framework calls (SecCodeCopyGuestWithAttributes,
// SecRequirementCreateWithStringAndErrors, SecCodeCheckValidity), over the
// Linux code signature of signature.h and the requirement language of
// platform/csreq.
//
// Contract:
// - Handles are shared pointers; releasing one is resetting it. Out-parameters
//   are set only on success (errors: only on failure); a failed call leaves
//   them as they were given, so a caller that starts from nullptr sees nullptr.
// - A guest is named by a token (`audit`) that carries the peer's pid and a
//   pidfd for it, or by a bare pid (`pid`, the older and weaker path). The
//   lookup opens /proc/<pid> as a directory, then confirms through the pidfd
//   that the process is still the one the token names, and opens `exe`
//   relative to that directory: a process that has exited (reaped or not) is
//   refused and never mistaken for another one. A peer in another user
//   namespace than this process's is refused. The lookup never waits on the
//   peer: the executable is opened without blocking (a file lease on it is a
//   refusal, not a wait), and only a regular file is accepted.
// - The executable is read only through the descriptor opened at lookup,
//   never through a path.
// - Validity: the signature block's CMS signature is verified first (chain to
//   the compiled-in anchors of anchors.h, code-signing purpose, now), a file
//   whose length differs from the signed record's is refused before any of it
//   is hashed, the covered bytes are hashed once, and then the requirement is
//   evaluated on the signing identifier, the certificate chain and the
//   executable's `__info_plist` section (read from the hashed bytes). Before
//   hashing, the requirement is also tried on what is known by then (the
//   identifier, the chain and the info section as first read), and a code
//   that fails it is refused at once: a trusted signer who is not the one the
//   requirement names cannot make the check hash a large file.
// - The library that defines trust_anchor_certificates() (anchors.h) is chosen
//   by the executable that links this one.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace codesign {

using OSStatus = int32_t;
using SecCSFlags = uint32_t;

inline constexpr SecCSFlags kSecCSDefaultFlags = 0;

// Status values, with the original platform's numbers.
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecCSInvalidObjectRef = -67071;
inline constexpr OSStatus errSecCSInvalidFlags = -67070;
inline constexpr OSStatus errSecCSUnsupportedGuestAttributes = -67067;
inline constexpr OSStatus errSecCSInvalidAttributeValues = -67066;
inline constexpr OSStatus errSecCSNoSuchCode = -67065;
inline constexpr OSStatus errSecCSGuestInvalid = -67063;
inline constexpr OSStatus errSecCSUnsigned = -67062;
inline constexpr OSStatus errSecCSSignatureFailed = -67061;
inline constexpr OSStatus errSecCSReqInvalid = -67052;
inline constexpr OSStatus errSecCSReqFailed = -67050;
inline constexpr OSStatus errSecCSBadObjectFormat = -67049;
inline constexpr OSStatus errSecCSInternalError = -67048;

// The 32-byte token of a connection's peer, laid out as platform/xpc's
// AuditToken: bytes 0..3 the pid and bytes 4..7 the pidfd plus one (so that
// zero means none), both in host byte order; the rest zero. An all-zero token
// names no process.
using AuditToken = std::array<uint8_t, 32>;
pid_t audit_token_pid(const AuditToken& token);
int audit_token_pidfd(const AuditToken& token);  // -1 when the token carries none
AuditToken make_audit_token(pid_t pid, int pidfd);

// Stands in for the guest attribute dictionary: exactly one of the two keys.
struct GuestAttributes {
    std::optional<AuditToken> audit;  // kSecGuestAttributeAudit
    std::optional<pid_t> pid;         // kSecGuestAttributePid
};

class SecCode;
class SecRequirement;
class CFError;
using SecCodeRef = std::shared_ptr<SecCode>;
using SecRequirementRef = std::shared_ptr<const SecRequirement>;
using CFErrorRef = std::shared_ptr<CFError>;

// The error object of a failed call: a status and a human-readable text.
class CFError {
  public:
    CFError(OSStatus code, std::string description)
        : code_(code), description_(std::move(description)) {}
    OSStatus code() const { return code_; }
    const std::string& description() const { return description_; }

  private:
    OSStatus code_;
    std::string description_;
};

std::string CFErrorCopyDescription(const CFErrorRef& error);
OSStatus CFErrorGetCode(const CFErrorRef& error);

// `host` must be null (the system is the only host). On success *guest holds
// a code object for the process the attributes name.
OSStatus SecCodeCopyGuestWithAttributes(const SecCodeRef& host, const GuestAttributes& attributes,
                                        SecCSFlags flags, SecCodeRef* guest);

// Compiles a requirement text. On failure *errors (when given) describes why,
// with the compiler's line and column.
OSStatus SecRequirementCreateWithStringAndErrors(std::string_view text, SecCSFlags flags,
                                                 CFErrorRef* errors,
                                                 SecRequirementRef* requirement);

// errSecSuccess when the code's signature is valid and satisfies the
// requirement (a null requirement checks the signature only).
OSStatus SecCodeCheckValidity(const SecCodeRef& code, SecCSFlags flags,
                              const SecRequirementRef& requirement);

// The same, with a description of a failure in *errors.
OSStatus SecCodeCheckValidityWithErrors(const SecCodeRef& code, SecCSFlags flags,
                                        const SecRequirementRef& requirement, CFErrorRef* errors);

// What a code object names, for tools and tests.
pid_t SecCodeGetPid(const SecCodeRef& code);

}  // namespace codesign
