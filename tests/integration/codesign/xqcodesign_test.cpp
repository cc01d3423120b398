// The xqcodesign tool as a user runs it: sign, re-sign, verify (compiled-in
// and given anchors), display, and its refusals and usage errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

const std::string kPki = XQ_TESTPKI_DIR;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

Result run(std::vector<std::string> argv) {
    Result r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return r;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        return r;
    }
    r.out = drain(out[0]);  // outputs are small: no risk of a full stderr pipe
    r.err = drain(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::vector<std::string> sign_args(const std::string& identity, const std::string& id,
                                   const std::string& file) {
    return {XQ_CODESIGN_TOOL,
            "sign",
            "--identity",
            kPki + "/" + identity + ".pem",
            "--key",
            kPki + "/" + identity + ".key.pem",
            "--chain",
            kPki + "/" + identity + ".chain.pem",
            "--identifier",
            id,
            file};
}

class XqcodesignTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char t[] = "/tmp/xqcodesign_test.XXXXXX";
        dir = mkdtemp(t);
        file = dir + "/client";
        ASSERT_EQ(run({"cp", XQ_PEER_BUILDSIGNED, file}).status, 0);
        // A copy of the peer that the build signed with xq_codesign(); signing
        // it again below must replace its block, not sign over it.
    }
    void TearDown() override { run({"rm", "-rf", dir}); }
    off_t size() const {
        struct stat st {};
        stat(file.c_str(), &st);
        return st.st_size;
    }
    std::string dir, file;
};

