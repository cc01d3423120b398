// Staging and the two commands called on the service object itself (no
// socket), with the test build's compiled-in paths.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Common/XQCompiledPaths.h"
#include "Common/XQHelperLabel.h"
#include "Main/XQSipLocationHelperXPCMgr.h"

namespace fs = std::filesystem;

namespace {

struct Replies {
    std::vector<std::pair<bool, XQNullableString>> calls;
    XQSipLocationXPCProtocol::BoolStringReply callback() {
        return [this](bool ok, const XQNullableString& s) { calls.emplace_back(ok, s); };
    }
};

class ServiceStagingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "staging gives files to user 0: run as root";
        }
        service_ = XQSipLocationHelperXPCMgr::initWithListener(
            nullptr, XQSipLocationHelperParts::compiledIn());
        char templ[] = "/tmp/xq-service-staging.XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        work_ = templ;
    }
    void TearDown() override {
        std::error_code ec;
        if (!work_.empty()) {
            fs::remove_all(work_, ec);
        }
    }
    std::shared_ptr<XQSipLocationHelperXPCMgr> service_;
    std::string work_;
};

TEST_F(ServiceStagingTest, CopyToTemporaryRepliesOnceBeforeReturning) {
    const std::string src = work_ + "/pkg.pkg";
    std::ofstream(src) << "bytes";
    Replies r;
    service_->copyToTemporary(src, std::string("dir/locationTmp.pkg"), r.callback());
    ASSERT_EQ(r.calls.size(), 1u);
    ASSERT_TRUE(r.calls[0].first);
    ASSERT_TRUE(r.calls[0].second);
    const std::string staged = *r.calls[0].second;
    EXPECT_EQ(fs::path(staged).filename(), "locationTmp.pkg");
    struct stat st;
    ASSERT_EQ(::lstat(staged.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, 0u);
    fs::remove_all(fs::path(staged).parent_path());

    const std::string fifo = work_ + "/fifo.pkg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& [path, dst] : std::vector<std::pair<XQNullableString, XQNullableString>>{
             {fifo, std::string("locationTmp.pkg")},
             {std::nullopt, std::string("locationTmp.pkg")},
             {src, std::nullopt},
             {std::string(), std::string("locationTmp.pkg")},
             {std::string("/dev/zero"), std::string("locationTmp.pkg")}}) {
        Replies refused;
        service_->copyToTemporary(path, dst, refused.callback());
        ASSERT_EQ(refused.calls.size(), 1u);
        EXPECT_FALSE(refused.calls[0].first);
        EXPECT_FALSE(refused.calls[0].second.has_value());
    }
}

TEST_F(ServiceStagingTest, InstallOfNoPathOrUnsignedFileIsRefusedFirst) {
    const std::string notPkg = work_ + "/text.pkg";
    std::ofstream(notPkg) << "not a package";
    for (const XQNullableString& p : {XQNullableString(), XQNullableString(notPkg)}) {
        Replies r;
        service_->installNewLocationHelperPackage(p, r.callback());
        ASSERT_EQ(r.calls.size(), 1u);
        EXPECT_FALSE(r.calls[0].first);
        EXPECT_EQ(r.calls[0].second, "Location pkg codeSign is invalid");
    }
}

TEST_F(ServiceStagingTest, UninstallRemovesBothFilesAndRepliesYes) {
    auto fill = [](std::string f) {
        f.replace(f.find("%@"), 2, xq::kHelperLabel);
        return f;
    };
    const std::string unit = fill(xq::paths::kLaunchDaemonPlistFormat);
    const std::string exe = fill(xq::paths::kPrivilegedHelperToolFormat);
    fs::create_directories(fs::path(unit).parent_path());
    fs::create_directories(fs::path(exe).parent_path());
    std::ofstream(unit) << "[Unit]\n";
    std::ofstream(exe) << "helper";
    Replies r;
    service_->uninstallLocationHelperWithReply(r.callback());
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_TRUE(r.calls[0].first);
    EXPECT_EQ(r.calls[0].second, "");
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_FALSE(fs::exists(exe));
}

}  // namespace
