// Fuzz target for the XAR reader: open, member walk with both path calls,
// extraction of every member to memory, and the signature calls. Extraction
// to files, which shares every check, has its own target (xar_tofile_fuzz).
#include <cstdint>
#include <cstdlib>

#include "platform/xar/xar.h"
#include "tests/fuzz/xar/xar_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* raw, size_t raw_size) {
    const xarfuzz::Input input(raw, raw_size);
    const xar_t x = input.archive();
    if (!x) {
        return 0;
    }
    xar_iter_t it = xar_iter_new();
    for (xar_file_t f = xar_file_first(x, it); f; f = xar_file_next(it)) {
        free(xar_get_path(f));
        free(xar_get_safe_path(f));
        char* data = nullptr;
        size_t size = 0;
        if (xar_extract_tobuffersz(x, f, &data, &size) == 0) {
            if (data == nullptr) {
                abort();  // success always hands out a buffer
            }
            free(data);
        } else if (data != nullptr) {
            abort();  // failure hands out nothing
        }
    }
    xar_iter_free(it);
    (void)xar_get_toc_checksum_type(x);
    if (const char* style = xar_opt_get(x, XAR_OPT_TOCCKSUM); !style || !*style) {
        abort();  // an open archive always has the checksum it was verified with
    }
    for (xar_signature_t s = xar_signature_first(x); s; s = xar_signature_next(s)) {
        (void)xar_signature_type(s);
        uint8_t *sum = nullptr, *sig = nullptr;
        uint32_t sum_len = 0, sig_len = 0;
        off_t sig_off = 0;
        if (xar_signature_copy_signed_data(s, &sum, &sum_len, &sig, &sig_len, &sig_off) == 0) {
            free(sum);
            free(sig);
        }
        const int32_t n = xar_signature_get_x509certificate_count(s);
        for (int32_t i = -1; i <= n; ++i) {
            const uint8_t* der = nullptr;
            uint32_t len = 0;
            (void)xar_signature_get_x509certificate_data(s, i, &der, &len);
        }
    }
    return 0;
}
