// Read-only XAR reader behind libxar's C interface (see xar.h for the contract).
//
// Layout of an archive: a big-endian header (magic "xar!", header size, version,
// compressed and uncompressed table-of-contents lengths, checksum algorithm), the
// zlib-compressed table of contents (XML), then the heap. Every offset in the
// table of contents is relative to the start of the heap.
//
// Nothing read from the file is trusted: lengths and offsets are parsed strictly,
// added with overflow checks and compared with the file's size before any read,
// and every size is capped (archive.h). Reads use pread() on one descriptor,
// never mmap(), so a file that shrinks under us gives a failed read rather than
// a SIGBUS. The table of contents is read by toc.cpp.

#include "platform/xar/xar.h"

#include <bzlib.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xar/archive.h"

// ---- archive objects ----

struct ErrorContext {
    std::string str;
    int err = 0;
};

void __xar_t::report(int32_t severity, int32_t instance, std::string text, int err) const {
    if (!handler)
        return;
    ErrorContext ctx{std::move(text), err};
    handler(severity, instance, &ctx, usrctx);
}

bool __xar_t::read_heap(uint64_t off, void* buf, size_t len) const {
    uint64_t end = 0;
    if (__builtin_add_overflow(off, uint64_t(len), &end) || end > heap_size)
        return false;
    return xar_detail::read_at(fd, heap_start + off, buf, len);
}

namespace {

using namespace xar_detail;

struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

bool add_overflows(uint64_t a, uint64_t b, uint64_t* out) {
    return __builtin_add_overflow(a, b, out);
}

uint64_t be64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = v << 8 | p[i];
    return v;
}
uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
uint16_t be16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

