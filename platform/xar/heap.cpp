// Member data in the heap of a XAR archive: the archived bytes are read in
// pieces from the one descriptor, hashed with the archived checksum, decoded
// (none, zlib, bzip2) with the output capped at the member's declared size,
// hashed with the extracted checksum and written to a temporary file that
// replaces the destination only when everything agreed.

#include <bzlib.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/base/fd.h"
#include "platform/xar/archive.h"
#include "platform/xar/xar.h"

bool __xar_t::read_heap(uint64_t off, void* buf, size_t len) const {
    uint64_t end = 0;
    if (__builtin_add_overflow(off, uint64_t(len), &end) || end > heap_size) {
        return false;
    }
    return xar_detail::read_at(fd.get(), heap_start + off, buf, len);
}

namespace xar_detail {
namespace {

struct Sink {
    int fd = -1;
    uint64_t written = 0;
    uint64_t limit = 0;
    EVP_MD_CTX* md = nullptr;
    bool too_big = false;

    bool put(const uint8_t* p, size_t n) {
        uint64_t total = 0;
        if (add_overflows(written, n, &total) || total > limit) {
            too_big = true;
            return false;
        }
        if (EVP_DigestUpdate(md, p, n) != 1) {
            return false;
        }
        if (!base::writeAll(fd, p, n)) {
            return false;
        }
        written = total;
        return true;
    }
};

enum class Encoding { None, Zlib, Bzip2 };

// One compressed stream being decoded: each step takes what it can of the
// input and gives at most `room` bytes.
class Decoder {
  public:
    enum class Step { Error, More, End };
    virtual ~Decoder() = default;
    // Decodes from [*in, *in + *avail) into `out`, moving *in and *avail past
    // what it took; `produced` is what it gave. An empty input drains what
    // the decoder still holds.
    virtual Step step(const uint8_t** in, size_t* avail, uint8_t* out, size_t room,
                      size_t* produced) = 0;
};

// One call of a zlib-style decompressor (zlib's z_stream, bzip2's bz_stream:
// the same four fields under different types) over [*in, *in + *avail).
template <class Stream, class Call>
int run_stream(Stream& s, const uint8_t** in, size_t* avail, uint8_t* out, size_t room,
               size_t* produced, Call call) {
    s.next_in = reinterpret_cast<decltype(s.next_in)>(const_cast<uint8_t*>(*in));
    s.avail_in = static_cast<decltype(s.avail_in)>(*avail);
    s.next_out = reinterpret_cast<decltype(s.next_out)>(out);
    s.avail_out = static_cast<decltype(s.avail_out)>(room);
    const int rc = call(&s);
    *in = reinterpret_cast<const uint8_t*>(s.next_in);
    *avail = s.avail_in;
    *produced = room - s.avail_out;
    return rc;
}

class ZlibDecoder final : public Decoder {
  public:
    ZlibDecoder() { ready_ = inflateInit(&zs_) == Z_OK; }
    ~ZlibDecoder() override {
        if (ready_) {
            inflateEnd(&zs_);
        }
    }
    bool ready() const { return ready_; }
    Step step(const uint8_t** in, size_t* avail, uint8_t* out, size_t room,
              size_t* produced) override {
        const int rc = run_stream(zs_, in, avail, out, room, produced,
                                  [](z_stream* zs) { return inflate(zs, Z_NO_FLUSH); });
        return rc == Z_STREAM_END ? Step::End : rc == Z_OK ? Step::More : Step::Error;
    }

  private:
    z_stream zs_{};
    bool ready_ = false;
};

class Bzip2Decoder final : public Decoder {
  public:
    Bzip2Decoder() { ready_ = BZ2_bzDecompressInit(&bz_, 0, 0) == BZ_OK; }
    ~Bzip2Decoder() override {
        if (ready_) {
            BZ2_bzDecompressEnd(&bz_);
        }
    }
    bool ready() const { return ready_; }
    Step step(const uint8_t** in, size_t* avail, uint8_t* out, size_t room,
              size_t* produced) override {
        const int rc = run_stream(bz_, in, avail, out, room, produced, BZ2_bzDecompress);
        return rc == BZ_STREAM_END ? Step::End : rc == BZ_OK ? Step::More : Step::Error;
    }

