// The test build's systemctl, which launchctl-test runs in place of the real
// one: it never talks to a service manager. Each call appends one JSON line
// to the test area's systemctl.log: {"args": [...], "unitFiles": [...]}, the
// arguments and the entries of the test area's unit directory at that moment
// (relative paths, sorted), so a test can tell what was done in which order
// and what systemd would have seen at each step.
//
// "disable UNIT..." does what disabling does to the unit directory: removes
// the links named UNIT in its .wants and .requires directories; like the real
// one it fails for a unit that has no unit file.
//
// "stop [--no-block] ... LABEL.service" stops the service as systemd would
// with KillMode=mixed: SIGTERM to its main process, here the nearest process
// among this one's ancestors whose program is the helper's (LABEL...), the
// daemon that ran the job-control tool. Like the real one, without --no-block
// it waits until that process is gone: a caller inside the service that
// stops its own service that way waits for ever (the daemon waits for the
// uninstall that runs the caller), which a test then sees as a missing reply.
//
// Every other command is only logged and succeeds.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#if !defined(XQ_SYSTEMCTL_UNIT_DIR) || !defined(XQ_SYSTEMCTL_LOG)
#error "XQ_SYSTEMCTL_UNIT_DIR and XQ_SYSTEMCTL_LOG must be set"
#endif

namespace fs = std::filesystem;

namespace {

std::vector<std::string> unitDirectoryEntries() {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(XQ_SYSTEMCTL_UNIT_DIR, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        out.push_back(fs::relative(it->path(), XQ_SYSTEMCTL_UNIT_DIR).string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

int disable(const std::vector<std::string>& units) {
    const fs::path dir = XQ_SYSTEMCTL_UNIT_DIR;
    for (const std::string& unit : units) {
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(dir / unit, ec))) {
            std::fprintf(stderr, "Failed to disable unit: Unit file %s does not exist.\n",
                         unit.c_str());
            return 1;
        }
    }
    for (const std::string& unit : units) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir, ec)) {
            const std::string name = e.path().filename().string();
            if (name.ends_with(".wants") || name.ends_with(".requires")) {
                fs::path link = e.path() / unit;
                if (fs::is_symlink(fs::symlink_status(link, ec))) {
                    fs::remove(link, ec);
                }
            }
        }
    }
    return 0;
}

// The parent of `pid`, or 0.
pid_t parentOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("PPid:", 0) == 0) {
            return static_cast<pid_t>(std::stol(line.substr(5)));
        }
    }
    return 0;
}

// The nearest ancestor whose program's name begins with `label`, or 0.
pid_t mainProcessOf(const std::string& label) {
    pid_t pid = parentOf(::getpid());
    for (int depth = 0; depth < 8 && pid > 1; ++depth, pid = parentOf(pid)) {
        std::error_code ec;
        const fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
        if (!ec && exe.filename().string().rfind(label, 0) == 0) {
            return pid;
        }
    }
    return 0;
}

void stop(const std::vector<std::string>& args) {
    bool block = true;
    for (const std::string& a : args) {
        if (a == "--no-block") {
            block = false;
        }
    }
    for (const std::string& unit : args) {
        const std::string suffix = ".service";
        if (unit.size() <= suffix.size() || !unit.ends_with(suffix) || unit.rfind("--", 0) == 0) {
            continue;
        }
        const pid_t mainPid = mainProcessOf(unit.substr(0, unit.size() - suffix.size()));
        if (mainPid <= 0 || ::kill(mainPid, SIGTERM) != 0) {
            continue;
        }
        while (block && ::kill(mainPid, 0) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

}  // namespace

int main(int argc, char** argv) try {
    std::vector<std::string> args(argv + 1, argv + argc);
    nlohmann::json line = {{"args", args}, {"unitFiles", unitDirectoryEntries()}};
    std::ofstream(XQ_SYSTEMCTL_LOG, std::ios::app) << line.dump() << "\n";
    if (args.empty()) {
        return 1;
    }
    if (args[0] == "disable") {
        std::vector<std::string> units;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i].rfind("--", 0) != 0) {
                units.push_back(args[i]);
            }
        }
        return disable(units);
    }
    if (args[0] == "stop") {
        stop(args);
    }
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "systemctl (test): %s\n", e.what());
    return 1;
}
