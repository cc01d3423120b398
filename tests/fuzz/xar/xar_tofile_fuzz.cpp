// Fuzz target for the XAR reader's extraction to files: every member goes to
// a scratch file and to memory, and the two must agree (the same result, the
// same bytes). A failed extraction must leave nothing in the scratch folder.
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
#include <string>

#include "platform/base/fd.h"
#include "platform/xar/xar.h"
#include "tests/fuzz/xar/xar_input.h"

namespace {

struct Scratch {
    std::string dir;
    std::string out;
    Scratch() {
        // Members may declare sizes of gigabytes; the harness caps what one
        // process may write so that such inputs fail fast (EFBIG).
        struct rlimit lim = {64u << 20, 64u << 20};
        setrlimit(RLIMIT_FSIZE, &lim);
        signal(SIGXFSZ, SIG_IGN);
        char t[] = "/tmp/xar-tofile-fuzz-XXXXXX";
        if (!mkdtemp(t)) {
            abort();
        }
        dir = t;
        out = dir + "/member";
    }
    ~Scratch() { rmdir(dir.c_str()); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    bool empty() const {
        DIR* d = opendir(dir.c_str());
        if (!d) {
            abort();
        }
        size_t entries = 0;
        while (const dirent* e = readdir(d)) {
            entries += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
        }
        closedir(d);
        return entries == 0;
    }
};

bool same_file(const std::string& path, const char* data, size_t size) {
    const base::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string got;
    return fd && base::readToEnd(fd.get(), got) && got.size() == size &&
           (size == 0 || std::memcmp(got.data(), data, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* raw, size_t raw_size) {
    static const Scratch scratch;
    const xarfuzz::Input input(raw, raw_size);
    const xar_t x = input.archive();
    if (!x) {
        return 0;
    }
    xar_iter_t it = xar_iter_new();
    for (xar_file_t f = xar_file_first(x, it); f; f = xar_file_next(it)) {
        char* data = nullptr;
        size_t size = 0;
        const int32_t in_memory = xar_extract_tobuffersz(x, f, &data, &size);
        const int32_t to_file = xar_extract_tofile(x, f, scratch.out.c_str());
        if (to_file == 0) {
            // Only members over the in-memory cap go to a file alone.
            struct stat st {};
            if (in_memory == 0 ? !same_file(scratch.out, data, size)
                               : stat(scratch.out.c_str(), &st) != 0 || st.st_size < (32 << 20)) {
                std::fprintf(stderr, "extraction to a file and to memory disagree\n");
                abort();
            }
            unlink(scratch.out.c_str());
        } else if (in_memory == 0 && size < (32u << 20)) {
            std::fprintf(stderr, "a member extracts to memory but not to a file\n");
            abort();
        }
        free(data);
        if (!scratch.empty()) {
            std::fprintf(stderr, "a failed extraction left a file behind\n");
            abort();
        }
    }
    xar_iter_free(it);
    return 0;
}
