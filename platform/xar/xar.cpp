// Read-only XAR reader behind libxar's C interface (see xar.h for the contract).
//
// Layout of an archive: a big-endian header (magic "xar!", header size, version,
// compressed and uncompressed table-of-contents lengths, checksum algorithm), the
// zlib-compressed table of contents (XML), then the heap. Every offset in the
// table of contents is relative to the start of the heap.
//
// Nothing read from the file is trusted: lengths and offsets are parsed strictly,
// added with overflow checks and compared with the file's size before any read,
// and every size is capped. Reads use pread() on one descriptor, never mmap(), so
// a file that shrinks under us gives a failed read rather than a SIGBUS.

#include "platform/xar/xar.h"

#include <bzlib.h>
#include <expat.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Caps. Real installer packages have tables of contents of a few tens of KiB,
// a handful of members and three certificates per signature entry.
constexpr uint64_t kMaxHeaderSize = 4096;
constexpr uint64_t kMaxTocCompressed = 16u << 20;
constexpr uint64_t kMaxTocUncompressed = 16u << 20;
constexpr size_t kMaxXmlNodes = 200000;
constexpr size_t kMaxXmlDepth = 128;
constexpr size_t kMaxMembers = 100000;
constexpr size_t kMaxSignatures = 16;
constexpr size_t kMaxCertificates = 16;
constexpr uint64_t kMaxSignatureSize = 1u << 20;
// Largest member this reader will write out (decompressed): well above any
// installer payload the helper handles, well below what would fill a disk.
constexpr uint64_t kMaxMemberSize = 4ull << 30;
constexpr size_t kIoChunk = 256 * 1024;

// ---- small checked helpers ----

bool add_overflows(uint64_t a, uint64_t b, uint64_t* out) {
    return __builtin_add_overflow(a, b, out);
}

// Strict decimal: optional surrounding XML whitespace, at least one digit, no
// sign, no overflow.
std::optional<uint64_t> parse_u64(std::string_view s) {
    auto is_ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && is_ws(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_ws(s.back()))
        s.remove_suffix(1);
    if (s.empty() || s.size() > 20)
        return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return std::nullopt;
        if (__builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, uint64_t(c - '0'), &v))
            return std::nullopt;
    }
    return v;
}

