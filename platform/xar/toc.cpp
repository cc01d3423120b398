// What an archive says about itself: its fixed header, then its table of
// contents, checked against the stored checksum before anything is handed out
// (open_archive, at the end of this file).
//
// Reading a table of contents: the compressed bytes are read once, in pieces;
// each piece is hashed and inflated straight into the XML parser's buffer, and
// the parser's callbacks build the members and signature entries as the
// elements end. No document tree is kept: the reader holds what it hands out
// (names, types, data descriptions, certificates) and, for the elements still
// open, the little it needs to finish them.
//
// Why streaming and counting: a hostile table of contents within the size caps
// may hold a hundred thousand siblings or millions of attributes. Every step
// here is linear in what was read (sibling names go through a hash set with a
// per-archive random key, so no set of names can be made to collide), and
// every allocation is bounded: by the caps on elements plus attributes, on
// kept character data, and on the memory the XML parser itself may use.

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "platform/base/cursor.h"
#include "platform/base/fd.h"
#include "platform/xar/archive.h"
#include "platform/xml/xml.h"

namespace xar_detail {
namespace {

bool is_xml_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_xml_space(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && is_xml_space(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// Strict decimal: optional surrounding XML whitespace, at least one digit, no
// sign, no overflow.
std::optional<uint64_t> parse_u64(std::string_view s) {
    s = trim(s);
    if (s.empty() || s.size() > 20) {
        return std::nullopt;
    }
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        if (__builtin_mul_overflow(v, 10u, &v) ||
            __builtin_add_overflow(v, uint64_t(c - '0'), &v)) {
            return std::nullopt;
        }
    }
    return v;
}

std::optional<std::vector<uint8_t>> parse_hex(std::string_view s) {
    s = trim(s);
    if (s.empty() || s.size() % 2 != 0 || s.size() > 256) {
        return std::nullopt;
    }
    auto nib = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    std::vector<uint8_t> out;
    out.reserve(s.size() / 2);
    for (size_t i = 0; i < s.size(); i += 2) {
        int hi = nib(s[i]), lo = nib(s[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out.push_back(uint8_t(hi << 4 | lo));
    }
    return out;
}

// What each byte is in base64 text: a symbol's value (0 to 63), or one of these.
constexpr int8_t kB64Other = -1, kB64Space = -2, kB64Pad = -3;
constexpr std::array<int8_t, 256> kBase64 = [] {
    std::array<int8_t, 256> t{};
    t.fill(kB64Other);
    for (size_t i = 0; i < 26; ++i) {
        t['A' + i] = int8_t(i);
        t['a' + i] = int8_t(26 + i);
    }
    for (size_t i = 0; i < 10; ++i) {
        t['0' + i] = int8_t(52 + i);
    }
    t['+'] = 62;
    t['/'] = 63;
    t['='] = kB64Pad;
    t[' '] = t['\t'] = t['\n'] = t['\r'] = kB64Space;
    return t;
}();

// Base64 as stored in <X509Certificate>: line breaks and blanks allowed,
// padding only at the end. Decodes in one pass into a buffer of the most the
// text can hold (certificates are the bulk of a signed table of contents).
std::optional<std::vector<uint8_t>> parse_base64(std::string_view s) {
    std::vector<uint8_t> out(s.size() * 3 / 4);
    uint8_t* const begin = out.data();
    uint8_t* at = begin;
    uint32_t acc = 0;
    int bits = 0;
    size_t pad = 0, symbols = 0;
    for (const char c : s) {
        const int8_t v = kBase64[uint8_t(c)];
        if (v >= 0) {
            if (pad != 0) {
                return std::nullopt;  // data after padding
            }
            ++symbols;
            acc = (acc << 6) | uint32_t(v);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                *at++ = uint8_t(acc >> bits);
                acc &= (1u << bits) - 1;
            }
        } else if (v == kB64Pad) {
            ++pad;
            ++symbols;
        } else if (v == kB64Other) {
            return std::nullopt;
        }
    }
    if (symbols % 4 != 0 || pad > 2 || at == begin) {
        return std::nullopt;
    }
    out.resize(size_t(at - begin));
    return out;
}

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

// ---- sibling names: a set keyed by a random secret ----

// SipHash-2-4 of the name with ASCII letters folded to lower case (libxar's
// comparison of sibling names ignores case). The key is drawn per table of
// contents, so that no archive can choose names that share a bucket.
struct FoldedSipHash {
    uint64_t k0 = 0, k1 = 0;

    static uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

    size_t operator()(std::string_view s) const {
        uint64_t v0 = 0x736f6d6570736575ull ^ k0, v1 = 0x646f72616e646f6dull ^ k1,
                 v2 = 0x6c7967656e657261ull ^ k0, v3 = 0x7465646279746573ull ^ k1;
        auto round = [&] {
            v0 += v1;
            v1 = rotl(v1, 13);
            v1 ^= v0;
            v0 = rotl(v0, 32);
            v2 += v3;
            v3 = rotl(v3, 16);
            v3 ^= v2;
            v0 += v3;
            v3 = rotl(v3, 21);
            v3 ^= v0;
            v2 += v1;
            v1 = rotl(v1, 17);
            v1 ^= v2;
            v2 = rotl(v2, 32);
        };
        auto word = [&](size_t at, size_t n) {
            uint64_t m = 0;
            for (size_t i = 0; i < n; ++i) {
                m |= uint64_t(uint8_t(ascii_lower(s[at + i]))) << (8 * i);
            }
            return m;
        };
        const size_t full = s.size() / 8 * 8;
        for (size_t at = 0; at < full; at += 8) {
            uint64_t m = word(at, 8);
            v3 ^= m;
            round();
            round();
            v0 ^= m;
        }
        uint64_t last = word(full, s.size() - full) | (uint64_t(s.size() & 0xff) << 56);
        v3 ^= last;
        round();
        round();
        v0 ^= last;
        v2 ^= 0xff;
        round();
        round();
        round();
        round();
        return size_t(v0 ^ v1 ^ v2 ^ v3);
    }
};

// A name with its hash, computed once: growing the set rehashes from it.
struct NameKey {
    std::string_view name;
    size_t hash;
};

struct KeyHash {
    size_t operator()(const NameKey& k) const { return k.hash; }
};

struct KeyEqual {
    bool operator()(const NameKey& a, const NameKey& b) const { return iequals(a.name, b.name); }
};

using NameSet = std::unordered_set<NameKey, KeyHash, KeyEqual>;

// ---- the parser's callbacks ----

// What an open element is to the reader, decided by its name and its parent.
enum class Kind : uint8_t {
    Ignored,  // its content means nothing to the reader, nor does its subtree
    Xar,
    Toc,
    File,
    Name,
    Type,
    Data,
    DataOffset,
    DataLength,
    DataSize,
    Encoding,
    ArchivedSum,
    ExtractedSum,
    Signature,
    SigOffset,
    SigSize,
    KeyInfo,
    X509Data,
    Certificate,
    Checksum,
    SumOffset,
    SumSize,
};

// Elements whose own character data is kept (text in nested elements is not:
// libxar reads an element's own text).
bool keeps_text(Kind k) {
    switch (k) {
        case Kind::Name:
        case Kind::Type:
        case Kind::DataOffset:
        case Kind::DataLength:
        case Kind::DataSize:
        case Kind::ArchivedSum:
        case Kind::ExtractedSum:
        case Kind::SigOffset:
        case Kind::SigSize:
        case Kind::Certificate:
        case Kind::SumOffset:
        case Kind::SumSize:
            return true;
        default:
            return false;
    }
}

struct Frame {
    Kind kind;
    std::string text;
};

// libxar keeps properties in a list it prepends to, so the last element of a
// name is the one its lookups find: each of these holds the last one seen.
struct RawData {
    std::optional<std::string> offset, length, size;
    std::string encoding;
    std::string archived_style, extracted_style;
    std::optional<std::string> archived, extracted;
};

struct OpenFile {
    std::unique_ptr<__xar_file_t> file;
    std::optional<RawData> data;  // the last <data> so far
    NameSet names;                // of the children ended so far
};

struct OpenSignature {
    std::unique_ptr<__xar_signature_t> sig;
    std::optional<std::string> offset, size;
};

struct RawChecksum {
    std::string style;
    std::optional<std::string> offset, size;
};

const char* attribute(const char** atts, const char* key) {
    for (size_t i = 0; atts[i] && atts[i + 1]; i += 2) {
        if (std::strcmp(atts[i], key) == 0) {
            return atts[i + 1];
        }
    }
    return nullptr;
}

class TocBuilder final : public xml::Handler {
  public:
    explicit TocBuilder(Toc* toc) : toc_(toc), parser_(*this, kMaxParserMemory) {
        uint64_t key[2] = {0, 0};
        if (getrandom(key, sizeof key, 0) != sizeof key) {
            // Without entropy the order of buckets is still unknown to the
            // archive's author unless the clock is: better than a fixed key.
            key[0] = uint64_t(reinterpret_cast<uintptr_t>(this)) ^ uint64_t(time(nullptr));
            key[1] = ~key[0];
        }
        hash_ = FoldedSipHash{key[0], key[1]};
    }
    TocBuilder(const TocBuilder&) = delete;
    TocBuilder& operator=(const TocBuilder&) = delete;

    bool ready() const { return parser_.ready(); }
    const std::string& why() const { return why_; }

    // Room for `len` bytes of XML; null when the parser cannot have it.
    void* buffer(size_t len) {
        void* b = parser_.buffer(len);
        if (!b) {
            set_parser_error();
        }
        return b;
    }

    // Parses `len` bytes placed in the buffer; false with the reason on error.
    bool parse(size_t len, bool final) {
        if (!parser_.parseBuffer(len, final)) {
            set_parser_error();
            return false;
        }
        return !failed_;
    }

    // After the final parse: the document held what a table of contents must.
    bool finish() {
        if (!saw_toc_) {
            return fail("The archive has no <toc> element in <xar>");
        }
        if (raw_checksum_) {
            TocChecksum c;
            c.style = raw_checksum_->style;
            if (raw_checksum_->offset) {
                auto v = parse_u64(*raw_checksum_->offset);
                if (!v) {
                    return fail("The <checksum> offset is not a number");
                }
                c.offset = *v;
            }
            if (raw_checksum_->size) {
                auto v = parse_u64(*raw_checksum_->size);
                if (!v) {
                    return fail("The <checksum> size is not a number");
                }
                c.size = *v;
            }
            toc_->checksum = std::move(c);
        }
        return true;
    }

  private:
    bool fail(std::string reason) {
        if (!failed_) {
            failed_ = true;
            why_ = std::move(reason);
            parser_.stop();
        }
        return false;
    }

    void set_parser_error() {
        if (failed_) {
            return;  // a callback stopped the parser and said why
        }
        switch (parser_.refusal()) {
            case xml::Refusal::ExternalDeclarations:
                // Declarations from outside are never read.
                fail("The table of contents refers to an external subset or parameter entities");
                return;
            case xml::Refusal::EntityDeclaration:
                fail("The table of contents declares entities");
                return;
            case xml::Refusal::Memory:
                fail("The table of contents needs more than " +
                     std::to_string(kMaxParserMemory >> 20) +
                     " MiB to parse (a giant tag, or too many distinct names)");
                return;
            default:
                fail("The table of contents is not well-formed XML: " + parser_.syntaxError() +
                     " at line " + std::to_string(parser_.line()) + ", column " +
                     std::to_string(parser_.column()));
                return;
        }
    }

    Kind classify(Kind parent, std::string_view name) {
        switch (parent) {
            case Kind::Xar:
                return name == "toc" ? Kind::Toc : Kind::Ignored;
            case Kind::Toc:
                if (name == "file") {
                    return Kind::File;
                }
                if (name == "signature" || name == "x-signature") {
                    return Kind::Signature;
                }
                if (name == "checksum") {
                    return Kind::Checksum;
                }
                return Kind::Ignored;
            case Kind::File:
                if (name == "file") {
                    return Kind::File;
                }
                if (name == "name") {
                    return Kind::Name;
                }
                if (name == "type") {
                    return Kind::Type;
                }
                if (name == "data") {
                    return Kind::Data;
                }
                return Kind::Ignored;
            case Kind::Data:
                if (name == "offset") {
                    return Kind::DataOffset;
                }
                if (name == "length") {
                    return Kind::DataLength;
                }
                if (name == "size") {
                    return Kind::DataSize;
                }
                if (name == "encoding") {
                    return Kind::Encoding;
                }
                if (name == "archived-checksum") {
                    return Kind::ArchivedSum;
                }
                if (name == "extracted-checksum") {
                    return Kind::ExtractedSum;
                }
                return Kind::Ignored;
            case Kind::Signature:
                if (name == "offset") {
                    return Kind::SigOffset;
                }
                if (name == "size") {
                    return Kind::SigSize;
                }
                if (name == "KeyInfo") {
                    return Kind::KeyInfo;
                }
                return Kind::Ignored;
            case Kind::KeyInfo:
                return name == "X509Data" ? Kind::X509Data : Kind::Ignored;
            case Kind::X509Data:
                return name == "X509Certificate" ? Kind::Certificate : Kind::Ignored;
            case Kind::Checksum:
                if (name == "offset") {
                    return Kind::SumOffset;
                }
                if (name == "size") {
                    return Kind::SumSize;
                }
                return Kind::Ignored;
            default:
                return Kind::Ignored;
        }
    }

    void start(const char* name, const char** atts) {
        size_t strings = 0;  // attribute names and values, in pairs
        while (atts[strings]) {
            ++strings;
        }
        nodes_ += 1 + strings / 2;
        if (nodes_ > kMaxXmlNodes) {
            fail("The table of contents has more than " + std::to_string(kMaxXmlNodes) +
                 " elements and attributes");
            return;
        }
        if (stack_.size() >= kMaxXmlDepth) {
            fail("The table of contents nests deeper than " + std::to_string(kMaxXmlDepth) +
                 " elements");
            return;
        }
        Kind kind = Kind::Ignored;
        if (stack_.empty()) {
            if (std::strcmp(name, "xar") != 0) {
                fail("The table of contents' root element is not <xar>");
                return;
            }
            kind = Kind::Xar;
        } else {
            kind = classify(stack_.back().kind, name);
        }
        switch (kind) {
            case Kind::Toc:
                if (saw_toc_) {
                    fail("The archive has more than one <toc>");
                    return;
                }
                saw_toc_ = true;
                break;
            case Kind::File: {
                if (++members_ > kMaxMembers) {
                    fail("The archive has more than " + std::to_string(kMaxMembers) + " members");
                    return;
                }
                OpenFile f{std::make_unique<__xar_file_t>(), std::nullopt, NameSet()};
                f.file->parent = files_.empty() ? nullptr : files_.back().file.get();
                files_.push_back(std::move(f));
                break;
            }
            case Kind::Data:
                files_.back().data.emplace();  // only the last <data> counts
                break;
            case Kind::Encoding: {
                const char* s = attribute(atts, "style");
                files_.back().data->encoding = s ? s : "";
                break;
            }
            case Kind::ArchivedSum: {
                const char* s = attribute(atts, "style");
                files_.back().data->archived_style = s ? s : "";
                break;
            }
            case Kind::ExtractedSum: {
                const char* s = attribute(atts, "style");
                files_.back().data->extracted_style = s ? s : "";
                break;
            }
            case Kind::Signature: {
                if (toc_->signatures.size() >= kMaxSignatures) {
                    fail("The archive has more than " + std::to_string(kMaxSignatures) +
                         " signature entries");
                    return;
                }
                signature_.emplace();
                signature_->sig = std::make_unique<__xar_signature_t>();
                if (const char* s = attribute(atts, "style")) {
                    signature_->sig->type = s;
                }
                break;
            }
            case Kind::Checksum: {
                checksum_.emplace();
                const char* s = attribute(atts, "style");
                checksum_->style = s ? s : "";
                break;
            }
            default:
                break;
        }
        stack_.push_back(Frame{kind, {}});
    }

    void text(const char* s, int len) {
        if (stack_.empty() || len <= 0 || !keeps_text(stack_.back().kind)) {
            return;
        }
        std::string& t = stack_.back().text;
        if (t.size() + size_t(len) > kMaxElementText) {
            fail("An element of the table of contents holds more than " +
                 std::to_string(kMaxElementText >> 10) + " KiB of text");
            return;
        }
        kept_text_ += size_t(len);
        if (kept_text_ > kMaxKeptText) {
            fail("The table of contents holds more than " + std::to_string(kMaxKeptText >> 20) +
                 " MiB of names, numbers and certificates");
            return;
        }
        t.append(s, size_t(len));
    }

    void end() {
        if (stack_.empty()) {
            return;
        }
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        switch (frame.kind) {
            case Kind::Name:
                files_.back().file->name = std::move(frame.text);
                break;
            case Kind::Type:
                files_.back().file->type = std::move(frame.text);
                break;
            case Kind::DataOffset:
                files_.back().data->offset = std::move(frame.text);
                break;
            case Kind::DataLength:
                files_.back().data->length = std::move(frame.text);
                break;
            case Kind::DataSize:
                files_.back().data->size = std::move(frame.text);
                break;
            case Kind::ArchivedSum:
                files_.back().data->archived = std::move(frame.text);
                break;
            case Kind::ExtractedSum:
                files_.back().data->extracted = std::move(frame.text);
                break;
            case Kind::File:
                end_file();
                break;
            case Kind::SigOffset:
                signature_->offset = std::move(frame.text);
                break;
            case Kind::SigSize:
                signature_->size = std::move(frame.text);
                break;
            case Kind::Certificate: {
                auto& certs = signature_->sig->certs;
                if (certs.size() >= kMaxCertificates) {
                    fail("A signature entry holds more than " + std::to_string(kMaxCertificates) +
                         " certificates");
                    return;
                }
                auto der = parse_base64(frame.text);
                if (!der) {
                    fail("A certificate of a signature entry is not valid base64");
                    return;
                }
                certs.push_back(std::move(*der));
                break;
            }
            case Kind::Signature:
                end_signature();
                break;
            case Kind::SumOffset:
                checksum_->offset = std::move(frame.text);
                break;
            case Kind::SumSize:
                checksum_->size = std::move(frame.text);
                break;
            case Kind::Checksum:
                raw_checksum_ = std::move(checksum_);
                checksum_.reset();
                break;
            default:
                break;
        }
    }

    // Reads a number that the element held, if there was one.
    bool number(const std::optional<std::string>& text, uint64_t* out, bool* present,
                const char* what) {
        if (!text) {
            return true;
        }
        auto v = parse_u64(*text);
        if (!v) {
            return fail(std::string("A member's ") + what + " is not a number");
        }
        *out = *v;
        *present = true;
        return true;
    }

    bool checksum(const std::optional<std::string>& text, std::optional<std::vector<uint8_t>>* out,
                  const char* what) {
        if (!text) {
            return true;
        }
        *out = parse_hex(*text);
        if (!*out) {
            return fail(std::string("A member's ") + what + " is not a hexadecimal digest");
        }
        return true;
    }

    void end_file() {
        OpenFile f = std::move(files_.back());
        files_.pop_back();
        if (f.data) {
            RawData& r = *f.data;
            auto d = std::make_unique<DataInfo>();
            uint64_t size = 0;
            bool has_size = false;
            if (!number(r.offset, &d->offset, &d->has_offset, "data offset") ||
                !number(r.length, &d->length, &d->has_length, "data length") ||
                !number(r.size, &size, &has_size, "data size") ||
                !checksum(r.archived, &d->archived_sum, "archived-checksum") ||
                !checksum(r.extracted, &d->extracted_sum, "extracted-checksum")) {
                return;
            }
            if (has_size) {
                d->size = size;
            }
            d->encoding = std::move(r.encoding);
            d->archived_style = std::move(r.archived_style);
            d->extracted_style = std::move(r.extracted_style);
            f.file->data = std::move(d);
        }
        // libxar refuses a second member of the same name (ignoring case) in
        // one directory unless the two are identical; here any such pair is.
        NameSet& siblings = files_.empty() ? top_names_ : files_.back().names;
        if (f.file->name && !siblings.insert(NameKey{*f.file->name, hash_(*f.file->name)}).second) {
            fail("Two members of one directory are named \"" + *f.file->name +
                 "\" (ignoring case)");
            return;
        }
        if (files_.empty()) {
            toc_->top.push_back(std::move(f.file));
        } else {
            files_.back().file->children.push_back(std::move(f.file));
        }
    }

    void end_signature() {
        OpenSignature s = std::move(*signature_);
        signature_.reset();
        if (s.offset) {
            auto v = parse_u64(*s.offset);
            if (!v) {
                fail("A signature entry's offset is not a number");
                return;
            }
            s.sig->offset = *v;
        }
        if (s.size) {
            auto v = parse_u64(*s.size);
            if (!v) {
                fail("A signature entry's size is not a number");
                return;
            }
            s.sig->size = *v;
        }
        toc_->signatures.push_back(std::move(s.sig));
    }

    void startElement(const char* name, const char** atts) override {
        if (!failed_) {
            start(name, atts);
        }
    }
    void endElement(const char*) override {
        if (!failed_) {
            end();
        }
    }
    void characters(const char* s, size_t len) override {
        if (!failed_) {
            text(s, int(len));
        }
    }

    Toc* toc_;
    xml::Parser parser_;
    FoldedSipHash hash_;
    std::vector<Frame> stack_;
    std::vector<OpenFile> files_;
    NameSet top_names_;
    std::optional<OpenSignature> signature_;
    std::optional<RawChecksum> checksum_;      // the <checksum> being read
    std::optional<RawChecksum> raw_checksum_;  // the last one that ended
    size_t nodes_ = 0;
    size_t members_ = 0;
    size_t kept_text_ = 0;
    bool saw_toc_ = false;
    bool failed_ = false;
    std::string why_;
};

struct InflateEnd {
    z_stream* zs;
    ~InflateEnd() { inflateEnd(zs); }
};

// Inflated XML goes to the parser in pieces. A token that spans pieces (a
// start tag with all its attributes) is scanned again from its start with
// each new piece, so the pieces grow with what has been read, an eighth of
// it, from 256 KiB to 2 MiB: the rescanning then adds a bounded factor, not a
// square, to the parse.
// A piece is no more than what is left of the declared length, plus one byte
// to see it overrun: a table of contents of a few KiB gets a buffer of a few
// KiB.
size_t xml_piece(uint64_t inflated, uint64_t declared) {
    constexpr uint64_t kMin = uint64_t{256} * 1024, kMax = 2u << 20;
    const uint64_t left = declared > inflated ? declared - inflated : 0;
    return size_t(std::min(std::clamp<uint64_t>(inflated / 8, kMin, kMax), left + 1));
}

}  // namespace

bool read_at(int fd, uint64_t pos, void* buf, size_t len) {
    if (pos > uint64_t(INT64_MAX)) {
        return false;
    }
    return base::readFullAt(fd, buf, len, off_t(pos)) == ssize_t(len);
}

const EVP_MD* digest_for_style(const std::string& style) {
    if (iequals(style, "sha1")) {
        return EVP_sha1();
    }
    if (iequals(style, "sha224")) {
        return EVP_sha224();
    }
    if (iequals(style, "sha256")) {
        return EVP_sha256();
    }
    if (iequals(style, "sha384")) {
        return EVP_sha384();
    }
    if (iequals(style, "sha512")) {
        return EVP_sha512();
    }
    return nullptr;  // md5 and "none" are refused, as unsafe
}

bool read_toc(int fd, uint64_t pos, uint64_t clen, uint64_t ulen,
              const std::vector<const EVP_MD*>& digests, Toc* toc,
              std::vector<std::vector<uint8_t>>* computed, std::string* why) {
    std::vector<MdCtx> ctxs;
    for (const EVP_MD* md : digests) {
        MdCtx c(EVP_MD_CTX_new());
        if (!c || EVP_DigestInit_ex(c.get(), md, nullptr) != 1) {
            *why = "Unable to set up the table-of-contents digest";
            return false;
        }
        ctxs.push_back(std::move(c));
    }

    TocBuilder builder(toc);
    if (!builder.ready()) {
        *why = "Unable to create the XML parser";
        return false;
    }
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) {
        *why = "Unable to set up zlib";
        return false;
    }
    InflateEnd end_inflate{&zs};

    // Sized to the table of contents and not zeroed: a chunk per archive
    // costs more than reading a small one.
    const size_t in_size = size_t(std::min<uint64_t>(clen, kIoChunk));
    const auto in = std::make_unique_for_overwrite<uint8_t[]>(in_size);
    uint64_t left = clen, at = pos, inflated = 0;
    bool ended = false;
    while (left > 0) {
        const size_t n = left < in_size ? size_t(left) : in_size;
        if (!read_at(fd, at, in.get(), n)) {
            *why = "Unable to read the table of contents";
            return false;
        }
        at += n;
        left -= n;
        for (MdCtx& c : ctxs) {
            if (EVP_DigestUpdate(c.get(), in.get(), n) != 1) {
                *why = "Unable to hash the table of contents";
                return false;
            }
        }
        if (ended) {
            *why = "Bytes follow the end of the compressed table of contents";
            return false;
        }
        zs.next_in = in.get();
        zs.avail_in = uInt(n);
        bool output_full = false;
        while (!ended && (zs.avail_in > 0 || output_full)) {
            const size_t piece = xml_piece(inflated, ulen);
            void* out = builder.buffer(piece);
            if (!out) {
                *why = builder.why();
                return false;
            }
            zs.next_out = static_cast<Bytef*>(out);
            zs.avail_out = uInt(piece);
            const int rc = inflate(&zs, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                *why = std::string("The table of contents does not inflate (zlib: ") +
                       (zs.msg ? zs.msg : "error " + std::to_string(rc)) + ")";
                return false;
            }
            const size_t got = piece - zs.avail_out;
            inflated += got;
            if (inflated > ulen) {
                *why = "The table of contents inflates past its declared length of " +
                       std::to_string(ulen) + " bytes";
                return false;
            }
            if (!builder.parse(got, false)) {
                *why = builder.why();
                return false;
            }
            output_full = zs.avail_out == 0;
            if (rc == Z_STREAM_END) {
                ended = true;
            } else if (rc == Z_BUF_ERROR) {
                break;  // needs more input
            }
        }
        if (ended && zs.avail_in > 0) {
            *why = "Bytes follow the end of the compressed table of contents";
            return false;
        }
    }
    if (!ended) {
        *why = "The compressed table of contents is cut short";
        return false;
    }
    if (inflated != ulen) {
        *why = "The table of contents inflates to " + std::to_string(inflated) +
               " bytes, not the declared " + std::to_string(ulen);
        return false;
    }
    if (!builder.parse(0, true) || !builder.finish()) {
        *why = builder.why();
        return false;
    }

    computed->clear();
    for (MdCtx& c : ctxs) {
        std::vector<uint8_t> d(EVP_MAX_MD_SIZE);
        unsigned dlen = 0;
        if (EVP_DigestFinal_ex(c.get(), d.data(), &dlen) != 1) {
            *why = "Unable to hash the table of contents";
            return false;
        }
        d.resize(dlen);
        computed->push_back(std::move(d));
    }
    return true;
}

// ---- opening an archive: the header, then the table of contents ----

namespace {

void visit(const __xar_file_t* f, std::vector<const __xar_file_t*>* out) {
    out->push_back(f);
    for (const auto& c : f->children) {
        visit(c.get(), out);
    }
}

// Opens the archive at path: regular files only, checked before any read. A
// FIFO or device never blocks the caller: the path is opened non-blocking and
// anything but a regular file is refused at once. `st` is then the opened
// file's status.
int open_regular(const char* path, struct stat& st, std::string* why) {
    if (stat(path, &st) != 0) {
        *why = std::string("Unable to open the archive: ") + strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "Not a regular file";
        return -1;
    }
    base::UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        *why = std::string("Unable to open the archive: ") + strerror(errno);
        return -1;
    }
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "Not a regular file";
        return -1;
    }
    int fl = fcntl(fd.get(), F_GETFL);
    if (fl >= 0) {
        fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
    }
    return fd.release();
}

// The SHA-2 digests that header algorithm 3 ("other") lets the table of
// contents name in its <checksum style>. md5, "none" and unknown names stay
// refused.
const char* const kOtherStyles[] = {"sha224", "sha256", "sha384", "sha512"};

}  // namespace

