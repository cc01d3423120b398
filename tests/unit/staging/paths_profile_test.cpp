// The Linux profile's compiled-in paths agree with where `cmake --install`
// puts the files (the XQ_LINUX_* values of the build), and fit the FHS.
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "Common/XQCompiledPaths.h"
#include "codesign_verify/pkg_verify/package_tool.h"

namespace {

TEST(LinuxPathsProfile, AgreesWithTheInstallRules) {
    const std::string tools = XQ_LINUX_TOOLS_DIR;
    EXPECT_EQ(std::string(xq::paths::kSudoPath), XQ_LINUX_SUDO);
    EXPECT_EQ(std::string(xq::paths::kInstallerPath), tools + "/installer");
    EXPECT_EQ(std::string(pkg_verify::kPkgutilPath), tools + "/pkgutil");
    EXPECT_EQ(std::string(xq::paths::kLaunchctlPath), tools + "/launchctl");
    EXPECT_EQ(std::string(xq::paths::kLaunchDaemonPlistFormat),
              std::string(XQ_LINUX_UNIT_DIR) + "/%@.service");
    EXPECT_EQ(std::string(xq::paths::kPrivilegedHelperToolFormat),
              std::string(XQ_LINUX_HELPER_DIR) + "/%@");
    EXPECT_EQ(std::string(xq::paths::kTemporaryDirectory), std::string(XQ_LINUX_TEMP_DIR) + "/");
    // The group that the socket unit gives the socket.
    EXPECT_EQ(std::string(xq::paths::kClientGroup), XQ_CLIENT_GROUP);
}

// The temporary directory is the one systemd makes for the service alone: the
// generated unit names it as its CacheDirectory= (relative to /var/cache), root-only,
// and does not hide the system's /tmp, where clients keep their packages.
TEST(LinuxPathsProfile, TemporaryDirectoryIsTheServiceCacheDirectory) {
    std::ifstream in(XQ_SERVICE_UNIT);
    ASSERT_TRUE(in) << XQ_SERVICE_UNIT;
    std::map<std::string, std::string> settings;
    for (std::string line; std::getline(in, line);) {
        size_t eq = line.find('=');
        if (!line.empty() && line[0] != '#' && eq != std::string::npos) {
            settings[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    const std::string dir = XQ_LINUX_TEMP_DIR;
    const std::string cache = "/var/cache/";
    ASSERT_EQ(dir.rfind(cache, 0), 0u);
    const std::string name = dir.substr(cache.size());
    EXPECT_EQ(settings["CacheDirectory"], name);
    EXPECT_EQ(settings["CacheDirectoryMode"], "0700");
    EXPECT_EQ(settings.count("PrivateTmp"), 0u);
}

TEST(LinuxPathsProfile, EveryPathIsAbsoluteAndTheFormatsNameTheLabelOnce) {
    for (const char* p : {xq::paths::kSudoPath, xq::paths::kInstallerPath, pkg_verify::kPkgutilPath,
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
