// Fuzz target for the installer stand-in's payload extraction: the input is
// one Payload archive, held in memory, unpacked by installPayload() into a
// scratch target. The target holds what the walk must tell apart: a system
// link (root's, in a root-only directory) that may be crossed, and one that
// leads out of the target, to a sibling directory that must stay empty.
// Whatever the input, nothing may appear outside the target, and a payload
// that checkPayload() refuses must be refused with the same reason and leave
// the target as it was; the harness aborts otherwise. Each input starts from
// the same target, which is rebuilt only when an input changed it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>

#include "platform/base/fd.h"
#include "tests/fuzz/installer_payload/target_layout.h"
#include "tools/installer/installer.h"

namespace fs = std::filesystem;

namespace {

// The names in a directory other than "." and "..".
size_t entries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) {
        return SIZE_MAX;
    }
    size_t n = 0;
    while (const dirent* e = readdir(d)) {
        n += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
    }
    closedir(d);
    return n;
}

bool linkIs(const std::string& path, const char* text) {
    char buf[64];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n == ssize_t(std::strlen(text)) && std::memcmp(buf, text, size_t(n)) == 0;
}

struct Scratch {
    std::string parent;
    std::string target;
    std::string outside;
    base::UniqueFd fd;
    Scratch() {
        // Entries may declare sizes of gigabytes; cap what one process may
        // write so that they fail fast (EFBIG).
        struct rlimit lim = {16u << 20, 16u << 20};
        setrlimit(RLIMIT_FSIZE, &lim);
        signal(SIGXFSZ, SIG_IGN);
        // A memory file system where there is one: inputs create and remove
        // files by the thousand.
        struct stat st {};
        const bool shm =
            stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0;
        std::string templ = std::string(shm ? "/dev/shm" : "/tmp") + "/installer-write-fuzz-XXXXXX";
        if (!mkdtemp(templ.data())) {
            abort();
        }
        parent = templ;
        target = parent + "/target";
        outside = parent + "/outside";
        if (mkdir(outside.c_str(), 0755) != 0) {
            abort();
        }
        prepare();
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(parent, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    void prepare() { fd = payloadfuzz::makeTargetLayout(target); }
    // Nothing but the target and the empty outside directory in the parent.
    void checkOutside() const {
        if (entries(parent) != 2 || entries(outside) != 0) {
            std::fprintf(stderr, "the payload walk wrote outside its target\n");
            abort();
        }
    }
    // The target as prepare() made it.
    bool pristine() const {
        struct stat st {};
        return entries(target) == 3 && entries(target + "/real") == 0 &&
               lstat((target + "/real").c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
               (st.st_mode & 07777) == 0755 && linkIs(target + "/sys", "real") &&
               linkIs(target + "/out", "../outside");
    }
    void reset() {
        fd.reset();
        std::error_code ec;
        fs::remove_all(target, ec);
        if (ec || fs::exists(fs::symlink_status(target))) {
            abort();
        }
        prepare();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    const std::span<const uint8_t> payload(data, size);
    const auto refused = installer::checkPayload(payload, scratch.fd.get(), scratch.target, "");
    const auto failed =
        installer::installPayload(payload, scratch.fd.get(), scratch.target, "", false);
    scratch.checkOutside();
    if (refused && (failed != refused || !scratch.pristine())) {
        std::fprintf(stderr,
                     "a payload that the checks refuse was written, or refused otherwise\n");
        abort();
    }
    if (!scratch.pristine()) {
        scratch.reset();
    }
    return 0;
}
