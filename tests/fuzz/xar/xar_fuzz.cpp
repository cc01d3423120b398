// Fuzz target for the XAR reader: open, member walk with both path calls,
// extraction of every member to a scratch file, and the signature calls.
#include <openssl/sha.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// Most mutations of a whole archive only break its table-of-contents checksum.
// Inputs that start with 'T' are "T<toc xml>\0<heap after the checksum>": the
// harness compresses the XML and stores its SHA-1 at heap offset 0, so that the
// fuzzer reaches the table of contents' meaning and the members' data.
std::vector<uint8_t> assemble(const uint8_t* data, size_t size) {
    const uint8_t* nul = static_cast<const uint8_t*>(memchr(data + 1, 0, size - 1));
    size_t xml_len = nul ? size_t(nul - data - 1) : size - 1;
    uLongf zlen = compressBound(uLong(xml_len));
    std::vector<uint8_t> z(zlen);
    if (compress2(z.data(), &zlen, data + 1, uLong(xml_len), 6) != Z_OK)
        return {};
    z.resize(zlen);
    std::vector<uint8_t> out;
    auto be = [&out](uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i)
            out.push_back(uint8_t(v >> (8 * i)));
    };
    be(0x78617221, 4);
    be(28, 2);
    be(1, 2);
    be(z.size(), 8);
    be(xml_len, 8);
    be(1, 4);
    out.insert(out.end(), z.begin(), z.end());
    uint8_t sum[SHA_DIGEST_LENGTH];
    SHA1(z.data(), z.size(), sum);
    out.insert(out.end(), sum, sum + sizeof sum);
    if (nul)
        out.insert(out.end(), nul + 1, data + size);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* raw, size_t raw_size) {
    static Scratch scratch;
    std::vector<uint8_t> built;
    const uint8_t* data = raw;
    size_t size = raw_size;
    if (raw_size > 1 && raw[0] == 'T') {
        built = assemble(raw, raw_size);
        data = built.data();
        size = built.size();
    }
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
        if (const char* style = xar_opt_get(x, XAR_OPT_TOCCKSUM); !style || !*style)
            abort();  // an open archive always has the checksum it was verified with
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
    } else if (*xq_xar_open_error() == '\0') {
        abort();  // every refusal gives its reason
    }
    close(fd);
    return 0;
}
