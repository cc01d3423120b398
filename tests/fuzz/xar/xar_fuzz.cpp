// Fuzz target for the XAR reader: open, member walk with both path calls,
// extraction of every member to a scratch file, and the signature calls.
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/xar/xar.h"

namespace {

int32_t ignore_errors(int32_t, int32_t, xar_errctx_t ctx, void*) {
    (void)xar_err_get_string(ctx);
    (void)xar_err_get_errno(ctx);
    return 0;
}

struct Scratch {
    std::string dir;
    Scratch() {
        // Members may legitimately declare sizes of gigabytes; the harness caps
        // what one process may write so that such inputs fail fast (EFBIG).
        struct rlimit lim = {64u << 20, 64u << 20};
        setrlimit(RLIMIT_FSIZE, &lim);
        signal(SIGXFSZ, SIG_IGN);
        char t[] = "/tmp/xar-fuzz-XXXXXX";
        if (!mkdtemp(t))
            abort();
        dir = t;
    }
    ~Scratch() { rmdir(dir.c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    // The reader takes a path: hand it an in-memory file through /proc.
    int fd = memfd_create("xar-fuzz", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    size_t off = 0;
    while (off < size) {
        ssize_t w = write(fd, data + off, size - off);
        if (w <= 0)
            break;
        off += size_t(w);
    }
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    xar_t x = xar_open(path.c_str(), READ);
    if (x) {
        xar_register_errhandler(x, ignore_errors, nullptr);
        std::string out = scratch.dir + "/member";
        xar_iter_t it = xar_iter_new();
        for (xar_file_t f = xar_file_first(x, it); f; f = xar_file_next(it)) {
            free(xar_get_path(f));
            free(xar_get_safe_path(f));
            if (xar_extract_tofile(x, f, out.c_str()) == 0)
                unlink(out.c_str());
        }
        xar_iter_free(it);
        (void)xar_get_toc_checksum_type(x);
        for (xar_signature_t s = xar_signature_first(x); s; s = xar_signature_next(s)) {
            (void)xar_signature_type(s);
            uint8_t *sum = nullptr, *sig = nullptr;
            uint32_t sum_len = 0, sig_len = 0;
            off_t sig_off = 0;
            if (xar_signature_copy_signed_data(s, &sum, &sum_len, &sig, &sig_len, &sig_off) == 0) {
                free(sum);
                free(sig);
            }
            int32_t n = xar_signature_get_x509certificate_count(s);
            for (int32_t i = -1; i <= n; ++i) {
                const uint8_t* der = nullptr;
                uint32_t len = 0;
                (void)xar_signature_get_x509certificate_data(s, i, &der, &len);
            }
        }
        xar_close(x);
    }
    close(fd);
    return 0;
}
