// What the installer's tests share: packages built at test time, by the
// package tool from directories and with payloads crafted here (owners,
// hostile names) to exercise what a directory cannot hold, installed by the
// installer stand-in run as a child process into a scratch target.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/process/process.h"
#include "tests/support/harness.h"

namespace installer_test {

namespace fs = std::filesystem;

struct Entry {
    std::string name;
    mode_t mode;  // type and permission bits
    std::string content;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string link;       // symlink target
    bool hardlink = false;  // cpio marks hard links by inode, so tests leave this off
};

enum class Format { GzipCpio, XzCpio, GzipTar };

// A cpio (odc) archive compressed with gzip, as a package's Payload; or, for
// the refusal tests, another format.
std::string makeCpio(const std::vector<Entry>& entries, Format format = Format::GzipCpio);

class InstallerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the installer keeps owners: run as root";
        }
        char templ[] = "/tmp/xq-installer-test.XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        work_ = templ;
        target_ = work_ + "/target";
        fs::create_directories(target_);
    }
    void TearDown() override {
        std::error_code ec;
        if (!work_.empty()) {
            fs::remove_all(work_, ec);
        }
    }

    std::string write(const std::string& rel, const std::string& content, mode_t mode = 0644) {
        std::string p = work_ + "/" + rel;
        fs::create_directories(fs::path(p).parent_path());
        std::ofstream(p, std::ios::binary) << content;
        ::chmod(p.c_str(), mode);
        return p;
    }

    void run(const char* tool, const std::vector<std::string>& args, int expected) {
        process::Result r = process::run({tool, args, false});
        ASSERT_TRUE(r.launched && r.exited) << tool;
        ASSERT_EQ(r.terminationStatus, expected) << tool;
    }

    // A flat package from the package tool; `payload` replaces the Payload
    // built from a directory.
    std::string package(const std::string& name, std::vector<std::string> extra) {
        std::string out = work_ + "/" + name;
        std::vector<std::string> args = {"build", "--identifier", "lx.pelk.Test", "--version", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(out);
        run(XQPKG_PATH, args, 0);
        return out;
    }

    std::string packageWithPayload(const std::string& name, const std::vector<Entry>& entries,
                                   std::vector<std::string> extra = {},
                                   Format format = Format::GzipCpio) {
        std::string payload = write(name + ".payload", makeCpio(entries, format));
        extra.insert(extra.end(),
                     {"--extra-member", "Payload=" + payload, "--extra-encoding", "none"});
        return package(name, extra);
    }

    int install(const std::string& pkg) {
        process::Result r =
            process::run({INSTALLER_PATH, {"-pkg", pkg, "-target", target_}, false});
        EXPECT_TRUE(r.launched && r.exited);
        return r.terminationStatus;
    }

    // The test build of the tool, scripts not run, with what it printed on
    // either stream.
    struct Run {
        int status = -1;
        std::string output;
    };
    Run installWithoutScripts(const std::string& pkg, const std::string& target) {
        process::Result r =
            process::run({"/bin/sh",
                          {"-c", "exec \"$0\" -pkg \"$1\" -target \"$2\" -test-skip-scripts 2>&1",
                           INSTALLER_TEST_PATH, pkg, target},
                          true});
        EXPECT_TRUE(r.launched && r.exited) << pkg;
        return {r.exited ? r.terminationStatus : -1, r.standardOutput};
    }

    bool targetIsEmpty() { return fs::is_empty(target_); }

    std::string work_;
    std::string target_;
};

}  // namespace installer_test
