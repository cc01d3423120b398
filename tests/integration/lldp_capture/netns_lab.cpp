#include "tests/integration/lldp_capture/netns_lab.h"

#include <fcntl.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace lab {
namespace {

std::atomic<unsigned> counter{0};

pid_t spawn(const std::vector<std::string>& argv, const std::string& logPath) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (!logPath.empty()) {
            int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
        } else {
            int fd = ::open("/dev/null", O_WRONLY);
            dup2(fd, 1);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

int run(const std::vector<std::string>& argv) {
    pid_t pid = spawn(argv, "");
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Netns::Netns(const std::string& role) {
    name_ = "xqlldp" + role + std::to_string(getpid()) + "n" + std::to_string(counter++);
    if (run({"ip", "netns", "add", name_}) != 0) {
        throw std::runtime_error("ip netns add " + name_ + " failed");
    }
}

Netns::~Netns() {
    run({"ip", "netns", "del", name_});
}

void Netns::ip(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"ip", "-n", name_};
    argv.insert(argv.end(), args.begin(), args.end());
    if (run(argv) != 0) {
        std::string all;
        for (const std::string& a : argv) {
            all += a + " ";
        }
        throw std::runtime_error("failed: " + all);
    }
}

std::thread Netns::startInside(std::function<void()> fn) const {
    std::string path = "/run/netns/" + name_;
    return std::thread([path, fn = std::move(fn)] {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
            std::abort();  // a test thread outside its namespace would touch the host
        }
        ::close(fd);
        fn();
    });
}

void Netns::runInside(const std::function<void()>& fn) const {
    startInside(fn).join();
}

void addVethPair(const Netns& a, const std::string& nameA, const Netns& b, const std::string& nameB,
                 const std::string& macA) {
    if (run({"ip", "link", "add", nameA, "netns", a.name(), "address", macA, "type", "veth", "peer",
             "name", nameB, "netns", b.name()}) != 0) {
        throw std::runtime_error("veth " + nameA + "/" + nameB + " failed");
    }
    a.ip({"link", "set", nameA, "up"});
    b.ip({"link", "set", nameB, "up"});
}

void sendFrames(const Netns& ns, const std::string& ifname, const std::vector<Bytes>& frames) {
    bool ok = true;
    ns.runInside([&] {
        int sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
        to.sll_halen = 6;
        for (const Bytes& f : frames) {
            std::memcpy(to.sll_addr, f.data(), 6);
            if (sendto(sock, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) !=
                static_cast<ssize_t>(f.size())) {
                ok = false;
            }
        }
        ::close(sock);
    });
    if (!ok) {
        throw std::runtime_error("sending on " + ifname + " failed");
    }
}

RepeatingSender::RepeatingSender(const Netns& ns, std::string ifname, std::vector<Bytes> frames,
                                 std::chrono::milliseconds interval) {
    thread_ = ns.startInside([this, ifname, frames, interval] {
        int sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
        to.sll_halen = 6;
        while (!stop_) {
            for (const Bytes& f : frames) {
                std::memcpy(to.sll_addr, f.data(), 6);
                (void)sendto(sock, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to),
                             sizeof(to));
            }
            std::this_thread::sleep_for(interval);
        }
        ::close(sock);
    });
}

RepeatingSender::~RepeatingSender() {
    stop_ = true;
    thread_.join();
}

Lldpd::Lldpd(const Netns& ns, const std::string& ifname, const std::string& config,
             const std::vector<std::string>& extraArgs) {
    char tmpl[] = "/tmp/xq-lldpd-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = tmpl;
    // lldpd's unprivileged half must reach its control socket in here.
    chmod(tmpl, 0755);
    std::ofstream(dir_ + "/tx.conf") << config;
    std::vector<std::string> argv{"ip",
                                  "netns",
                                  "exec",
                                  ns.name(),
                                  "lldpd",
                                  "-d",
                                  "-k",
                                  "-I",
                                  ifname,
                                  "-u",
                                  dir_ + "/lldpd.sock",
                                  "-p",
                                  dir_ + "/lldpd.pid",
                                  "-O",
                                  dir_ + "/tx.conf"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    pid_ = spawn(argv, dir_ + "/lldpd.log");
    if (pid_ < 0) {
        throw std::runtime_error("lldpd did not start");
    }
}

Lldpd::~Lldpd() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

}  // namespace lab
