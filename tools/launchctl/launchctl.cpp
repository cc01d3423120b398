// The launchctl stand-in: `launchctl remove LABEL` takes the helper's job out
// of the service manager. On Linux the job is a pair of systemd units,
// LABEL.socket (the listening socket, the counterpart of the registered
// service name) and LABEL.service; both are stopped and disabled, a unit file
// still left in the unit directory is removed, and systemd reloads its
// configuration so that it forgets them.
//
// Where systemd is not the running service manager there is nothing to take
// out: the tool says so and exits 0, touching nothing.
//
// Exit status: 0 when the job is gone (or there was none to remove), 1 when
// systemctl reported a failure, 2 for a usage error.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/process/process.h"

#ifndef XQ_LAUNCHCTL_UNIT_DIR
#error "XQ_LAUNCHCTL_UNIT_DIR must name the unit directory"
#endif

namespace {

constexpr const char* kSystemctl = "/usr/bin/systemctl";

// systemd's own test (sd_booted): this directory exists only while systemd
// is the running service manager.
bool systemdIsRunning() {
    struct stat st;
    return ::lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
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

int removeJob(const std::string& label) {
    if (!systemdIsRunning()) {
        std::fprintf(stderr, "launchctl: systemd is not running; no job %s to remove\n",
                     label.c_str());
        return 0;
    }
    const std::string socketUnit = label + ".socket";
    const std::string serviceUnit = label + ".service";
    bool ok = true;
    // The socket first, so that nothing re-activates the service meanwhile.
    ok = systemctl({"stop", "--", socketUnit, serviceUnit}) && ok;
    ok = systemctl({"disable", "--quiet", "--", socketUnit, serviceUnit}) && ok;
    for (const std::string& unit : {socketUnit, serviceUnit}) {
        std::string path = std::string(XQ_LAUNCHCTL_UNIT_DIR) + "/" + unit;
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            std::perror(("launchctl: " + path).c_str());
            ok = false;
        }
    }
    ok = systemctl({"daemon-reload"}) && ok;
    (void)systemctl({"reset-failed", "--", socketUnit, serviceUnit});
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