std::optional<std::vector<uint8_t>> parse_hex(std::string_view s) {
    auto is_ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && is_ws(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_ws(s.back()))
        s.remove_suffix(1);
    if (s.empty() || s.size() % 2 != 0 || s.size() > 256)
        return std::nullopt;
    auto nib = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::vector<uint8_t> out;
    out.reserve(s.size() / 2);
    for (size_t i = 0; i < s.size(); i += 2) {
        int hi = nib(s[i]), lo = nib(s[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out.push_back(uint8_t(hi << 4 | lo));
    }
    return out;
}

// Base64 as stored in <X509Certificate>: line breaks and blanks allowed,
// padding only at the end.
std::optional<std::vector<uint8_t>> parse_base64(std::string_view s) {
    auto val = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    std::vector<uint8_t> out;
    out.reserve(s.size() * 3 / 4);
    uint32_t acc = 0;
    int bits = 0;
    size_t pad = 0, symbols = 0;
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
            continue;
        if (c == '=') {
            ++pad;
            ++symbols;
            continue;
        }
        if (pad != 0)
            return std::nullopt;  // data after padding
        int v = val(c);
        if (v < 0)
            return std::nullopt;
        ++symbols;
        acc = (acc << 6) | uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(uint8_t(acc >> bits));
            acc &= (1u << bits) - 1;
        }
    }
    if (symbols % 4 != 0 || pad > 2 || out.empty())
        return std::nullopt;
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

const EVP_MD* digest_for_style(std::string_view style) {
    if (iequals(style, "sha1"))
        return EVP_sha1();
    if (iequals(style, "sha256"))
        return EVP_sha256();
    if (iequals(style, "sha512"))
        return EVP_sha512();
    return nullptr;  // md5 and "none" are refused, as unsafe
}

struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// ---- XML tree of the table of contents ----

struct Node {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attrs;
    std::string text;  // character data directly inside this element
    std::vector<std::unique_ptr<Node>> children;

    const char* attr(std::string_view key) const {
        for (const auto& [k, v] : attrs)
            if (k == key)
                return v.c_str();
        return nullptr;
    }
    // libxar keeps properties in a list it prepends to, so the last element of
    // a name is the one its lookups find.
    const Node* last_child(std::string_view child) const {
        const Node* found = nullptr;
        for (const auto& c : children)
            if (c->name == child)
                found = c.get();
        return found;
    }
};

struct XmlBuilder {
    XML_Parser parser = nullptr;
    std::unique_ptr<Node> root;
    std::vector<Node*> stack;
    size_t nodes = 0;
    bool failed = false;

    void fail() {
        failed = true;
        XML_StopParser(parser, XML_FALSE);
    }

    static void on_start(void* ud, const XML_Char* name, const XML_Char** atts) {
        auto* b = static_cast<XmlBuilder*>(ud);
        if (b->failed)
            return;
        if (++b->nodes > kMaxXmlNodes || b->stack.size() >= kMaxXmlDepth ||
            (b->stack.empty() && b->root)) {
            b->fail();
            return;
        }
        auto n = std::make_unique<Node>();
        n->name = name;
        for (size_t i = 0; atts[i] && atts[i + 1]; i += 2)
            n->attrs.emplace_back(atts[i], atts[i + 1]);
        Node* raw = n.get();
        if (b->stack.empty())
            b->root = std::move(n);
        else
            b->stack.back()->children.push_back(std::move(n));
        b->stack.push_back(raw);
    }
    static void on_end(void* ud, const XML_Char*) {
        auto* b = static_cast<XmlBuilder*>(ud);
        if (b->failed || b->stack.empty())
            return;
        b->stack.pop_back();
    }
    static void on_text(void* ud, const XML_Char* s, int len) {
        auto* b = static_cast<XmlBuilder*>(ud);
        if (b->failed || b->stack.empty() || len <= 0)
            return;
        b->stack.back()->text.append(s, size_t(len));
    }
    // A table of contents has no document type declaration; refusing one keeps
    // entity definitions (and their expansion) out entirely.
    static void on_doctype(void* ud, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        static_cast<XmlBuilder*>(ud)->fail();
    }
    static void on_entity_decl(void* ud, const XML_Char*, int, const XML_Char*, int,
                               const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
        static_cast<XmlBuilder*>(ud)->fail();
    }
};

std::unique_ptr<Node> parse_xml(const std::string& doc) {
    XmlBuilder b;
    b.parser = XML_ParserCreate(nullptr);  // no namespace processing
    if (!b.parser)
        return nullptr;
    XML_SetUserData(b.parser, &b);
    XML_SetElementHandler(b.parser, XmlBuilder::on_start, XmlBuilder::on_end);
    XML_SetCharacterDataHandler(b.parser, XmlBuilder::on_text);
    XML_SetStartDoctypeDeclHandler(b.parser, XmlBuilder::on_doctype);
    XML_SetEntityDeclHandler(b.parser, XmlBuilder::on_entity_decl);
    XML_SetParamEntityParsing(b.parser, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_Status st = XML_STATUS_OK;
    if (doc.size() > size_t(INT32_MAX)) {
        st = XML_STATUS_ERROR;
    } else {
        st = XML_Parse(b.parser, doc.data(), int(doc.size()), XML_TRUE);
    }
    XML_ParserFree(b.parser);
    if (st != XML_STATUS_OK || b.failed || !b.root || !b.stack.empty())
        return nullptr;
    return std::move(b.root);
}

}  // namespace

// ---- archive objects (the opaque types of xar.h) ----

struct ErrorContext {
    std::string str;
    int err = 0;
};

struct DataInfo {
    bool present = false;
    uint64_t offset = 0, length = 0;
    bool has_offset = false, has_length = false;
    std::optional<uint64_t> size;
    std::string encoding;  // style attribute of <encoding>, may be empty
    std::string archived_style, extracted_style;
    std::optional<std::vector<uint8_t>> archived_sum, extracted_sum;
};

struct __xar_file_t {
    __xar_file_t* parent = nullptr;
    std::optional<std::string> name;
    std::optional<std::string> type;
    DataInfo data;
    std::vector<std::unique_ptr<__xar_file_t>> children;
};

struct __xar_signature_t {
    const __xar_t* archive = nullptr;
    std::optional<std::string> type;
    uint64_t offset = 0, size = 0;
    std::vector<std::vector<uint8_t>> certs;
};

struct __xar_iter_t {
    const __xar_t* archive = nullptr;
    size_t pos = 0;
};

struct __xar_t {
    int fd = -1;
    uint64_t file_size = 0;
    uint64_t heap_start = 0;
    uint64_t heap_size = 0;
    uint32_t cksum_alg = 0;
    std::vector<uint8_t> toc_checksum;               // stored == computed, checked at open
    std::vector<std::unique_ptr<__xar_file_t>> top;  // document order
    std::vector<const __xar_file_t*> order;          // iteration order
    std::vector<std::unique_ptr<__xar_signature_t>> signatures;
    err_handler handler = nullptr;
    void* usrctx = nullptr;

    ~__xar_t() {
        if (fd >= 0)
            close(fd);
    }

    // Reports a failure to the registered handler, if any.
    void report(int32_t severity, int32_t instance, std::string text, int err = 0) const {
        if (!handler)
            return;
        ErrorContext ctx{std::move(text), err};
        handler(severity, instance, &ctx, usrctx);
    }

    // Reads exactly len bytes at heap offset off; false when the range leaves the
    // heap or the read comes up short.
    bool read_heap(uint64_t off, void* buf, size_t len) const {
        uint64_t end = 0;
        if (add_overflows(off, len, &end) || end > heap_size)
            return false;
        uint64_t pos = heap_start + off;
        auto* p = static_cast<uint8_t*>(buf);
        while (len > 0) {
            ssize_t r = pread(fd, p, len, off_t(pos));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            p += r;
            len -= size_t(r);
            pos += uint64_t(r);
        }
        return true;
    }
};

namespace {

bool read_at(int fd, uint64_t pos, void* buf, size_t len) {
    auto* p = static_cast<uint8_t*>(buf);
    while (len > 0) {
        ssize_t r = pread(fd, p, len, off_t(pos));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        len -= size_t(r);
        pos += uint64_t(r);
    }
    return true;
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

// Reads the compressed table of contents, hashing it as stored, and inflates it.
bool read_toc(int fd, uint64_t pos, uint64_t clen, uint64_t ulen, const EVP_MD* md,
              std::string* xml, std::vector<uint8_t>* digest) {
    std::vector<uint8_t> comp(clen);
    if (!read_at(fd, pos, comp.data(), comp.size()))
        return false;

    MdCtx ctx(EVP_MD_CTX_new());
    unsigned dlen = 0;
    digest->resize(EVP_MAX_MD_SIZE);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), comp.data(), comp.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest->data(), &dlen) != 1)
        return false;
    digest->resize(dlen);

    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        return false;
    xml->assign(ulen, '\0');
    zs.next_in = comp.data();
    zs.avail_in = uInt(comp.size());
    zs.next_out = reinterpret_cast<Bytef*>(xml->data());
    zs.avail_out = uInt(xml->size());
    int rc = inflate(&zs, Z_FINISH);
    bool ok = rc == Z_STREAM_END && zs.avail_in == 0 && zs.total_out == ulen;
    inflateEnd(&zs);
    return ok;
}

