// Member data in the heap of a XAR archive: the archived bytes are read in
// pieces from the one descriptor, hashed with the archived checksum, decoded
// (none, zlib, bzip2) with the output capped at the member's declared size,
// hashed with the extracted checksum and either written to a temporary file
// that replaces the destination only when everything agreed, or gathered in
// a buffer handed out only then. Both ways share every check.

#include <bzlib.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
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

// Where a member's decoded bytes go: a file or a buffer. Either way they are
// hashed with the extracted checksum and capped at the declared size.
class Sink {
  public:
    Sink(uint64_t limit, EVP_MD_CTX* md) : limit_(limit), md_(md) {}
    virtual ~Sink() = default;
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    bool put(const uint8_t* p, size_t n) {
        uint64_t total = 0;
        if (add_overflows(written_, n, &total) || total > limit_) {
            too_big_ = true;
            return false;
        }
        if (EVP_DigestUpdate(md_, p, n) != 1 || !store(p, n)) {
            return false;
        }
        written_ = total;
        return true;
    }
    uint64_t written() const { return written_; }
    uint64_t limit() const { return limit_; }
    bool too_big() const { return too_big_; }

  private:
    virtual bool store(const uint8_t* p, size_t n) = 0;

    uint64_t written_ = 0;
    uint64_t limit_;
    EVP_MD_CTX* md_;
    bool too_big_ = false;
};

class FileSink final : public Sink {
  public:
    FileSink(int fd, uint64_t limit, EVP_MD_CTX* md) : Sink(limit, md), fd_(fd) {}

  private:
    bool store(const uint8_t* p, size_t n) override { return base::writeAll(fd_, p, n); }
    int fd_;
};

// Grows a malloc()ed block as the bytes come: the declared size is not
// trusted for an allocation up front.
class MemorySink final : public Sink {
  public:
    MemorySink(uint64_t limit, EVP_MD_CTX* md) : Sink(limit, md) {}
    // The bytes so far, handed to the caller (malloc()ed; never null).
    char* release(size_t* size) {
        if (!block_ && !grow(1)) {
            return nullptr;
        }
        *size = used_;
        return block_.release();
    }

  private:
    struct Free {
        void operator()(char* p) const { free(p); }
    };

    bool grow(size_t need) {
        size_t cap = cap_ == 0 ? 4096 : cap_;
        while (cap < need) {
            cap *= 2;
        }
        auto* bigger = static_cast<char*>(realloc(block_.get(), cap));
        if (!bigger) {
            return false;
        }
        (void)block_.release();
        block_.reset(bigger);
        cap_ = cap;
        return true;
    }
    bool store(const uint8_t* p, size_t n) override {
        if (n == 0) {
            return true;
        }
        if (n > cap_ - used_ && !grow(used_ + n)) {
            return false;
        }
        memcpy(block_.get() + used_, p, n);
        used_ += n;
        return true;
    }

    std::unique_ptr<char, Free> block_;
    size_t used_ = 0, cap_ = 0;
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
    // Buffers no larger than the member needs, left uninitialised: most
    // members are far smaller than a chunk, and zeroing or mapping a chunk
    // per member would cost more than reading them.
    const size_t in_size = size_t(std::min<uint64_t>(d.length, kIoChunk));
    const size_t out_size =
        enc == Encoding::None ? 0 : size_t(std::clamp<uint64_t>(sink->limit(), 4096, kDecodeChunk));
    const auto in = std::make_unique_for_overwrite<uint8_t[]>(in_size);
    const auto out = std::make_unique_for_overwrite<uint8_t[]>(out_size);
    uint64_t left = d.length, pos = d.offset;

