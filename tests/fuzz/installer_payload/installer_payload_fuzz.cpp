// Fuzz target for the installer stand-in's payload walk: the input is one
// Payload archive, unpacked by installPayload() into a scratch target. The
// target holds what the walk must tell apart: a system link (root's, in a
// root-only directory) that may be crossed, and one that leads out of the
// target, to a sibling directory that must stay empty. Whatever the input,
// nothing may appear outside the target; the harness aborts if it does.
// Each input starts from the same target, and the target is emptied after it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tools/installer/installer.h"

namespace fs = std::filesystem;

namespace {

struct Scratch {
    std::string parent;
    std::string target;
    std::string outside;
    Scratch() {
        // Entries may declare sizes of gigabytes; cap what one process may
        // write so that they fail fast (EFBIG).
        struct rlimit lim = {16u << 20, 16u << 20};
        setrlimit(RLIMIT_FSIZE, &lim);
        signal(SIGXFSZ, SIG_IGN);
        char t[] = "/tmp/installer-payload-fuzz-XXXXXX";
        if (!mkdtemp(t)) {
            abort();
        }
        parent = t;
        target = parent + "/target";
        outside = parent + "/outside";
        if (mkdir(outside.c_str(), 0755) != 0) {
            abort();
        }
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(parent, ec);
    }
    void prepare() const {
        if (mkdir(target.c_str(), 0755) != 0 || mkdir((target + "/real").c_str(), 0755) != 0 ||
            symlink("real", (target + "/sys").c_str()) != 0 ||
            symlink("../outside", (target + "/out").c_str()) != 0) {
            abort();
        }
    }
    // Nothing but the target and the empty outside directory in the parent.
    void check() const {
        size_t entries = 0;
        for (const auto& e : fs::directory_iterator(parent)) {
            (void)e;
            ++entries;
        }
        if (entries != 2 || !fs::is_empty(outside)) {
            std::fprintf(stderr, "the payload walk wrote outside its target\n");
            abort();
        }
    }
    void clear() const {
        std::error_code ec;
        fs::remove_all(target, ec);
        if (ec || fs::exists(fs::symlink_status(target))) {
            abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    int fd = memfd_create("payload", MFD_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    for (size_t off = 0; off < size;) {
        ssize_t w = write(fd, data + off, size - off);
        if (w <= 0) {
            close(fd);
            return 0;
        }
        off += size_t(w);
    }
    scratch.prepare();
    int target = open(scratch.target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (target < 0) {
        abort();
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    (void)installer::installPayload(path, target, scratch.target, "", false);
    close(target);
    close(fd);
    scratch.check();
    scratch.clear();
    return 0;
}