bool names_clash(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    return a && b && iequals(*a, *b);
}

// Reads the number held by child `name` of `d`, when there is one, into `out`
// and sets *present. False when the child is there but holds no valid number.
bool read_number(const Node& d, const char* name, uint64_t& out, bool* present) {
    const Node* x = d.last_child(name);
    if (!x)
        return true;
    auto v = parse_u64(x->text);
    if (!v)
        return false;
    out = *v;
    *present = true;
    return true;
}

// Reads a checksum element (its style attribute and hex digest), when there is
// one. False when the digest is not valid hex.
bool read_checksum(const Node& d, const char* name, std::string& style,
                   std::optional<std::vector<uint8_t>>& sum) {
    const Node* x = d.last_child(name);
    if (!x)
        return true;
    if (const char* s = x->attr("style"))
        style = s;
    sum = parse_hex(x->text);
    return sum.has_value();
}

// Builds one <file> element (and its subtree). Fails on a malformed member.
std::unique_ptr<__xar_file_t> build_file(const Node& n, __xar_file_t* parent, size_t* count) {
    if (++*count > kMaxMembers)
        return nullptr;
    auto f = std::make_unique<__xar_file_t>();
    f->parent = parent;
    if (const Node* nm = n.last_child("name"))
        f->name = nm->text;
    if (const Node* ty = n.last_child("type"))
        f->type = ty->text;
    if (const Node* d = n.last_child("data")) {
        DataInfo& di = f->data;
        di.present = true;
        if (!read_number(*d, "offset", di.offset, &di.has_offset) ||
            !read_number(*d, "length", di.length, &di.has_length))
            return nullptr;
        uint64_t size = 0;
        bool has_size = false;
        if (!read_number(*d, "size", size, &has_size))
            return nullptr;
        if (has_size)
            di.size = size;
        if (const Node* x = d->last_child("encoding")) {
            if (const char* s = x->attr("style"))
                di.encoding = s;
        }
        if (!read_checksum(*d, "archived-checksum", di.archived_style, di.archived_sum) ||
            !read_checksum(*d, "extracted-checksum", di.extracted_style, di.extracted_sum))
            return nullptr;
    }
    for (const auto& c : n.children) {
        if (c->name != "file")
            continue;
        auto child = build_file(*c, f.get(), count);
        if (!child)
            return nullptr;
        // libxar refuses a second member of the same name (ignoring case) in one
        // directory unless the two are identical; here any such pair is refused.
        for (const auto& sib : f->children)
            if (names_clash(sib->name, child->name))
                return nullptr;
        f->children.push_back(std::move(child));
    }
    return f;
}

