// The launchctl stand-in: `launchctl remove LABEL` takes the helper's job out
// of the service manager. On Linux the job is a pair of systemd units,
// LABEL.socket (the listening socket, the counterpart of the registered
// service name) and LABEL.service.
//
// The tool runs inside the very service it removes (the daemon starts it for
// an uninstall), and stopping that service ends everything in its control
// group, this tool included. So systemd is first made to forget the units
// (each disabled, any link to them left in a .wants/.requires directory and
// their unit files removed, the configuration reloaded), and only then are
// they stopped, without waiting for the stop (--no-block): whatever happens
// to this process afterwards, nothing remains that would start them again.
//
// Where systemd is not the running service manager there is nothing to take
// out: the tool says so and exits 0, touching nothing.
//
// Exit status: 0 when the job is gone (or there was none to remove), 1 when a
// step failed, 2 for a usage error.
//
// The directories and the systemctl program are compiled in: the shipped
// build acts on the system's own (XQ_LINUX_UNIT_DIR, /usr/bin/systemctl,
// /run/systemd/system); the test build, launchctl-test, on the build tree's
// test area only, with a systemctl stand-in, so that a test run can never
// touch the host's units.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/base/handle.h"
#include "platform/process/process.h"

#if !defined(XQ_LAUNCHCTL_UNIT_DIR) || !defined(XQ_LAUNCHCTL_SYSTEMCTL) || \
    !defined(XQ_LAUNCHCTL_SYSTEMD_RUNNING_DIR)
#error \
    "XQ_LAUNCHCTL_UNIT_DIR, XQ_LAUNCHCTL_SYSTEMCTL and XQ_LAUNCHCTL_SYSTEMD_RUNNING_DIR must be set"
#endif

namespace {

constexpr const char* kUnitDir = XQ_LAUNCHCTL_UNIT_DIR;
constexpr const char* kSystemctl = XQ_LAUNCHCTL_SYSTEMCTL;

// systemd's own test (sd_booted): this directory exists only while systemd
// is the running service manager.
bool systemdIsRunning() {
    struct stat st;
    return ::lstat(XQ_LAUNCHCTL_SYSTEMD_RUNNING_DIR, &st) == 0 && S_ISDIR(st.st_mode);
}

// A label names units and files: letters, digits, '.', '-' and '_' only, and
// no leading '-' or '.' that systemctl or the path could take for something else.
bool isValidLabel(const std::string& label) {
    if (label.empty() || label.size() > 200 || label[0] == '-' || label[0] == '.') {
        return false;
    }
    for (char c : label) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool systemctl(std::vector<std::string> args) {
    process::Result r = process::run({kSystemctl, std::move(args), false});
    return r.launched && r.exited && r.terminationStatus == 0;
}

// Removes what is at `path` if anything is; false only when something stays.
bool removeIfPresent(const std::string& path) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) {
        return true;
    }
    std::fprintf(stderr, "launchctl: cannot remove %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

// Symbolic links named `unit` in the unit directory's .wants, .requires and
// .upholds directories: what enabling the unit made, and what disabling
// leaves behind when the unit file was gone already.
std::vector<std::string> dependencyLinks(const std::string& unit) {
    std::vector<std::string> out;
    const base::Handle<DIR, ::closedir> dir(::opendir(kUnitDir));
    if (!dir) {
        return out;
    }
    while (struct dirent* e = ::readdir(dir.get())) {
        std::string name = e->d_name;
        for (const char* suffix : {".wants", ".requires", ".upholds"}) {
            const std::string s = suffix;
            if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) {
                std::string link = std::string(kUnitDir) + "/" + name + "/" + unit;
                struct stat st;
                if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                    out.push_back(std::move(link));
                }
            }
        }
    }
    return out;
}

int removeJob(const std::string& label) {
    if (!systemdIsRunning()) {
        std::fprintf(stderr, "launchctl: systemd is not running; no job %s to remove\n",
                     label.c_str());
        return 0;
    }
    const std::vector<std::string> units = {label + ".socket", label + ".service"};
    bool ok = true;
    // 1. Forget: disable each unit by name, on its own, wherever its file is
    // (the socket's is the package's; the service's may be gone already,
    // and disabling it then still removes its dangling link; a failure of one
    // must not keep the other enabled), then remove whatever links and unit
    // files remain, then reload.
    for (const std::string& unit : units) {
        const std::string file = std::string(kUnitDir) + "/" + unit;
        if (!systemctl({"disable", "--no-reload", "--quiet", "--", unit})) {
            std::fprintf(stderr, "launchctl: systemctl disable %s failed\n", unit.c_str());
        }
        for (const std::string& link : dependencyLinks(unit)) {
            ok = removeIfPresent(link) && ok;
        }
        ok = removeIfPresent(file) && ok;
    }
    ok = systemctl({"daemon-reload"}) && ok;
    // 2. Stop, socket first so that nothing re-activates the service, without
    // waiting: the stop ends this process's own service, and so this process.
    ok = systemctl({"stop", "--no-block", "--", units[0], units[1]}) && ok;
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::string(argv[1]) != "remove" || !isValidLabel(argv[2])) {
        std::fprintf(stderr, "usage: launchctl remove <label>\n");
        return 2;
    }
    return removeJob(argv[2]);
}