  private:
    bz_stream bz_{};
    bool ready_ = false;
};

// Streams the member's archived bytes through the archived-checksum digest, the
// decoder and the sink. Stops as soon as the output passes the sink's limit.
bool decode_member(const __xar_t* x, const DataInfo& d, Encoding enc, EVP_MD_CTX* archived,
                   Sink* sink, std::string* why) {
    std::vector<uint8_t> in(kIoChunk), out(kIoChunk);
    uint64_t left = d.length, pos = d.offset;

    ZlibDecoder zlib_decoder;
    Bzip2Decoder bzip2_decoder;
    Decoder* decoder = nullptr;
    if (enc == Encoding::Zlib) {
        if (!zlib_decoder.ready()) {
            return false;
        }
        decoder = &zlib_decoder;
    } else if (enc == Encoding::Bzip2) {
        if (!bzip2_decoder.ready()) {
            return false;
        }
        decoder = &bzip2_decoder;
    }
    bool ended = false;
    bool ok = true;
    // One step of the decoder into `out`, its output to the sink; a decoder
    // error fails with `corrupt`.
    auto pump = [&](const uint8_t** next, size_t* avail, size_t* produced, const char* corrupt) {
        const Decoder::Step step = decoder->step(next, avail, out.data(), out.size(), produced);
        if (step == Decoder::Step::Error) {
            *why = corrupt;
            ok = false;
            return step;
        }
        ok = sink->put(out.data(), *produced);
        if (step == Decoder::Step::End) {
            ended = true;
        }
        return step;
    };
    while (ok && left > 0) {
        size_t n = left < in.size() ? size_t(left) : in.size();
        if (!x->read_heap(pos, in.data(), n)) {
            *why = "Unable to read the member's data";
            ok = false;
            break;
        }
        pos += n;
        left -= n;
        if (EVP_DigestUpdate(archived, in.data(), n) != 1) {
            ok = false;
            break;
        }
        if (!decoder) {
            ok = sink->put(in.data(), n);
            continue;
        }
        if (ended) {  // bytes after the end of the compressed stream
            *why = "Trailing data after the compressed stream";
            ok = false;
            break;
        }
        const uint8_t* next = in.data();
        size_t avail = n;
        while (ok && avail > 0 && !ended) {
            size_t produced = 0;
            const Decoder::Step step = pump(&next, &avail, &produced, "Corrupt compressed data");
            if (step == Decoder::Step::More && produced != out.size() && avail == 0) {
                break;  // all input taken, output not full: needs more input
            }
        }
        if (ok && ended && avail > 0) {
            *why = "Trailing data after the compressed stream";
            ok = false;
        }
    }
    // Drain what the decoder still holds once all input is in.
    while (ok && decoder && !ended) {
        const uint8_t* next = nullptr;
        size_t avail = 0;
        size_t produced = 0;
        const Decoder::Step step = pump(&next, &avail, &produced, "Truncated compressed data");
        if (step == Decoder::Step::More && produced == 0) {
            *why = "Truncated compressed data";
            ok = false;
        }
    }
    if (sink->too_big) {
        *why = "Member data larger than its declared or allowed size";
    }
    return ok;
}

bool digest_matches(EVP_MD_CTX* ctx, const std::vector<uint8_t>& want) {
    unsigned char got[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (EVP_DigestFinal_ex(ctx, got, &len) != 1) {
        return false;
    }
    return len == want.size() && CRYPTO_memcmp(got, want.data(), len) == 0;
}

// A fresh file next to path, so that the finished member replaces path in one
// rename and a failure leaves nothing at path.
int create_temp_beside(const std::string& path, std::string* tmp) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        uint64_t r = 0;
        if (getrandom(&r, sizeof r, 0) != sizeof r) {
            return -1;
        }
        char suffix[32];
        snprintf(suffix, sizeof suffix, ".xar-%016llx", static_cast<unsigned long long>(r));
        *tmp = path + suffix;
        int fd = open(tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

}  // namespace

int32_t extract(const __xar_t* x, const __xar_file_t* f, const char* path) {
    auto fail = [&](const std::string& why, int err = 0) {
        x->report(XAR_SEVERITY_NONFATAL, XAR_ERR_ARCHIVE_EXTRACTION, why, err);
        return int32_t(-1);
    };
    if (!path || !*path) {
        return fail("No destination path");
    }
    if (f->type && *f->type != "file") {
        return fail("Member is not a regular file");
    }
    static const DataInfo kNoData;
    const bool present = f->data != nullptr;
    const DataInfo& d = present ? *f->data : kNoData;

    Encoding enc = Encoding::None;
    const EVP_MD* amd = nullptr;
    const EVP_MD* emd = nullptr;
    uint64_t limit = kMaxMemberSize;
    if (present) {
        if (!d.has_offset || !d.has_length) {
            return fail("Member data without offset or length");
        }
        uint64_t end = 0;
        if (add_overflows(d.offset, d.length, &end) || end > x->heap_size) {
            return fail("Member data outside the archive");
        }
        if (d.encoding.empty() || d.encoding == "application/octet-stream") {
            enc = Encoding::None;
        } else if (d.encoding == "application/x-gzip") {
            enc = Encoding::Zlib;
        } else if (d.encoding == "application/x-bzip2") {
            enc = Encoding::Bzip2;
        } else {
            return fail("Unsupported member encoding " + d.encoding);
        }
        // Both checksums are required: the archived one ties the heap bytes to
        // the (signed) table of contents, the extracted one the decoded result.
        if (!d.archived_sum || !d.extracted_sum) {
            return fail("Member without checksums");
        }
        amd = digest_for_style(d.archived_style);
        emd = digest_for_style(d.extracted_style);
        if (!amd || !emd) {
            return fail("Unsupported member checksum style");
        }
        if (size_t(EVP_MD_get_size(amd)) != d.archived_sum->size() ||
            size_t(EVP_MD_get_size(emd)) != d.extracted_sum->size()) {
            return fail("Malformed member checksum");
        }
        // The declared size bounds the decoder's output: a member that inflates
        // past it (a decompression bomb) is stopped there. Every archiver writes
        // it; an archive without it is refused rather than trusted up to the cap.
        if (!d.size) {
            return fail("Member data without a declared size");
        }
        if (*d.size > kMaxMemberSize) {
            return fail("Member too large");
        }
        limit = *d.size;
        if (enc == Encoding::None && d.length != limit) {
            return fail("Member size mismatch");
        }
    }

    std::string dest(path), tmp;
    base::UniqueFd fd(create_temp_beside(dest, &tmp));
    if (!fd) {
        return fail("Unable to create the destination file", errno);
    }

    bool ok = true;
    std::string why = "Unable to write the member's data";
    if (present) {
        MdCtx actx(EVP_MD_CTX_new()), ectx(EVP_MD_CTX_new());
        ok = actx && ectx && EVP_DigestInit_ex(actx.get(), amd, nullptr) == 1 &&
             EVP_DigestInit_ex(ectx.get(), emd, nullptr) == 1;
        Sink sink{fd.get(), 0, limit, ectx.get()};
        if (ok) {
            ok = decode_member(x, d, enc, actx.get(), &sink, &why);
        }
        if (ok && sink.written != limit) {
            why = "Member size differs from the declared size";
            ok = false;
        }
        if (ok && !digest_matches(actx.get(), *d.archived_sum)) {
            why = "archived-checksum mismatch";
            ok = false;
        }
        if (ok && !digest_matches(ectx.get(), *d.extracted_sum)) {
            why = "extracted-checksum mismatch";
            ok = false;
        }
    }
    if (!fd.close()) {
        ok = false;
    }
    if (ok && rename(tmp.c_str(), dest.c_str()) != 0) {
        why = "Unable to move the member into place";
        ok = false;
    }
    if (!ok) {
        int e = errno;
        unlink(tmp.c_str());
        return fail(why, e);
    }
    return 0;
}

}  // namespace xar_detail
