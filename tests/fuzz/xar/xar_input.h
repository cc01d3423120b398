// What the XAR fuzz targets share: turning a fuzz input into an archive, and
// handing it to the reader, which takes a path, as an in-memory file.
#pragma once

#include <openssl/sha.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/base/fd.h"
#include "platform/xar/xar.h"

namespace xarfuzz {

// Most mutations of a whole archive only break its table-of-contents checksum.
// Inputs that start with 'T' are "T<toc xml>\0<heap after the checksum>": the
// harness compresses the XML and stores its SHA-1 at heap offset 0, so that the
// fuzzer reaches the table of contents' meaning and the members' data.
inline std::vector<uint8_t> assemble(const uint8_t* data, size_t size) {
    const auto* nul = static_cast<const uint8_t*>(memchr(data + 1, 0, size - 1));
    const size_t xml_len = nul ? size_t(nul - data - 1) : size - 1;
    // A small window and hash: zlib's defaults allocate and clear a quarter
    // of a MiB per input, more than the rest of the harness costs.
    z_stream zs{};
    if (deflateInit2(&zs, 1, Z_DEFLATED, 9, 1, Z_DEFAULT_STRATEGY) != Z_OK) {
        return {};
    }
    std::vector<uint8_t> z(deflateBound(&zs, uLong(xml_len)));
    zs.next_in = const_cast<Bytef*>(data + 1);
    zs.avail_in = uInt(xml_len);
    zs.next_out = z.data();
    zs.avail_out = uInt(z.size());
    const int rc = deflate(&zs, Z_FINISH);
    z.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) {
        return {};
    }
    std::vector<uint8_t> out;
    auto be = [&out](uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i) {
            out.push_back(uint8_t(v >> (8 * i)));
        }
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
    if (nul) {
        out.insert(out.end(), nul + 1, data + size);
    }
    return out;
}

inline int32_t ignore_errors(int32_t /*severity*/, int32_t /*instance*/, xar_errctx_t ctx,
                             void* /*usrctx*/) {
    (void)xar_err_get_string(ctx);
    (void)xar_err_get_errno(ctx);
    return 0;
}

// The input as an open archive (null when the reader refuses it, which must
// then say why). The in-memory file lives as long as this object.
class Input {
  public:
    Input(const uint8_t* raw, size_t raw_size) {
        std::vector<uint8_t> built;
        const uint8_t* data = raw;
        size_t size = raw_size;
        if (raw_size > 1 && raw[0] == 'T') {
            built = assemble(raw, raw_size);
            data = built.data();
            size = built.size();
        }
        fd_.reset(memfd_create("xar-fuzz", MFD_CLOEXEC));
        if (!fd_ || !base::writeAll(fd_.get(), data, size)) {
            return;
        }
        const std::string path = "/proc/self/fd/" + std::to_string(fd_.get());
        x_ = xar_open(path.c_str(), READ);
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
    base::UniqueFd fd_;
    xar_t x_ = nullptr;
};

}  // namespace xarfuzz
