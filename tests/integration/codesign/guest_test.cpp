// Guest lookup and validity check against real child processes: signed copies
// of a small peer program, made at test time with the generated test PKI, are
// started, looked up through their pidfd, and checked against the client
// requirement the daemon uses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/codesign/codesign.h"
#include "platform/codesign/signature.h"
#include "platform/security/security.h"
#include "tests/support/harness.h"

extern char** environ;

namespace {

using namespace codesign;

const std::string kPki = XQ_TESTPKI_DIR;
constexpr char kRequirement[] =
    "identifier \"lx.pelk.dvk\" and anchor apple generic and certificate leaf[subject.OU] = "
    "\"T3MQ8VX2LC\" and certificate leaf[subject.CN] = \"Developer ID Application: Pelk Labs, "
    "Inc. (T3MQ8VX2LC)\" and info [CFBundleVersion] >= \"5.5.0\"";

std::string plist_text(const std::string& version) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>CFBundleIdentifier</key>\n\t<string>lx.pelk.dvk</string>\n"
           "\t<key>CFBundleVersion</key>\n\t<string>" +
           version + "</string>\n</dict>\n</plist>\n";
}

void spit(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

int run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Dir {
  public:
    Dir() {
        char t[] = "/tmp/codesign_guest.XXXXXX";
        path_ = mkdtemp(t);
    }
    ~Dir() { run({"rm", "-rf", path_}); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Makes a copy of the peer with bundle information of `version` (none when
// empty), signed with the test PKI `identity` (unsigned when empty).
std::string make_peer(const Dir& dir, const std::string& name, const std::string& version,
                      const std::string& identity, const std::string& identifier = "lx.pelk.dvk") {
    std::string out = dir.path() + "/" + name;
    if (version.empty()) {
        EXPECT_EQ(run({"cp", XQ_PEER, out}), 0);
    } else {
        std::string plist = dir.path() + "/" + name + ".plist";
        std::ofstream(plist) << plist_text(version);
        EXPECT_EQ(run({XQ_OBJCOPY, "--add-section", "__info_plist=" + plist, XQ_PEER, out}), 0);
    }
    if (!identity.empty()) {
        auto certs = security::certificates_from_file(kPki + "/" + identity + ".pem");
        auto key = security::private_key_from_file(kPki + "/" + identity + ".key.pem");
        auto chain = security::certificates_from_file(kPki + "/" + identity + ".chain.pem");
        EXPECT_FALSE(certs.empty());
        Identity id{certs.at(0).get(), key.get(), {}};
        for (auto& c : chain)
            id.chain.push_back(c.get());
        std::string error;
        EXPECT_TRUE(sign_file(out, id, identifier, &error)) << error;
    }
    chmod(out.c_str(), 0755);
    return out;
}

// A running peer with a pidfd for it.
class Peer {
  public:
    explicit Peer(const std::vector<std::string>& argv) {
        int in[2], out[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int rc = posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        EXPECT_EQ(rc, 0);
        char buf[6] = {};
        size_t got = 0;
        while (rc == 0 && got < sizeof buf) {
            ssize_t n = read(out[0], buf + got, sizeof buf - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        close(out[0]);
        ready_ = got == sizeof buf && std::memcmp(buf, "ready\n", 6) == 0;
        pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        EXPECT_GE(pidfd_, 0);
    }
    ~Peer() {
        stop();
        if (pidfd_ >= 0)
            close(pidfd_);
    }
    // Lets the peer exit and reaps it; the pidfd stays open.
    void stop() {
        if (stdin_ >= 0) {
            close(stdin_);
            stdin_ = -1;
        }
        if (pid_ > 0) {
            waitpid(pid_, nullptr, 0);
            pid_ = -pid_;
        }
    }
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_ > 0 ? pid_ : -pid_; }
    int pidfd() const { return pidfd_; }
    AuditToken token() const { return make_audit_token(pid(), pidfd_); }

  private:
    pid_t pid_ = 0;
    int pidfd_ = -1;
    int stdin_ = -1;
    bool ready_ = false;
};

struct Verdict {
    OSStatus lookup = 1;
    OSStatus validity = 1;
    std::string error;
};

Verdict check(const GuestAttributes& attrs, const char* requirement_text = kRequirement) {
    Verdict v;
    SecCodeRef code;
    v.lookup = SecCodeCopyGuestWithAttributes(nullptr, attrs, kSecCSDefaultFlags, &code);
    if (v.lookup != errSecSuccess) {
        EXPECT_FALSE(code);
        return v;
    }
    EXPECT_TRUE(code);
    SecRequirementRef requirement;
    CFErrorRef errors;
    EXPECT_EQ(SecRequirementCreateWithStringAndErrors(requirement_text, kSecCSDefaultFlags, &errors,
                                                      &requirement),
              errSecSuccess)
        << CFErrorCopyDescription(errors);
    v.validity = SecCodeCheckValidityWithErrors(code, kSecCSDefaultFlags, requirement, &errors);
    EXPECT_EQ(SecCodeCheckValidity(code, kSecCSDefaultFlags, requirement), v.validity);
    if (errors)
        v.error = CFErrorCopyDescription(errors);
    return v;
}

Verdict check_peer(const std::string& path) {
    Peer peer({path});
    EXPECT_TRUE(peer.ready()) << path;
    return check({peer.token(), std::nullopt});
}

class GuestTest : public ::testing::Test {
  protected:
    Dir dir;
};

TEST_F(GuestTest, SignedClientIsAccepted) {
    for (const char* version : {"5.5.0", "5.20.1", "5.5.00", "10.0"}) {
        auto path = make_peer(dir, std::string("good-") + version, version, "app");
        Verdict v = check_peer(path);
        EXPECT_EQ(v.lookup, errSecSuccess) << version;
        EXPECT_EQ(v.validity, errSecSuccess) << version << ": " << v.error;
    }
    // Signed by the build through xq_codesign().
    Verdict built = check_peer(XQ_PEER_BUILDSIGNED);
    EXPECT_EQ(built.validity, errSecSuccess) << built.error;

    // The older lookup by process id reaches the same code.
    auto path = make_peer(dir, "good-pid", "5.6", "app");
    Peer peer({path});
    ASSERT_TRUE(peer.ready());
    Verdict by_pid = check({std::nullopt, peer.pid()});
    EXPECT_EQ(by_pid.validity, errSecSuccess) << by_pid.error;
    SecCodeRef code;
    ASSERT_EQ(SecCodeCopyGuestWithAttributes(nullptr, {peer.token(), std::nullopt},
                                             kSecCSDefaultFlags, &code),
              errSecSuccess);
    EXPECT_EQ(SecCodeGetPid(code), peer.pid());
}

TEST_F(GuestTest, WrongClientsAreRefused) {
    struct Case {
        const char* name;
        const char* version;
        const char* identity;
        const char* identifier;
        OSStatus expected;
    };
    const Case cases[] = {
        {"unsigned", "5.20.1", "", "lx.pelk.dvk", errSecCSUnsigned},
        {"adhoc", "5.20.1", "app-adhoc", "lx.pelk.dvk", errSecCSSignatureFailed},
        {"otherteam", "5.20.1", "app-otherteam", "lx.pelk.dvk", errSecCSReqFailed},
        {"othercn", "5.20.1", "app-othercn", "lx.pelk.dvk", errSecCSReqFailed},
        {"otherid", "5.20.1", "app", "lx.pelk.other", errSecCSReqFailed},
        {"prefixid", "5.20.1", "app", "lx.pelk.dvkx", errSecCSReqFailed},
        {"old", "5.4.9", "app", "lx.pelk.dvk", errSecCSReqFailed},
        {"shortversion", "5.5", "app", "lx.pelk.dvk", errSecCSReqFailed},
        {"noinfo", "", "app", "lx.pelk.dvk", errSecCSReqFailed},
        {"expired", "5.20.1", "app-expired", "lx.pelk.dvk", errSecCSSignatureFailed},
        {"notyet", "5.20.1", "app-notyet", "lx.pelk.dvk", errSecCSSignatureFailed},
        {"installer", "5.20.1", "installer", "lx.pelk.dvk", errSecCSSignatureFailed},
    };
    for (const auto& c : cases) {
        auto path = make_peer(dir, c.name, c.version, c.identity, c.identifier);
        Verdict v = check_peer(path);
        EXPECT_EQ(v.lookup, errSecSuccess) << c.name;
        EXPECT_EQ(v.validity, c.expected) << c.name << ": " << v.error;
        EXPECT_FALSE(v.error.empty()) << c.name;
    }
}

TEST_F(GuestTest, TamperedFilesAreRefused) {
    auto good = make_peer(dir, "base", "5.20.1", "app");
    const auto bytes = xqtest::readBytes(good);
    const auto plist = plist_text("5.20.1");
    auto at = std::search(bytes.begin(), bytes.end(), plist.begin(), plist.end());
    ASSERT_NE(at, bytes.end());
    const size_t version_at = static_cast<size_t>(at - bytes.begin()) + plist.find("5.20.1");

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        OSStatus expected;
    };
    std::vector<Case> cases;
    {
        auto b = bytes;  // the version raised after signing
        b[version_at + 2] = '9';
        cases.push_back({"modified", b, errSecCSSignatureFailed});
    }
    {
        auto b = bytes;  // last byte of the trailer gone
        b.pop_back();
        cases.push_back({"truncated", b, errSecCSUnsigned});
    }
    {
        auto b = bytes;  // a byte of the signature value flipped
        b[b.size() - kTrailerSize - 10] ^= 1;
        cases.push_back({"corrupt-signature", b, errSecCSSignatureFailed});
    }
    {
        auto b = bytes;  // block length in the trailer larger than the file
        b[b.size() - kTrailerSize + 4] = 0x7f;
        cases.push_back({"corrupt-length", b, errSecCSBadObjectFormat});
    }
    {
        auto b = bytes;  // bytes inserted before the block: length differs
        b.insert(b.begin() + static_cast<long>(version_at), 'x');
        cases.push_back({"grown", b, errSecCSSignatureFailed});
    }
    for (auto& c : cases) {
        std::string path = dir.path() + "/" + c.name;
        spit(path, c.bytes);
        chmod(path.c_str(), 0755);
        Verdict v = check_peer(path);
        EXPECT_EQ(v.lookup, errSecSuccess) << c.name;
        EXPECT_EQ(v.validity, c.expected) << c.name << ": " << v.error;
    }
}

// Bytes this process has read so far (read, pread), from /proc/self/io.
uint64_t bytes_read() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:")
            return value;
    }
    return 0;
}

TEST_F(GuestTest, HugeClientsAreNotHashed) {
    // Running executables of 16 GiB (sparse: the loader ignores bytes after
    // the ELF image), one unsigned and one ending in a genuine block that was
    // made for a smaller file. Neither is hashed: the check reads only the
    // trailer, the block and the ELF headers.
    const off_t huge = off_t{16} << 30;
    auto unsigned_path = make_peer(dir, "huge-unsigned", "5.20.1", "");
    ASSERT_EQ(truncate(unsigned_path.c_str(), huge), 0);

    auto small = make_peer(dir, "small", "5.20.1", "app");
    auto small_bytes = xqtest::readBytes(small);
    auto covered = unsigned_part(small_bytes);
    ASSERT_TRUE(covered);
    std::vector<uint8_t> block(small_bytes.begin() + static_cast<long>(covered->size()),
                               small_bytes.end());
    std::string grafted = dir.path() + "/huge-grafted";
    spit(grafted, std::vector<uint8_t>(small_bytes.begin(),
                                       small_bytes.begin() + static_cast<long>(covered->size())));
    ASSERT_EQ(truncate(grafted.c_str(), huge), 0);
    {
        std::fstream f(grafted, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(huge);
        f.write(reinterpret_cast<const char*>(block.data()), static_cast<long>(block.size()));
    }
    chmod(grafted.c_str(), 0755);

    for (const auto& [path, expected] : {std::pair{unsigned_path, errSecCSUnsigned},
                                         std::pair{grafted, errSecCSSignatureFailed}}) {
        Peer peer({path});
        ASSERT_TRUE(peer.ready()) << path;
        uint64_t before = bytes_read();
        Verdict v = check({peer.token(), std::nullopt});
        uint64_t read = bytes_read() - before;
        EXPECT_EQ(v.lookup, errSecSuccess) << path;
        EXPECT_EQ(v.validity, expected) << path << ": " << v.error;
        EXPECT_LT(read, 256u * 1024) << path;
    }
}

TEST_F(GuestTest, HugeClientOfAnotherTrustedSignerIsNotHashed) {
    // A 16 GiB running executable with a well-formed signature by a trusted
    // signer of another team, claiming exactly the file's length: the
    // requirement refuses the signer before a byte of the file is hashed.
    const off_t huge = off_t{16} << 30;
    auto path = make_peer(dir, "huge-otherteam", "5.20.1", "");
    ASSERT_EQ(truncate(path.c_str(), huge), 0);
    SignedRecord record{"lx.pelk.dvk", static_cast<uint64_t>(huge), {}};
    Bytes record_bytes = encode_record(record);
    auto cert = security::certificates_from_file(kPki + "/app-otherteam.pem");
    auto key = security::private_key_from_file(kPki + "/app-otherteam.key.pem");
    auto chain = security::certificates_from_file(kPki + "/app-otherteam.chain.pem");
    std::vector<X509*> extra;
    for (auto& c : chain)
        extra.push_back(c.get());
    auto cms = security::cms_sign_detached(record_bytes, {cert.at(0).get(), key.get(), extra});
    ASSERT_TRUE(cms);
    Bytes tail = encode_block(record_bytes, *cms);
    Bytes trailer = encode_trailer(tail.size());
    tail.insert(tail.end(), trailer.begin(), trailer.end());
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(huge);
        f.write(reinterpret_cast<const char*>(tail.data()), static_cast<long>(tail.size()));
    }
    Peer peer({path});
    ASSERT_TRUE(peer.ready());
    uint64_t before = bytes_read();
    Verdict v = check({peer.token(), std::nullopt});
    EXPECT_EQ(v.validity, errSecCSReqFailed) << v.error;
    EXPECT_LT(bytes_read() - before, 256u * 1024);
}

TEST_F(GuestTest, BadAttributesAndArguments) {
    SecCodeRef code;
    // The all-zero token names no process.
    EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, {AuditToken{}, std::nullopt},
                                             kSecCSDefaultFlags, &code),
              errSecCSNoSuchCode);
    EXPECT_FALSE(code);
    EXPECT_EQ(audit_token_pid(AuditToken{}), 0);
    EXPECT_EQ(audit_token_pidfd(AuditToken{}), -1);
    EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, {}, kSecCSDefaultFlags, &code),
              errSecCSUnsupportedGuestAttributes);
    EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, {AuditToken{}, 1}, kSecCSDefaultFlags, &code),
              errSecCSUnsupportedGuestAttributes);
    EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, {std::nullopt, 0}, kSecCSDefaultFlags, &code),
              errSecCSInvalidAttributeValues);
    EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, {std::nullopt, 1}, 1, &code),
              errSecCSInvalidFlags);
    EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, {std::nullopt, 1}, 0, nullptr), errSecParam);
    EXPECT_FALSE(code);
    // A token whose descriptor is not a pidfd.
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(
        SecCodeCopyGuestWithAttributes(nullptr, {make_audit_token(getpid(), fd), std::nullopt},
                                       kSecCSDefaultFlags, &code),
        errSecCSNoSuchCode);
    close(fd);

    EXPECT_EQ(SecCodeCheckValidity(nullptr, 0, nullptr), errSecCSInvalidObjectRef);

    // Requirement texts that do not compile give an error object, no requirement.
    for (const char* bad : {"identifier \"lx.pelk.dvk", "(anchor apple generic",
                            "identifier \"a\" and", "info [CFBundleVersion] >= ", ""}) {
        SecRequirementRef requirement;
        CFErrorRef errors;
        EXPECT_EQ(SecRequirementCreateWithStringAndErrors(bad, 0, &errors, &requirement),
                  errSecCSReqInvalid)
            << bad;
        EXPECT_FALSE(requirement) << bad;
        ASSERT_TRUE(errors) << bad;
        EXPECT_EQ(CFErrorGetCode(errors), errSecCSReqInvalid);
        EXPECT_FALSE(CFErrorCopyDescription(errors).empty()) << bad;
    }
    SecRequirementRef requirement;
    EXPECT_EQ(SecRequirementCreateWithStringAndErrors(kRequirement, 0, nullptr, &requirement),
              errSecSuccess);
    EXPECT_TRUE(requirement);
}