char* dup_string(const std::string& s) {
    char* p = static_cast<char*>(malloc(s.size() + 1));
    if (p)
        memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// The reason the calling thread's last xar_open() failed.
thread_local std::string t_open_error;

void visit(const __xar_file_t* f, std::vector<const __xar_file_t*>* out) {
    out->push_back(f);
    for (const auto& c : f->children)
        visit(c.get(), out);
}

// Opens the archive at path: regular files only, checked before any read. A
// FIFO or device never blocks the caller: the path is opened non-blocking and
// anything but a regular file is refused at once.
int open_regular(const char* path, std::string* why) {
    struct stat st;
    if (stat(path, &st) != 0) {
        *why = std::string("Unable to open the archive: ") + strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "Not a regular file";
        return -1;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *why = std::string("Unable to open the archive: ") + strerror(errno);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *why = "Not a regular file";
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

// The SHA-2 digests that header algorithm 3 ("other") lets the table of
// contents name in its <checksum style>. md5, "none" and unknown names stay
// refused.
const char* const kOtherStyles[] = {"sha224", "sha256", "sha384", "sha512"};

std::unique_ptr<__xar_t> open_archive(const char* file, std::string* why) {
    auto refuse = [why](std::string reason) -> std::unique_ptr<__xar_t> {
        *why = std::move(reason);
        return nullptr;
    };
    auto x = std::make_unique<__xar_t>();
    x->fd = open_regular(file, why);
    if (x->fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(x->fd, &st) != 0)
        return refuse("Unable to read the archive's size");
    if (st.st_size < 28)
        return refuse("Too short for a XAR header");
    x->file_size = uint64_t(st.st_size);

    uint8_t h[28];
    if (!read_at(x->fd, 0, h, sizeof h))
        return refuse("Unable to read the header");
    if (be32(h) != XAR_HEADER_MAGIC)
        return refuse("Not a XAR archive (no \"xar!\" magic)");
    uint64_t hsize = be16(h + 4);
    uint64_t clen = be64(h + 8), ulen = be64(h + 16);
    x->cksum_alg = be32(h + 24);
    if (hsize < 28 || hsize > kMaxHeaderSize)
        return refuse("Header size " + std::to_string(hsize) + " out of range");
    if (clen == 0 || clen > kMaxTocCompressed)
        return refuse("Compressed table-of-contents length " + std::to_string(clen) +
                      " out of range (1 to " + std::to_string(kMaxTocCompressed) + ")");
    if (ulen == 0 || ulen > kMaxTocUncompressed)
        return refuse("Table-of-contents length " + std::to_string(ulen) + " out of range (1 to " +
                      std::to_string(kMaxTocUncompressed) + ")");
    if (add_overflows(hsize, clen, &x->heap_start) || x->heap_start > x->file_size)
        return refuse("The table of contents runs past the end of the file");
    x->heap_size = x->file_size - x->heap_start;

    // The digests the stored checksum may be made with. Algorithm 3 leaves the
    // choice to the table of contents, which is only known once read: every
    // allowed candidate is computed in the same pass, so that the bytes hashed
    // are the bytes parsed.
    std::vector<std::string> styles;
    switch (x->cksum_alg) {
        case XAR_CKSUM_SHA1:
            styles = {"sha1"};
            break;
        case XAR_CKSUM_OTHER:
            styles.assign(std::begin(kOtherStyles), std::end(kOtherStyles));
            break;
        case XAR_CKSUM_SHA512:
            styles = {"sha512"};
            break;
        case XAR_CKSUM_NONE:
            return refuse("Table-of-contents checksum algorithm 0 (none) refused");
        case XAR_CKSUM_MD5:
            return refuse("Table-of-contents checksum algorithm 2 (MD5) refused as unsafe");
        default:
            return refuse("Unknown table-of-contents checksum algorithm " +
                          std::to_string(x->cksum_alg));
    }
    // A header that carries the name itself (algorithm 3 with a longer header,
    // as xar 1.6 writes it: a NUL-terminated name after the 28 bytes) must
    // name what the table of contents names.
    std::string header_name;
    if (x->cksum_alg == XAR_CKSUM_OTHER && hsize > 28) {
        std::vector<uint8_t> ext(size_t(hsize - 28));
        if (!read_at(x->fd, 28, ext.data(), ext.size()))
            return refuse("Unable to read the header");
        if (ext[0] != 0) {
            auto nul = std::find(ext.begin(), ext.end(), uint8_t(0));
            if (nul == ext.end())
                return refuse("The header's checksum name is not terminated");
            header_name.assign(ext.begin(), nul);
        }
    }
    std::vector<const EVP_MD*> mds;
    for (const std::string& s : styles)
        mds.push_back(digest_for_style(s));

    Toc toc;
    std::vector<std::vector<uint8_t>> computed;
    if (!read_toc(x->fd, hsize, clen, ulen, mds, &toc, &computed, why))
        return nullptr;

    // The checksum style must agree with the header: otherwise flipping the
    // header's algorithm would let a modified table of contents pass. Styles
    // are compared exactly, as libxar does.
    if (!toc.checksum)
        return refuse("The table of contents has no <checksum> element");
    const TocChecksum& ck = *toc.checksum;
    size_t which = styles.size();
    for (size_t i = 0; i < styles.size(); ++i)
        if (ck.style == styles[i])
            which = i;
    if (which == styles.size())
        return refuse("The table of contents' checksum style \"" + ck.style +
                      "\" does not agree with the header's algorithm " +
                      std::to_string(x->cksum_alg));
    if (!header_name.empty() && header_name != ck.style)
        return refuse("The header names the checksum \"" + header_name +
                      "\", the table of contents \"" + ck.style + "\"");
    x->cksum_style = ck.style;
    if (!ck.offset && !toc.signatures.empty())
        return refuse("The <checksum> of a signed archive has no offset");
    const std::vector<uint8_t>& sum = computed[which];
    if (ck.size != sum.size())
        return refuse("The <checksum> size " + std::to_string(ck.size) + " is not the " +
                      std::to_string(sum.size()) + " bytes of " + ck.style);
    x->toc_checksum.resize(sum.size());
    if (!x->read_heap(ck.offset.value_or(0), x->toc_checksum.data(), sum.size()))
        return refuse("The stored table-of-contents checksum lies outside the archive");
    if (CRYPTO_memcmp(x->toc_checksum.data(), sum.data(), sum.size()) != 0)
        return refuse("The stored table-of-contents checksum differs from the computed one");

    x->top = std::move(toc.top);
    x->signatures = std::move(toc.signatures);
    for (auto& s : x->signatures)
        s->archive = x.get();
    // libxar prepends each top-level member as it parses, so they come out in
    // the reverse of their order in the table of contents; children keep theirs.
    for (auto it = x->top.rbegin(); it != x->top.rend(); ++it)
        visit(it->get(), &x->order);
    return x;
}

// ---- extraction ----

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
        if (EVP_DigestUpdate(md, p, n) != 1)
            return false;
        while (n > 0) {
            ssize_t w = write(fd, p, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            p += w;
            n -= size_t(w);
        }
        written = total;
        return true;
    }
};

enum class Encoding { None, Zlib, Bzip2 };

// Streams the member's archived bytes through the archived-checksum digest, the
// decoder and the sink. Stops as soon as the output passes the sink's limit.
bool decode_member(const __xar_t* x, const DataInfo& d, Encoding enc, EVP_MD_CTX* archived,
                   Sink* sink, std::string* why) {
    std::vector<uint8_t> in(kIoChunk), out(kIoChunk);
    uint64_t left = d.length, pos = d.offset;

    z_stream zs{};
    bz_stream bz{};
    bool ended = false;
    if (enc == Encoding::Zlib && inflateInit(&zs) != Z_OK)
        return false;
    if (enc == Encoding::Bzip2 && BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK)
        return false;
    bool ok = true;
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
        if (enc == Encoding::None) {
            ok = sink->put(in.data(), n);
            continue;
        }
        if (ended) {  // bytes after the end of the compressed stream
            *why = "Trailing data after the compressed stream";
            ok = false;
            break;
        }
        if (enc == Encoding::Zlib) {
            zs.next_in = in.data();
            zs.avail_in = uInt(n);
            while (ok && zs.avail_in > 0 && !ended) {
                zs.next_out = out.data();
                zs.avail_out = uInt(out.size());
                int rc = inflate(&zs, Z_NO_FLUSH);
                if (rc != Z_OK && rc != Z_STREAM_END) {
                    *why = "Corrupt compressed data";
                    ok = false;
                    break;
                }
                ok = sink->put(out.data(), out.size() - zs.avail_out);
                if (rc == Z_STREAM_END)
                    ended = true;
                if (rc == Z_OK && zs.avail_out != 0 && zs.avail_in == 0)
                    break;
            }
            if (ok && ended && zs.avail_in > 0) {
                *why = "Trailing data after the compressed stream";
                ok = false;
            }
        } else {
            bz.next_in = reinterpret_cast<char*>(in.data());
            bz.avail_in = unsigned(n);
            while (ok && bz.avail_in > 0 && !ended) {
                bz.next_out = reinterpret_cast<char*>(out.data());
                bz.avail_out = unsigned(out.size());
                int rc = BZ2_bzDecompress(&bz);
                if (rc != BZ_OK && rc != BZ_STREAM_END) {
                    *why = "Corrupt compressed data";
                    ok = false;
                    break;
                }
                ok = sink->put(out.data(), out.size() - bz.avail_out);
                if (rc == BZ_STREAM_END)
                    ended = true;
            }
            if (ok && ended && bz.avail_in > 0) {
                *why = "Trailing data after the compressed stream";
                ok = false;
            }
        }
    }
    // Drain what the decoder still holds once all input is in.
    while (ok && enc == Encoding::Zlib && !ended) {
        zs.next_in = nullptr;
        zs.avail_in = 0;
        zs.next_out = out.data();
        zs.avail_out = uInt(out.size());
        int rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) {
            *why = "Truncated compressed data";
            ok = false;
            break;
        }
        size_t produced = out.size() - zs.avail_out;
        ok = sink->put(out.data(), produced);
        if (rc == Z_STREAM_END)
            ended = true;
        else if (produced == 0) {
            *why = "Truncated compressed data";
            ok = false;
        }
    }
    while (ok && enc == Encoding::Bzip2 && !ended) {
        bz.next_in = nullptr;
        bz.avail_in = 0;
        bz.next_out = reinterpret_cast<char*>(out.data());
        bz.avail_out = unsigned(out.size());
        int rc = BZ2_bzDecompress(&bz);
        if (rc != BZ_OK && rc != BZ_STREAM_END) {
            *why = "Truncated compressed data";
            ok = false;
            break;
        }
        size_t produced = out.size() - bz.avail_out;
        ok = sink->put(out.data(), produced);
        if (rc == BZ_STREAM_END)
            ended = true;
        else if (produced == 0) {
            *why = "Truncated compressed data";
            ok = false;
        }
    }
    if (enc == Encoding::Zlib)
        inflateEnd(&zs);
    if (enc == Encoding::Bzip2)
        BZ2_bzDecompressEnd(&bz);
    if (sink->too_big)
        *why = "Member data larger than its declared or allowed size";
    return ok;
}