std::unique_ptr<__xar_t> open_archive(const char* file, std::string* why) {
    auto refuse = [why](std::string reason) -> std::unique_ptr<__xar_t> {
        *why = std::move(reason);
        return nullptr;
    };
    auto x = std::make_unique<__xar_t>();
    struct stat st {};
    x->fd.reset(open_regular(file, st, why));
    if (!x->fd) {
        return nullptr;
    }
    if (st.st_size < 28) {
        return refuse("Too short for a XAR header");
    }
    x->file_size = uint64_t(st.st_size);

    uint8_t h[28];
    if (!read_at(x->fd.get(), 0, h, sizeof h)) {
        return refuse("Unable to read the header");
    }
    // The fixed header, read whole (so the cursor cannot run out).
    base::Cursor header(h, sizeof h);
    const uint32_t magic = header.be32();
    const uint64_t hsize = header.be16();
    header.skip(2);  // version
    const uint64_t clen = header.be64();
    const uint64_t ulen = header.be64();
    x->cksum_alg = header.be32();
    if (magic != XAR_HEADER_MAGIC) {
        return refuse("Not a XAR archive (no \"xar!\" magic)");
    }
    if (hsize < 28 || hsize > kMaxHeaderSize) {
        return refuse("Header size " + std::to_string(hsize) + " out of range");
    }
    if (clen == 0 || clen > kMaxTocCompressed) {
        return refuse("Compressed table-of-contents length " + std::to_string(clen) +
                      " out of range (1 to " + std::to_string(kMaxTocCompressed) + ")");
    }
    if (ulen == 0 || ulen > kMaxTocUncompressed) {
        return refuse("Table-of-contents length " + std::to_string(ulen) + " out of range (1 to " +
                      std::to_string(kMaxTocUncompressed) + ")");
    }
    if (add_overflows(hsize, clen, &x->heap_start) || x->heap_start > x->file_size) {
        return refuse("The table of contents runs past the end of the file");
    }
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
        if (!read_at(x->fd.get(), 28, ext.data(), ext.size())) {
            return refuse("Unable to read the header");
        }
        if (ext[0] != 0) {
            auto nul = std::find(ext.begin(), ext.end(), uint8_t(0));
            if (nul == ext.end()) {
                return refuse("The header's checksum name is not terminated");
            }
            header_name.assign(ext.begin(), nul);
        }
    }
    std::vector<const EVP_MD*> mds;
    mds.reserve(styles.size());
    for (const std::string& s : styles) {
        mds.push_back(digest_for_style(s));
    }

    Toc toc;
    std::vector<std::vector<uint8_t>> computed;
    if (!read_toc(x->fd.get(), hsize, clen, ulen, mds, &toc, &computed, why)) {
        return nullptr;
    }

    // The checksum style must agree with the header: otherwise flipping the
    // header's algorithm would let a modified table of contents pass. Styles
    // are compared exactly, as libxar does.
    if (!toc.checksum) {
        return refuse("The table of contents has no <checksum> element");
    }
    const TocChecksum& ck = *toc.checksum;
    size_t which = styles.size();
    for (size_t i = 0; i < styles.size(); ++i) {
        if (ck.style == styles[i]) {
            which = i;
        }
    }
    if (which == styles.size()) {
        return refuse("The table of contents' checksum style \"" + ck.style +
                      "\" does not agree with the header's algorithm " +
                      std::to_string(x->cksum_alg));
    }
    if (!header_name.empty() && header_name != ck.style) {
        return refuse("The header names the checksum \"" + header_name +
                      "\", the table of contents \"" + ck.style + "\"");
    }
    x->cksum_style = ck.style;
    if (!ck.offset && !toc.signatures.empty()) {
        return refuse("The <checksum> of a signed archive has no offset");
    }
    const std::vector<uint8_t>& sum = computed[which];
    if (ck.size != sum.size()) {
        return refuse("The <checksum> size " + std::to_string(ck.size) + " is not the " +
                      std::to_string(sum.size()) + " bytes of " + ck.style);
    }
    x->toc_checksum.resize(sum.size());
    if (!x->read_heap(ck.offset.value_or(0), x->toc_checksum.data(), sum.size())) {
        return refuse("The stored table-of-contents checksum lies outside the archive");
    }
    if (CRYPTO_memcmp(x->toc_checksum.data(), sum.data(), sum.size()) != 0) {
        return refuse("The stored table-of-contents checksum differs from the computed one");
    }

    x->top = std::move(toc.top);
    x->signatures = std::move(toc.signatures);
    for (auto& s : x->signatures) {
        s->archive = x.get();
    }
    // libxar prepends each top-level member as it parses, so they come out in
    // the reverse of their order in the table of contents; children keep theirs.
    for (auto it = x->top.rbegin(); it != x->top.rend(); ++it) {
        visit(it->get(), &x->order);
    }
    return x;
}

}  // namespace xar_detail