TEST_F(GuestTest, ExitedPeersAreNeverMistakenForAnother) {
    auto path = make_peer(dir, "good", "5.20.1", "app");

    // Exited but not yet reaped: a zombie has no executable to check.
    {
        Peer zombie({path});
        ASSERT_TRUE(zombie.ready());
        kill(zombie.pid(), SIGKILL);
        siginfo_t info{};
        ASSERT_EQ(waitid(P_PID, static_cast<id_t>(zombie.pid()), &info, WEXITED | WNOWAIT), 0);
        Verdict v = check({zombie.token(), std::nullopt});
        EXPECT_EQ(v.lookup, errSecCSNoSuchCode);
    }

    // Exited and reaped: the token's pidfd now names no process.
    Peer gone({path});
    ASSERT_TRUE(gone.ready());
    const AuditToken stale = gone.token();
    gone.stop();
    EXPECT_EQ(check({stale, std::nullopt}).lookup, errSecCSNoSuchCode);

    // The lookup goes through the pidfd, not the pid: a live, genuinely signed
    // process standing at the token's pid (as a recycled pid would) is still
    // refused when the pidfd is the dead one, and a live pidfd does not lend
    // its process to another pid.
    Peer live({path});
    ASSERT_TRUE(live.ready());
    EXPECT_EQ(check({make_audit_token(live.pid(), gone.pidfd()), std::nullopt}).lookup,
              errSecCSNoSuchCode);
    EXPECT_EQ(check({make_audit_token(gone.pid(), live.pidfd()), std::nullopt}).lookup,
              errSecCSNoSuchCode);
    EXPECT_EQ(check({live.token(), std::nullopt}).validity, errSecSuccess);

    // A code object taken while the peer lived keeps the executable it opened.
    SecCodeRef code;
    Peer later({path});
    ASSERT_TRUE(later.ready());
    ASSERT_EQ(SecCodeCopyGuestWithAttributes(nullptr, {later.token(), std::nullopt}, 0, &code),
              errSecSuccess);
    later.stop();
    EXPECT_EQ(SecCodeCheckValidity(code, 0, nullptr), errSecSuccess);
}

TEST_F(GuestTest, PeerInItsOwnUserNamespaceIsRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to create a user namespace with unshare -U -r";
    }
    if (run({"sh", "-c", "command -v unshare >/dev/null"}) != 0) {
        GTEST_SKIP() << "unshare is not installed";
    }
    if (run({"unshare", "-U", "-r", "true"}) != 0) {
        GTEST_SKIP() << "user namespaces are not available here";
    }
    auto path = make_peer(dir, "good", "5.20.1", "app");
    // The genuine client, executed inside a user namespace of its own (where
    // its owner could have pointed its exe link anywhere).
    Peer inside({"unshare", "-U", "-r", path});
    ASSERT_TRUE(inside.ready());
    Verdict v = check({inside.token(), std::nullopt});
    EXPECT_EQ(v.lookup, errSecCSGuestInvalid);
    EXPECT_EQ(check({std::nullopt, inside.pid()}).lookup, errSecCSGuestInvalid);
    // The same executable outside is accepted.
    Peer outside({path});
    ASSERT_TRUE(outside.ready());
    EXPECT_EQ(check({outside.token(), std::nullopt}).validity, errSecSuccess);
}

}  // namespace