TEST_F(XqcodesignTest, SignVerifyDisplay) {
    // The build-signed peer verifies as it is.
    Result v = run({XQ_CODESIGN_TOOL, "verify", file});
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_NE(v.out.find("valid"), std::string::npos);
    const off_t signed_size = size();

    ASSERT_EQ(run(sign_args("app", "lx.pelk.dvk", file)).status, 0);
    EXPECT_EQ(size(), signed_size);  // same identity: the block was replaced
    v = run({XQ_CODESIGN_TOOL, "verify", file});
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_NE(v.out.find("Identifier=lx.pelk.dvk"), std::string::npos) << v.out;
    EXPECT_NE(v.out.find("Authority=Developer ID Application: Pelk Labs, Inc. (T3MQ8VX2LC)\n"
                         "Authority=Developer ID Certification Authority\n"
                         "Authority=Apple Root CA\n"),
              std::string::npos)
        << v.out;

    Result d = run({XQ_CODESIGN_TOOL, "display", file});
    EXPECT_EQ(d.status, 0) << d.err;
    EXPECT_NE(d.out.find("Identifier=lx.pelk.dvk\n"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("SHA256="), std::string::npos);
    EXPECT_NE(d.out.find("Certificate 0=UID=T3MQ8VX2LC,CN=Developer ID Application"),
              std::string::npos)
        << d.out;
    EXPECT_NE(d.out.find("Certificate 2=CN=Apple Root CA"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("Info CFBundleVersion=5.20.1"), std::string::npos) << d.out;

    // The peer still runs after signing.
    EXPECT_EQ(run({"sh", "-c", "echo | " + file + " >/dev/null"}).status, 0);
}

TEST_F(XqcodesignTest, VerifyRefusals) {
    ASSERT_EQ(run(sign_args("app-adhoc", "lx.pelk.dvk", file)).status, 0);
    Result v = run({XQ_CODESIGN_TOOL, "verify", file});
    EXPECT_EQ(v.status, 1);
    EXPECT_NE(v.err.find("not trusted"), std::string::npos) << v.err;
    // With the look-alike root given as the anchor, it verifies; the genuine
    // chain then does not.
    EXPECT_EQ(run({XQ_CODESIGN_TOOL, "verify", "--anchor", kPki + "/adhoc-root.der", file}).status,
              0);
    ASSERT_EQ(run(sign_args("app", "lx.pelk.dvk", file)).status, 0);
    EXPECT_EQ(run({XQ_CODESIGN_TOOL, "verify", "--anchor", kPki + "/adhoc-root.pem", file}).status,
              1);

    // Modified after signing.
    {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(100);
        f.put('\x5a');
    }
    v = run({XQ_CODESIGN_TOOL, "verify", file});
    EXPECT_EQ(v.status, 1);
    EXPECT_NE(v.err.find("modified"), std::string::npos) << v.err;

    std::ofstream(dir + "/plain") << "not signed";
    v = run({XQ_CODESIGN_TOOL, "verify", dir + "/plain"});
    EXPECT_EQ(v.status, 1);
    EXPECT_NE(v.err.find("not signed"), std::string::npos) << v.err;
    EXPECT_EQ(run({XQ_CODESIGN_TOOL, "display", dir + "/plain"}).status, 1);
    EXPECT_EQ(run({XQ_CODESIGN_TOOL, "verify", dir + "/missing"}).status, 1);
}

TEST_F(XqcodesignTest, SignRefusalsAndUsage) {
    auto args = sign_args("app", "lx.pelk.dvk", file);
    args[5] = kPki + "/app-otherteam.key.pem";  // a key that is not the identity's
    Result r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("does not belong"), std::string::npos) << r.err;
    EXPECT_EQ(run(sign_args("app", "has space", file)).status, 1);
    EXPECT_EQ(run(sign_args("app", "lx.pelk.dvk", dir + "/missing")).status, 1);
    // Nothing is left behind by the failed attempts.
    EXPECT_EQ(run({"sh", "-c", "ls " + dir + " | grep -q xqcodesign"}).status, 1);

    EXPECT_EQ(run({XQ_CODESIGN_TOOL}).status, 2);
    EXPECT_EQ(run({XQ_CODESIGN_TOOL, "frobnicate"}).status, 2);
    EXPECT_EQ(run({XQ_CODESIGN_TOOL, "sign", file}).status, 2);
    EXPECT_EQ(run({XQ_CODESIGN_TOOL, "verify"}).status, 2);
    EXPECT_EQ(run({XQ_CODESIGN_TOOL, "display", file, file}).status, 2);
    Result help = run({XQ_CODESIGN_TOOL, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("test PKI"), std::string::npos);
    EXPECT_NE(help.out.find("xqcodesign sign"), std::string::npos);
}

// With SOURCE_DATE_EPOCH the signing time is that instant (2023-11-14
// 22:13:20 UTC as a CMS UTCTime), so two signings of the same file give the
// same bytes; a value that is not a number of seconds is refused.
TEST_F(XqcodesignTest, SigningTimeFromSourceDateEpoch) {
    const std::string second = dir + "/client2";
    ASSERT_EQ(run({"cp", file, second}).status, 0);
    auto sign_at = [](const std::string& epoch, const std::string& f) {
        std::vector<std::string> argv = sign_args("app", "lx.pelk.dvk", f);
        argv.insert(argv.begin(), {"env", "SOURCE_DATE_EPOCH=" + epoch});
        return run(argv);
    };
    ASSERT_EQ(sign_at("1700000000", file).status, 0);
    ASSERT_EQ(sign_at("1700000000", second).status, 0);
    EXPECT_EQ(run({"cmp", file, second}).status, 0);
    EXPECT_EQ(run({"grep", "-q", "-a", "231114221320Z", file}).status, 0);
    EXPECT_EQ(run({XQ_CODESIGN_TOOL, "verify", file}).status, 0);

    ASSERT_EQ(sign_at("1700000001", second).status, 0);
    EXPECT_EQ(run({"grep", "-q", "-a", "231114221321Z", second}).status, 0);
    EXPECT_NE(run({"cmp", "-s", file, second}).status, 0);

    Result bad = sign_at("soon", second);
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("SOURCE_DATE_EPOCH"), std::string::npos) << bad.err;
}

}  // namespace