std::unique_ptr<__xar_signature_t> build_signature(const Node& n, const __xar_t* x) {
    auto s = std::make_unique<__xar_signature_t>();
    s->archive = x;
    if (const char* st = n.attr("style"))
        s->type = st;
    if (const Node* o = n.last_child("offset")) {
        auto v = parse_u64(o->text);
        if (!v)
            return nullptr;
        s->offset = *v;
    }
    if (const Node* o = n.last_child("size")) {
        auto v = parse_u64(o->text);
        if (!v)
            return nullptr;
        s->size = *v;
    }
    for (const auto& ki : n.children) {
        if (ki->name != "KeyInfo")
            continue;
        for (const auto& xd : ki->children) {
            if (xd->name != "X509Data")
                continue;
            for (const auto& c : xd->children) {
                if (c->name != "X509Certificate")
                    continue;
                if (s->certs.size() >= kMaxCertificates)
                    return nullptr;
                auto der = parse_base64(c->text);
                if (!der)
                    return nullptr;
                s->certs.push_back(std::move(*der));
            }
        }
    }
    return s;
}

void visit(const __xar_file_t* f, std::vector<const __xar_file_t*>* out) {
    out->push_back(f);
    for (const auto& c : f->children)
        visit(c.get(), out);
}

char* dup_string(const std::string& s) {
    char* p = static_cast<char*>(malloc(s.size() + 1));
    if (p)
        memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// Opens the archive at path: regular files only, checked before any read. A
// FIFO or device never blocks the caller: the path is opened non-blocking and
// anything but a regular file is refused at once.
int open_regular(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

std::unique_ptr<__xar_t> open_archive(const char* file) {
    auto x = std::make_unique<__xar_t>();
    x->fd = open_regular(file);
    if (x->fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(x->fd, &st) != 0 || st.st_size < 28)
        return nullptr;
    x->file_size = uint64_t(st.st_size);

    uint8_t h[28];
    if (!read_at(x->fd, 0, h, sizeof h))
        return nullptr;
    if (be32(h) != XAR_HEADER_MAGIC)
        return nullptr;
    uint64_t hsize = be16(h + 4);
    uint64_t clen = be64(h + 8), ulen = be64(h + 16);
    x->cksum_alg = be32(h + 24);
    if (hsize < 28 || hsize > kMaxHeaderSize)
        return nullptr;
    if (clen == 0 || clen > kMaxTocCompressed || ulen == 0 || ulen > kMaxTocUncompressed)
        return nullptr;
    if (add_overflows(hsize, clen, &x->heap_start) || x->heap_start > x->file_size)
        return nullptr;
    x->heap_size = x->file_size - x->heap_start;

    const EVP_MD* md = nullptr;
    const char* style = nullptr;
    switch (x->cksum_alg) {
        case XAR_CKSUM_SHA1:
            md = EVP_sha1(), style = "sha1";
            break;
        case XAR_CKSUM_SHA256:
            md = EVP_sha256(), style = "sha256";
            break;
        case XAR_CKSUM_SHA512:
            md = EVP_sha512(), style = "sha512";
            break;
        default:
            return nullptr;  // none, MD5 and unknown algorithms
    }

    std::string xml;
    std::vector<uint8_t> computed;
    if (!read_toc(x->fd, hsize, clen, ulen, md, &xml, &computed))
        return nullptr;
    auto root = parse_xml(xml);
    xml.clear();
    xml.shrink_to_fit();
    if (!root || root->name != "xar")
        return nullptr;
    const Node* toc = nullptr;
    for (const auto& c : root->children) {
        if (c->name != "toc")
            continue;
        if (toc)
            return nullptr;  // one table of contents only
        toc = c.get();
    }
    if (!toc)
        return nullptr;

    size_t members = 0;
    for (const auto& c : toc->children) {
        if (c->name == "file") {
            auto f = build_file(*c, nullptr, &members);
            if (!f)
                return nullptr;
            for (const auto& sib : x->top)
                if (names_clash(sib->name, f->name))
                    return nullptr;
            x->top.push_back(std::move(f));
        } else if (c->name == "signature" || c->name == "x-signature") {
            if (x->signatures.size() >= kMaxSignatures)
                return nullptr;
            auto s = build_signature(*c, x.get());
            if (!s)
                return nullptr;
            x->signatures.push_back(std::move(s));
        }
    }

    // The checksum style must agree with the header: otherwise flipping the
    // header's algorithm would let a modified table of contents pass.
    const Node* ck = toc->last_child("checksum");
    if (!ck)
        return nullptr;
    const char* ck_style = ck->attr("style");
    if (!ck_style || strcmp(ck_style, style) != 0)
        return nullptr;
    uint64_t ck_off = 0, ck_size = 0;
    if (const Node* o = ck->last_child("offset")) {
        auto v = parse_u64(o->text);
        if (!v)
            return nullptr;
        ck_off = *v;
    } else if (!x->signatures.empty()) {
        return nullptr;
    }
    if (const Node* o = ck->last_child("size")) {
        auto v = parse_u64(o->text);
        if (!v)
            return nullptr;
        ck_size = *v;
    }
    if (ck_size != computed.size())
        return nullptr;
    x->toc_checksum.resize(computed.size());
    if (!x->read_heap(ck_off, x->toc_checksum.data(), computed.size()))
        return nullptr;
    if (CRYPTO_memcmp(x->toc_checksum.data(), computed.data(), computed.size()) != 0)
        return nullptr;

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
    const DataInfo& d = f->data;

    Encoding enc = Encoding::None;
    const EVP_MD* amd = nullptr;
    const EVP_MD* emd = nullptr;
    uint64_t limit = kMaxMemberSize;
    if (d.present) {
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
    if (d.present) {
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
    if (!file || flags != READ)
        return nullptr;
    try {
        return open_archive(file).release();
    } catch (...) {  // allocation failure on a hostile archive
        return nullptr;
    }
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
