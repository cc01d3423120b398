// What the XAR fuzz targets share: turning a fuzz input into an archive, and
// handing it to the reader, which takes a path, as an in-memory file.
#pragma once

#include <openssl/sha.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/base/fd.h"
#include "platform/xar/xar.h"

namespace xarfuzz {

// Appends `v` as `n` big-endian bytes.
inline uint8_t* put_be(uint8_t* p, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) {
        *p++ = uint8_t(v >> (8 * i));
    }
    return p;
}

// Most mutations of a whole archive only break its table-of-contents checksum.
// Inputs that start with 'T' are "T<toc xml>\0<heap after the checksum>": the
// harness compresses the XML and stores its SHA-1 at heap offset 0, so that the
// fuzzer reaches the table of contents' meaning and the members' data.
// The XML goes into a zlib stream of stored blocks: the reader inflates it as
// any other, and the harness spends nothing on compressing (deflate's
// Huffman trees cost more than the rest of the reader's open for the small
// tables of contents the fuzzer makes). Returns the archive in `out`, which
// is reused from input to input.
inline void assemble(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    const auto* nul = static_cast<const uint8_t*>(memchr(data + 1, 0, size - 1));
    const uint8_t* xml = data + 1;
    const size_t xml_len = nul ? size_t(nul - xml) : size - 1;
    const size_t tail = nul ? size_t(data + size - nul - 1) : 0;
    constexpr size_t kBlock = 65535;  // a stored block's most
    const size_t blocks = xml_len == 0 ? 1 : (xml_len + kBlock - 1) / kBlock;
    const size_t zlen = 2 + 5 * blocks + xml_len + 4;
    out.resize(28 + zlen + SHA_DIGEST_LENGTH + tail);

    uint8_t* p = out.data();
    p = put_be(p, 0x78617221, 4);
    p = put_be(p, 28, 2);
    p = put_be(p, 1, 2);
    p = put_be(p, zlen, 8);
    p = put_be(p, xml_len, 8);
    p = put_be(p, 1, 4);
    uint8_t* const z = p;
    *p++ = 0x78;  // deflate, 32 KiB window
    *p++ = 0x01;  // no preset dictionary; the header's check bits
    size_t at = 0;
    for (size_t b = 0; b < blocks; ++b) {
        const size_t n = xml_len - at < kBlock ? xml_len - at : kBlock;
        *p++ = b + 1 == blocks ? 1 : 0;  // final bit, type 0 (stored)
        *p++ = uint8_t(n);
        *p++ = uint8_t(n >> 8);
        *p++ = uint8_t(~n);
        *p++ = uint8_t(~n >> 8);
        memcpy(p, xml + at, n);
        p += n;
        at += n;
    }
    p = put_be(p, adler32(adler32(0, nullptr, 0), xml, uInt(xml_len)), 4);
    SHA1(z, zlen, p);
    p += SHA_DIGEST_LENGTH;
    if (tail != 0) {
        memcpy(p, nul + 1, tail);
    }
}

inline int32_t ignore_errors(int32_t /*severity*/, int32_t /*instance*/, xar_errctx_t ctx,
                             void* /*usrctx*/) {
    (void)xar_err_get_string(ctx);
    (void)xar_err_get_errno(ctx);
    return 0;
}

// The input as an open archive (null when the reader refuses it, which must
// then say why). One in-memory file serves every input of the process, so at
// most one Input may exist at a time; it holds the archive until the Input
// goes.
class Input {
  public:
    Input(const uint8_t* raw, size_t raw_size) {
        static Scratch scratch;
        const uint8_t* data = raw;
        size_t size = raw_size;
        if (raw_size > 1 && raw[0] == 'T') {
            assemble(raw, raw_size, scratch.built);
            data = scratch.built.data();
            size = scratch.built.size();
        }
        // The file is rewritten in place and cut to the new size: creating
        // one per input costs more than the rest of a small archive's open.
        if (!scratch.fd || ftruncate(scratch.fd.get(), off_t(size)) != 0 ||
            !base::writeAllAt(scratch.fd.get(), data, size, 0)) {
            return;
        }
        x_ = xar_open(scratch.path.c_str(), READ);
        if (x_) {
            xar_register_errhandler(x_, ignore_errors, nullptr);
        } else if (*xq_xar_open_error() == '\0') {
            abort();  // every refusal gives its reason
        }
    }
    ~Input() {
        if (x_) {
            xar_close(x_);
        }
    }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    xar_t archive() const { return x_; }

  private:
    struct Scratch {
        base::UniqueFd fd{memfd_create("xar-fuzz", MFD_CLOEXEC)};
        std::string path = "/proc/self/fd/" + std::to_string(fd.get());
        std::vector<uint8_t> built;  // the archive made from a 'T' input
    };
    xar_t x_ = nullptr;
};

}  // namespace xarfuzz