bool digest_matches(EVP_MD_CTX* ctx, const std::vector<uint8_t>& want) {
    unsigned char got[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (EVP_DigestFinal_ex(ctx, got, &len) != 1)
        return false;
    return len == want.size() && CRYPTO_memcmp(got, want.data(), len) == 0;
}

// A fresh file next to path, so that the finished member replaces path in one
// rename and a failure leaves nothing at path.
int create_temp_beside(const std::string& path, std::string* tmp) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        uint64_t r = 0;
        if (getrandom(&r, sizeof r, 0) != sizeof r)
            return -1;
        char suffix[32];
        snprintf(suffix, sizeof suffix, ".xar-%016llx", static_cast<unsigned long long>(r));
        *tmp = path + suffix;
        int fd = open(tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

int32_t extract(const __xar_t* x, const __xar_file_t* f, const char* path) {
    auto fail = [&](const std::string& why, int err = 0) {
        x->report(XAR_SEVERITY_NONFATAL, XAR_ERR_ARCHIVE_EXTRACTION, why, err);
        return int32_t(-1);
    };
    if (!path || !*path)
        return fail("No destination path");
    if (f->type && *f->type != "file")
        return fail("Member is not a regular file");
    static const DataInfo kNoData;
    const bool present = f->data != nullptr;
    const DataInfo& d = present ? *f->data : kNoData;

    Encoding enc = Encoding::None;
    const EVP_MD* amd = nullptr;
    const EVP_MD* emd = nullptr;
    uint64_t limit = kMaxMemberSize;
    if (present) {
        if (!d.has_offset || !d.has_length)
            return fail("Member data without offset or length");
        uint64_t end = 0;
        if (add_overflows(d.offset, d.length, &end) || end > x->heap_size)
            return fail("Member data outside the archive");
        if (d.encoding.empty() || d.encoding == "application/octet-stream")
            enc = Encoding::None;
        else if (d.encoding == "application/x-gzip")
            enc = Encoding::Zlib;
        else if (d.encoding == "application/x-bzip2")
            enc = Encoding::Bzip2;
        else
            return fail("Unsupported member encoding " + d.encoding);
        // Both checksums are required: the archived one ties the heap bytes to
        // the (signed) table of contents, the extracted one the decoded result.
        if (!d.archived_sum || !d.extracted_sum)
            return fail("Member without checksums");
        amd = digest_for_style(d.archived_style);
        emd = digest_for_style(d.extracted_style);
        if (!amd || !emd)
            return fail("Unsupported member checksum style");
        if (size_t(EVP_MD_get_size(amd)) != d.archived_sum->size() ||
            size_t(EVP_MD_get_size(emd)) != d.extracted_sum->size())
            return fail("Malformed member checksum");
        // The declared size bounds the decoder's output: a member that inflates
        // past it (a decompression bomb) is stopped there. Every archiver writes
        // it; an archive without it is refused rather than trusted up to the cap.
        if (!d.size)
            return fail("Member data without a declared size");
        if (*d.size > kMaxMemberSize)
            return fail("Member too large");
        limit = *d.size;
        if (enc == Encoding::None && d.length != limit)
            return fail("Member size mismatch");
    }

    std::string dest(path), tmp;
    int fd = create_temp_beside(dest, &tmp);
    if (fd < 0)
        return fail("Unable to create the destination file", errno);

    bool ok = true;
    std::string why = "Unable to write the member's data";
    if (present) {
        MdCtx actx(EVP_MD_CTX_new()), ectx(EVP_MD_CTX_new());
        ok = actx && ectx && EVP_DigestInit_ex(actx.get(), amd, nullptr) == 1 &&
             EVP_DigestInit_ex(ectx.get(), emd, nullptr) == 1;
        Sink sink{fd, 0, limit, ectx.get()};
        if (ok)
            ok = decode_member(x, d, enc, actx.get(), &sink, &why);
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
    if (close(fd) != 0)
        ok = false;
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

std::optional<std::string> member_path(const __xar_file_t* f, bool safe) {
    auto piece = [safe](const std::string& n) {
        if (!safe)
            return n;
        std::string s = n;
        for (char& c : s)
            if (c == '/')
                c = ':';
        return s;
    };
    if (!f->name)
        return std::nullopt;
    std::string p = piece(*f->name);
    for (const __xar_file_t* i = f->parent; i; i = i->parent) {
        if (!i->name) {
            // libxar's plain path gives up on an unnamed directory; its safe
            // path leaves the directory out.
            if (!safe)
                return std::nullopt;
            continue;
        }
        p = piece(*i->name) + "/" + p;
    }
    return p;
}

}  // namespace

// ---- the C interface ----

extern "C" {

xar_t xar_open(const char* file, int32_t flags) {
    t_open_error.clear();
    if (!file || flags != READ) {
        t_open_error = !file ? "No path" : "Only reading is supported";
        return nullptr;
    }
    try {
        std::string why;
        auto x = open_archive(file, &why);
        if (!x)
            t_open_error = why.empty() ? "Unreadable archive" : why;
        return x.release();
    } catch (...) {  // allocation failure on a hostile archive
        t_open_error = "Out of memory reading the archive";
        return nullptr;
    }
}

const char* xq_xar_open_error(void) {
    return t_open_error.c_str();
}

const char* xar_opt_get(xar_t x, const char* option) {
    if (!x || !option)
        return nullptr;
    if (std::strcmp(option, XAR_OPT_TOCCKSUM) == 0)
        return x->cksum_style.c_str();
    return nullptr;
}

int xar_close(xar_t x) {
    delete x;
    return 0;
}

void xar_register_errhandler(xar_t x, err_handler callback, void* usrctx) {
    if (!x)
        return;
    auto* m = const_cast<__xar_t*>(x);
    m->handler = callback;
    m->usrctx = usrctx;
}

const char* xar_err_get_string(xar_errctx_t ctx) {
    return ctx ? static_cast<ErrorContext*>(ctx)->str.c_str() : nullptr;
}

int xar_err_get_errno(xar_errctx_t ctx) {
    return ctx ? static_cast<ErrorContext*>(ctx)->err : 0;
}

int32_t xar_get_toc_checksum_type(xar_t x) {
    return x ? int32_t(x->cksum_alg) : XAR_CKSUM_NONE;
}

xar_iter_t xar_iter_new(void) {
    return new (std::nothrow) __xar_iter_t;
}

void xar_iter_free(xar_iter_t i) {
    delete i;
}

xar_file_t xar_file_first(xar_t x, xar_iter_t i) {
    if (!x || !i)
        return nullptr;
    auto* it = const_cast<__xar_iter_t*>(i);
    it->archive = x;
    it->pos = 0;
    return x->order.empty() ? nullptr : x->order[0];
}

xar_file_t xar_file_next(xar_iter_t i) {
    if (!i || !i->archive)
        return nullptr;
    auto* it = const_cast<__xar_iter_t*>(i);
    if (it->pos + 1 >= it->archive->order.size()) {
        it->pos = it->archive->order.size();
        return nullptr;
    }
    return it->archive->order[++it->pos];
}

char* xar_get_path(xar_file_t f) {
    if (!f)
        return nullptr;
    try {
        auto p = member_path(f, false);
        return p ? dup_string(*p) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

char* xar_get_safe_path(xar_file_t f) {
    if (!f)
        return nullptr;
    try {
        auto p = member_path(f, true);
        return p ? dup_string(*p) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

int32_t xar_prop_get(xar_file_t f, const char* key, const char** value) {
    if (!f || !key || !value)
        return -1;
    const std::optional<std::string>* prop = nullptr;
    if (std::strcmp(key, "type") == 0)
        prop = &f->type;
    else if (std::strcmp(key, "name") == 0)
        prop = &f->name;
    if (!prop || !*prop)
        return -1;
    *value = (*prop)->c_str();
    return 0;
}

int32_t xar_extract_tofile(xar_t x, xar_file_t f, const char* path) {
    if (!x || !f)
        return -1;
    try {
        return extract(x, f, path);
    } catch (...) {
        return -1;
    }
}

xar_signature_t xar_signature_first(xar_t x) {
    if (!x || x->signatures.empty())
        return nullptr;
    return x->signatures.front().get();
}

xar_signature_t xar_signature_next(xar_signature_t s) {
    if (!s)
        return nullptr;
    const auto& all = s->archive->signatures;
    for (size_t k = 0; k + 1 < all.size(); ++k)
        if (all[k].get() == s)
            return all[k + 1].get();
    return nullptr;
}

const char* xar_signature_type(xar_signature_t s) {
    return s && s->type ? s->type->c_str() : nullptr;
}

int32_t xar_signature_get_x509certificate_count(xar_signature_t sig) {
    return sig ? int32_t(sig->certs.size()) : 0;
}

int32_t xar_signature_get_x509certificate_data(xar_signature_t sig, int32_t index,
                                               const uint8_t** cert_data, uint32_t* cert_len) {
    if (!sig || index < 0 || size_t(index) >= sig->certs.size()) {
        if (cert_data)
            *cert_data = nullptr;
        return -1;
    }
    const auto& c = sig->certs[size_t(index)];
    if (cert_data)
        *cert_data = c.data();
    if (cert_len)
        *cert_len = uint32_t(c.size());
    return 0;
}

uint8_t xar_signature_copy_signed_data(xar_signature_t sig, uint8_t** data, uint32_t* length,
                                       uint8_t** signed_data, uint32_t* signed_length,
                                       off_t* signed_offset) {
    if (!sig)
        return 1;
    const __xar_t* x = sig->archive;
    uint8_t* sum = nullptr;
    uint8_t* body = nullptr;
    if (length && data) {
        sum = static_cast<uint8_t*>(malloc(x->toc_checksum.size()));
        if (!sum)
            return 1;
        memcpy(sum, x->toc_checksum.data(), x->toc_checksum.size());
    }
    if (signed_length && signed_data) {
        if (sig->size == 0 || sig->size > kMaxSignatureSize ||
            !(body = static_cast<uint8_t*>(malloc(size_t(sig->size)))) ||
            !x->read_heap(sig->offset, body, size_t(sig->size))) {
            free(sum);
            free(body);
            x->report(XAR_SEVERITY_NONFATAL, XAR_ERR_ARCHIVE_EXTRACTION,
                      "Unable to read the signature");
            return 1;
        }
    }
    if (length)
        *length = uint32_t(x->toc_checksum.size());
    if (data && length)
        *data = sum;
    if (signed_length)
        *signed_length = uint32_t(sig->size);
    if (signed_data && signed_length)
        *signed_data = body;
    if (signed_offset)
        *signed_offset = off_t(sig->offset);
    return 0;
}

}  // extern "C"