    // Only the decoder the member needs is set up (bzip2's state alone is
    // tens of KiB).
    std::optional<ZlibDecoder> zlib_decoder;
    std::optional<Bzip2Decoder> bzip2_decoder;
    Decoder* decoder = nullptr;
    if (enc == Encoding::Zlib) {
        if (!zlib_decoder.emplace().ready()) {
            return false;
        }
        decoder = &*zlib_decoder;
    } else if (enc == Encoding::Bzip2) {
        if (!bzip2_decoder.emplace().ready()) {
            return false;
        }
        decoder = &*bzip2_decoder;
    }
    bool ended = false;
    bool ok = true;
    // One step of the decoder into `out`, its output to the sink; a decoder
    // error fails with `corrupt`.
    auto pump = [&](const uint8_t** next, size_t* avail, size_t* produced, const char* corrupt) {
        const Decoder::Step step = decoder->step(next, avail, out.get(), out_size, produced);
        if (step == Decoder::Step::Error) {
            *why = corrupt;
            ok = false;
            return step;
        }
        ok = sink->put(out.get(), *produced);
        if (step == Decoder::Step::End) {
            ended = true;
        }
        return step;
    };
    while (ok && left > 0) {
        size_t n = left < in_size ? size_t(left) : in_size;
        if (!x->read_heap(pos, in.get(), n)) {
            *why = "Unable to read the member's data";
            ok = false;
            break;
        }
        pos += n;
        left -= n;
        if (EVP_DigestUpdate(archived, in.get(), n) != 1) {
            ok = false;
            break;
        }
        if (!decoder) {
            ok = sink->put(in.get(), n);
            continue;
        }
        if (ended) {  // bytes after the end of the compressed stream
            *why = "Trailing data after the compressed stream";
            ok = false;
            break;
        }
        const uint8_t* next = in.get();
        size_t avail = n;
        while (ok && avail > 0 && !ended) {
            size_t produced = 0;
            const Decoder::Step step = pump(&next, &avail, &produced, "Corrupt compressed data");
            if (step == Decoder::Step::More && produced != out_size && avail == 0) {
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
    if (sink->too_big()) {
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

// How one member's data is to be read: checked against the archive before
// anything is created.
struct MemberPlan {
    const DataInfo* data = nullptr;  // null: no <data>, an empty member
    Encoding enc = Encoding::None;
    const EVP_MD* archived = nullptr;
    const EVP_MD* extracted = nullptr;
    uint64_t limit = 0;  // the declared size
};

// Nothing when member `f` of `x` can be read (`plan` then says how), else why
// not. `cap` is the largest declared size accepted.
std::optional<std::string> plan_member(const __xar_t* x, const __xar_file_t* f, uint64_t cap,
                                       MemberPlan* plan) {
    if (f->type && *f->type != "file") {
        return "Member is not a regular file";
    }
    *plan = MemberPlan{};
    if (!f->data) {
        return std::nullopt;
    }
    const DataInfo& d = *f->data;
    plan->data = &d;
    if (!d.has_offset || !d.has_length) {
        return "Member data without offset or length";
    }
    uint64_t end = 0;
    if (add_overflows(d.offset, d.length, &end) || end > x->heap_size) {
        return "Member data outside the archive";
    }
    if (d.encoding.empty() || d.encoding == "application/octet-stream") {
        plan->enc = Encoding::None;
    } else if (d.encoding == "application/x-gzip") {
        plan->enc = Encoding::Zlib;
    } else if (d.encoding == "application/x-bzip2") {
        plan->enc = Encoding::Bzip2;
    } else {
        return "Unsupported member encoding " + d.encoding;
    }
    // Both checksums are required: the archived one ties the heap bytes to
    // the (signed) table of contents, the extracted one the decoded result.
    if (!d.archived_sum || !d.extracted_sum) {
        return "Member without checksums";
    }
    plan->archived = digest_for_style(d.archived_style);
    plan->extracted = digest_for_style(d.extracted_style);
    if (!plan->archived || !plan->extracted) {
        return "Unsupported member checksum style";
    }
    if (size_t(EVP_MD_get_size(plan->archived)) != d.archived_sum->size() ||
        size_t(EVP_MD_get_size(plan->extracted)) != d.extracted_sum->size()) {
        return "Malformed member checksum";
    }
    // The declared size bounds the decoder's output: a member that inflates
    // past it (a decompression bomb) is stopped there. Every archiver writes
    // it; an archive without it is refused rather than trusted up to the cap.
    if (!d.size) {
        return "Member data without a declared size";
    }
    if (*d.size > cap) {
        return "Member too large";
    }
    plan->limit = *d.size;
    if (plan->enc == Encoding::None && d.length != plan->limit) {
        return "Member size mismatch";
    }
    return std::nullopt;
}

// Reads the planned member into `sink`, checking its size and both checksums.
// False with the reason in `why`.
bool read_member(const __xar_t* x, const MemberPlan& plan, Sink* sink, EVP_MD_CTX* extracted,
                 std::string* why) {
    if (!plan.data) {
        return true;
    }
    const DataInfo& d = *plan.data;
    const MdCtx archived(EVP_MD_CTX_new());
    if (!archived || EVP_DigestInit_ex(archived.get(), plan.archived, nullptr) != 1 ||
        !decode_member(x, d, plan.enc, archived.get(), sink, why)) {
        return false;
    }
    if (sink->written() != plan.limit) {
        *why = "Member size differs from the declared size";
        return false;
    }
    if (!digest_matches(archived.get(), *d.archived_sum)) {
        *why = "archived-checksum mismatch";
        return false;
    }
    if (!digest_matches(extracted, *d.extracted_sum)) {
        *why = "extracted-checksum mismatch";
        return false;
    }
    return true;
}

// A digest context for the extracted checksum of `plan` (none for a member
// without data).
MdCtx extracted_digest(const MemberPlan& plan) {
    MdCtx ctx(EVP_MD_CTX_new());
    if (ctx && plan.data && EVP_DigestInit_ex(ctx.get(), plan.extracted, nullptr) != 1) {
        ctx.reset();
    }
    return ctx;
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
    MemberPlan plan;
    if (auto refused = plan_member(x, f, kMaxMemberSize, &plan)) {
        return fail(*refused);
    }

    std::string dest(path), tmp;
    base::UniqueFd fd(create_temp_beside(dest, &tmp));
    if (!fd) {
        return fail("Unable to create the destination file", errno);
    }
    std::string why = "Unable to write the member's data";
    const MdCtx ectx = extracted_digest(plan);
    FileSink sink(fd.get(), plan.limit, ectx.get());
    bool ok = ectx && read_member(x, plan, &sink, ectx.get(), &why);
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

int32_t extract_to_memory(const __xar_t* x, const __xar_file_t* f, char** buffer, size_t* size) {
    auto fail = [&](const std::string& why) {
        x->report(XAR_SEVERITY_NONFATAL, XAR_ERR_ARCHIVE_EXTRACTION, why);
        return int32_t(-1);
    };
    if (!buffer || !size) {
        return fail("No buffer to extract to");
    }
    MemberPlan plan;
    if (auto refused = plan_member(x, f, kMaxBufferedMember, &plan)) {
        return fail(*refused);
    }
    std::string why = "Out of memory for the member's data";
    const MdCtx ectx = extracted_digest(plan);
    MemorySink sink(plan.limit, ectx.get());
    if (!ectx || !read_member(x, plan, &sink, ectx.get(), &why)) {
        return fail(why);
    }
    char* block = sink.release(size);
    if (!block) {
        return fail(why);
    }
    *buffer = block;
    return 0;
}

}  // namespace xar_detail
