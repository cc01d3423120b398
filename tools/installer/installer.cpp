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

// What every component of one install shares.
struct Install {
    std::string pkgPath;  // absolute
    std::string target;   // the target's real path
    Target top;           // the target, open
    std::string work;     // the private working directory
    Members members;
    bool runScripts = true;
};

// The component's install location `location` resolved below the target as
// payload paths are (system links crossed) and made if it is missing:
// `destination` relative to the target, `destPath` the path scripts get.
std::optional<Failure> prepareDestination(const Install& in, const std::string& location,
                                          std::string& destination, std::string& destPath) {
    std::string locRel;
    if (location[0] != '/' || !normalizeEntryName(location.substr(1), locRel)) {
        return Failure{"install location not allowed: " + location};
    }
    base::UniqueFd dest;
    if (auto f = resolveInTarget(in.top, locRel, {}, true, destination)) {
        return f;
    }
    if (auto f = openResolvedDirectory(in.top, destination, dest)) {
        return f;
    }
    destPath = locRel.empty()     ? in.target
               : in.target == "/" ? "/" + locRel
                                  : in.target + "/" + locRel;
    return std::nullopt;
}

// Unpacks the Scripts archive of the component whose members begin with
// `prefix` into a directory of its own in the work directory, `dir`.
std::optional<Failure> unpackScripts(const Install& in, const std::string& prefix,
                                     const std::string& name, int index, std::string& dir) {
    dir = in.work + "/scripts-" + std::to_string(index);
    if (::mkdir(dir.c_str(), 0700) != 0) {
        return Failure{"cannot create the scripts directory"};
    }
    base::UniqueFd sfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (sfd.get() < 0) {
        return Failure{"cannot open the scripts directory"};
    }
    return unpackArchive("the Scripts of " + name,
                         PayloadSource{in.members.root + "/" + prefix + "Scripts", {}},
                         Target{sfd.get(), dir}, "", false, false);
}

// One component ("" for a flat package), the `index`th: its scripts
// unpacked, then its preinstall script, its payload and its postinstall
// script.
std::optional<Failure> installComponent(const Install& in, const std::string& comp, int index) {
    const std::string prefix = comp.empty() ? std::string() : comp + "/";
    const std::string name = comp.empty() ? std::string("the package") : comp;
    std::string location;
    if (auto f = installLocation(in.members, comp, location)) {
        return f;
    }
    std::string destination;
    std::string destPath;
    if (auto f = prepareDestination(in, location, destination, destPath)) {
        return f;
    }
    const std::vector<std::string> scriptArgs = {in.pkgPath, destPath, in.target, "/"};

    std::string scriptsDir;
    if (in.members.files.count(prefix + "Scripts") != 0) {
        std::string dir;
        if (auto f = unpackScripts(in, prefix, name, index, dir)) {
            return f;
        }
        if (in.runScripts) {
            scriptsDir = dir;
        }
    }
    if (!scriptsDir.empty()) {
        setScriptEnvironment(in.pkgPath, in.target, destPath, in.work);
        if (auto f = runScript(scriptsDir, "preinstall", scriptArgs)) {
            return f;
        }
    }
    if (in.members.files.count(prefix + "Payload") != 0) {
        if (auto f = unpackArchive("the Payload of " + name,
                                   PayloadSource{in.members.root + "/" + prefix + "Payload", {}},
                                   in.top, destination, true, true)) {
            return f;
        }
    }
    if (!scriptsDir.empty()) {
        if (auto f = runScript(scriptsDir, "postinstall", scriptArgs)) {
            return f;
        }
    }
    return std::nullopt;
}

std::optional<Failure> install(const Options& opt) {
    char resolved[PATH_MAX];
    if (::realpath(opt.target.c_str(), resolved) == nullptr) {
        return Failure{"the target " + opt.target + " does not exist"};
    }
    Install in;
    in.target = resolved;
    base::UniqueFd targetFd(::open(in.target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (targetFd.get() < 0) {
        return Failure{"the target " + in.target + " is not a directory"};
    }
    in.top = Target{targetFd.get(), in.target};
    in.pkgPath = opt.pkg;
    if (in.pkgPath.empty() || in.pkgPath[0] != '/') {
        std::error_code ec;
        in.pkgPath = fs::absolute(in.pkgPath, ec).string();
    }
    in.runScripts = opt.runScripts;

    WorkDir work(fs::path(in.pkgPath).parent_path().string());
    if (work.path().empty()) {
        return Failure{"cannot create a working directory"};
    }
    in.work = work.path();
    if (auto f = extractMembers(in.pkgPath, in.work + "/members", in.members)) {
        return f;
    }
    std::vector<std::string> components;
    if (auto f = findComponents(in.members, components)) {
        return f;
    }
    std::printf("installer: Package name is %s\n", fs::path(in.pkgPath).filename().c_str());
    std::printf("installer: Installing at base path %s\n", in.target.c_str());
    std::fflush(stdout);

    int index = 0;
    for (const std::string& comp : components) {
        if (auto f = installComponent(in, comp, index)) {
            return f;
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
