// The Linux profile's compiled-in paths agree with where `cmake --install`
// puts the files (the XQ_LINUX_* values of the build), and fit the FHS.
#include <string>

#include <gtest/gtest.h>

#include "Common/XQCompiledPaths.h"

namespace {

TEST(LinuxPathsProfile, AgreesWithTheInstallRules) {
    const std::string tools = XQ_LINUX_TOOLS_DIR;
    EXPECT_EQ(std::string(xq::paths::kSudoPath), XQ_LINUX_SUDO);
    EXPECT_EQ(std::string(xq::paths::kInstallerPath), tools + "/installer");
    EXPECT_EQ(std::string(xq::paths::kPkgutilPath), tools + "/pkgutil");
    EXPECT_EQ(std::string(xq::paths::kLaunchctlPath), tools + "/launchctl");
    EXPECT_EQ(std::string(xq::paths::kLaunchDaemonPlistFormat),
              std::string(XQ_LINUX_UNIT_DIR) + "/%@.service");
    EXPECT_EQ(std::string(xq::paths::kPrivilegedHelperToolFormat),
              std::string(XQ_LINUX_HELPER_DIR) + "/%@");
    EXPECT_EQ(std::string(xq::paths::kTemporaryDirectory), "/tmp/");
}

TEST(LinuxPathsProfile, EveryPathIsAbsoluteAndTheFormatsNameTheLabelOnce) {
    for (const char* p : {xq::paths::kSudoPath, xq::paths::kInstallerPath, xq::paths::kPkgutilPath,
                          xq::paths::kLaunchctlPath, xq::paths::kLaunchDaemonPlistFormat,
                          xq::paths::kPrivilegedHelperToolFormat, xq::paths::kTemporaryDirectory}) {
        ASSERT_EQ(p[0], '/') << p;
        EXPECT_EQ(std::string(p).find(".."), std::string::npos) << p;
    }
    for (const std::string f :
         {xq::paths::kLaunchDaemonPlistFormat, xq::paths::kPrivilegedHelperToolFormat}) {
        size_t at = f.find("%@");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(f.find("%@", at + 1), std::string::npos);
    }
}

// The helper and its job description are replaced by self-update and removed
// by uninstall, so no distribution package may own them: they lie outside
// /usr (the packages' tree, and /usr/local, the administrator's), each in a
// directory named after the label that the service may write and that holds
// nothing of anyone else's.
TEST(LinuxPathsProfile, TheSelfUpdatedFilesLieInDirectoriesOfTheirOwnOutsideUsr) {
    const std::string label = "lx.pelk.XQSipLocationHelper";
    const std::string helper = xq::paths::kPrivilegedHelperToolFormat;
    const std::string job = xq::paths::kLaunchDaemonPlistFormat;
    EXPECT_EQ(helper, "/var/lib/" + label + "/%@");
    EXPECT_EQ(job, "/etc/" + label + "/%@.service");
    for (const std::string& p : {helper, job}) {
        EXPECT_NE(p.rfind("/usr/", 0), 0u) << p;
        EXPECT_NE(p.rfind("/etc/systemd/", 0), 0u) << p;
    }
    // The package's own files stay under /usr.
    EXPECT_EQ(std::string(XQ_LINUX_TOOLS_DIR).rfind("/usr/libexec/", 0), 0u);
}

}  // namespace
