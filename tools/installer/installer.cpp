#include "tools/installer/installer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/fd.h"
#include "tools/installer/cpio.h"
#include "tools/installer/failure.h"
#include "tools/installer/members.h"
#include "tools/installer/metadata.h"
#include "tools/installer/scripts.h"
#include "tools/installer/target.h"

namespace installer {
namespace {

namespace fs = std::filesystem;

// A private working directory, removed with everything in it at the end.
class WorkDir {
  public:
    explicit WorkDir(const std::string& fallback) {
        const char* tmp = std::getenv("TMPDIR");
        for (const std::string& base :
             {std::string((tmp != nullptr && *tmp == '/') ? tmp : "/tmp"), fallback}) {
            std::string templ = base + "/xq-installer.XXXXXXXX";
            std::vector<char> buf(templ.begin(), templ.end());
            buf.push_back('\0');
            if (::mkdtemp(buf.data()) != nullptr) {
                path_ = buf.data();
                return;
            }
        }
    }
    ~WorkDir() {
        if (!path_.empty()) {
            std::error_code ec;
            fs::remove_all(path_, ec);
        }
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

struct Options {
    std::string pkg;
    std::string target;
    bool runScripts = true;
};

std::optional<Failure> install(const Options& opt) {
    char resolved[PATH_MAX];
    if (::realpath(opt.target.c_str(), resolved) == nullptr) {
        return Failure{"the target " + opt.target + " does not exist"};
    }
    const std::string target = resolved;
    base::UniqueFd targetFd(::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (targetFd.get() < 0) {
        return Failure{"the target " + target + " is not a directory"};
    }
    const Target top{targetFd.get(), target};
    std::string pkgPath = opt.pkg;
    if (pkgPath.empty() || pkgPath[0] != '/') {
        std::error_code ec;
        pkgPath = fs::absolute(pkgPath, ec).string();
    }

    WorkDir work(fs::path(pkgPath).parent_path().string());
    if (work.path().empty()) {
        return Failure{"cannot create a working directory"};
    }
    Members members;
    if (auto f = extractMembers(pkgPath, work.path() + "/members", members)) {
        return f;
    }
    std::vector<std::string> components;
    if (auto f = findComponents(members, components)) {
        return f;
    }
    std::printf("installer: Package name is %s\n", fs::path(pkgPath).filename().c_str());
    std::printf("installer: Installing at base path %s\n", target.c_str());
    std::fflush(stdout);

    int index = 0;
    for (const std::string& comp : components) {
        const std::string prefix = comp.empty() ? std::string() : comp + "/";
        std::string location = "/";
        if (members.files.count(prefix + "PackageInfo") != 0) {
            XmlCollector info;
            if (parseXmlFile(members.root + "/" + prefix + "PackageInfo", info) !=
                xml::Refusal::None) {
                return Failure{"the PackageInfo of " + (comp.empty() ? "the package" : comp) +
                               " is not well-formed"};
            }
            if (info.installLocation && !info.installLocation->empty()) {
                location = *info.installLocation;
            }
        }
        std::string locRel;
        if (location[0] != '/' || !normalizeEntryName(location.substr(1), locRel)) {
            return Failure{"install location not allowed: " + location};
        }
        // The location is resolved below the target as payload paths are
        // (system links crossed), and made if it is missing.
        std::string destination;
        base::UniqueFd dest;
        if (auto f = resolveInTarget(top, locRel, {}, true, destination)) {
            return f;
        }
        if (auto f = openResolvedDirectory(top, destination, dest)) {
            return f;
        }
        const std::string destPath = locRel.empty()  ? target
                                     : target == "/" ? "/" + locRel
                                                     : target + "/" + locRel;
        const std::vector<std::string> scriptArgs = {pkgPath, destPath, target, "/"};
        const std::string name = comp.empty() ? std::string("the package") : comp;

        std::string scriptsDir;
        if (members.files.count(prefix + "Scripts") != 0) {
            const std::string dir = work.path() + "/scripts-" + std::to_string(index);
            if (::mkdir(dir.c_str(), 0700) != 0) {
                return Failure{"cannot create the scripts directory"};
            }
            base::UniqueFd sfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (sfd.get() < 0) {
                return Failure{"cannot open the scripts directory"};
            }
            if (auto f =
                    unpackArchive("the Scripts of " + name, members.root + "/" + prefix + "Scripts",
                                  Target{sfd.get(), dir}, "", false, false)) {
                return f;
            }
            if (opt.runScripts) {
                scriptsDir = dir;
            }
        }
        if (!scriptsDir.empty()) {
            ::setenv("PACKAGE_PATH", pkgPath.c_str(), 1);
            ::setenv("DSTVOLUME", target.c_str(), 1);
            ::setenv("DSTROOT", destPath.c_str(), 1);
            ::setenv("INSTALLER_TEMP", work.path().c_str(), 1);
            if (auto f = runScript(scriptsDir, "preinstall", scriptArgs)) {
                return f;
            }
        }
        if (members.files.count(prefix + "Payload") != 0) {
            if (auto f =
                    unpackArchive("the Payload of " + name, members.root + "/" + prefix + "Payload",
                                  top, destination, true, true)) {
                return f;
            }
        }
        if (!scriptsDir.empty()) {
            if (auto f = runScript(scriptsDir, "postinstall", scriptArgs)) {
                return f;
            }
        }
        ++index;
    }
    return std::nullopt;
}

constexpr const char* kUsage = "usage: installer -pkg <path> -target <directory>\n";
constexpr const char* kTestUsage =
    "usage: installer-test -pkg <path> -target <directory> [-test-skip-scripts]\n";

}  // namespace

int installerMain(const std::vector<std::string>& arguments, Build build) {
    Options opt;
    bool havePkg = false;
    bool haveTarget = false;
    const char* usage = build == Build::Test ? kTestUsage : kUsage;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if ((a == "-pkg" || a == "-package") && i + 1 < arguments.size() && !havePkg) {
            opt.pkg = arguments[++i];
            havePkg = true;
        } else if ((a == "-target" || a == "-tgt") && i + 1 < arguments.size() && !haveTarget) {
            opt.target = arguments[++i];
            haveTarget = true;
        } else if (build == Build::Test && a == "-test-skip-scripts" && opt.runScripts) {
            opt.runScripts = false;
        } else {
            std::fputs(usage, stderr);
            return 2;
        }
    }
    if (!havePkg || !haveTarget || opt.pkg.empty() || opt.target.empty()) {
        std::fputs(usage, stderr);
        return 2;
    }
    if (std::optional<Failure> f = install(opt)) {
        std::fprintf(stderr, "installer: Error - %s\n", f->reason.c_str());
        std::fprintf(stderr, "installer: The install failed.\n");
        return 1;
    }
    std::printf("installer: The install was successful.\n");
    return 0;
}

}  // namespace installer
