// The Linux profile's compiled-in paths (generated from the XQ_LINUX_* values
// that `cmake --install` uses too) fit the service unit and the FHS.
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "Common/XQCompiledPaths.h"
#include "Common/XQHelperLabel.h"
#include "codesign_verify/pkg_verify/package_tool.h"

namespace {

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
    const std::string dir = xq::paths::kTemporaryDirectory;
    const std::string cache = "/var/cache/";
    ASSERT_EQ(dir.rfind(cache, 0), 0u);
    ASSERT_EQ(dir.back(), '/');
    const std::string name = dir.substr(cache.size(), dir.size() - cache.size() - 1);
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
    const std::string label = xq::kHelperLabel;
    const std::string helper = xq::paths::kPrivilegedHelperToolFormat;
    const std::string job = xq::paths::kLaunchDaemonPlistFormat;
    EXPECT_EQ(helper, "/var/lib/" + label + "/%@");
    EXPECT_EQ(job, "/etc/" + label + "/%@.service");
    for (const std::string& p : {helper, job}) {
        EXPECT_NE(p.rfind("/usr/", 0), 0u) << p;
        EXPECT_NE(p.rfind("/etc/systemd/", 0), 0u) << p;
    }
    // The package's own files stay under /usr.
    for (const std::string tool :
         {xq::paths::kInstallerPath, xq::paths::kLaunchctlPath, pkg_verify::kPkgutilPath}) {
        EXPECT_EQ(tool, "/usr/libexec/" + label + tool.substr(tool.rfind('/'))) << tool;
    }
}

}  // namespace
