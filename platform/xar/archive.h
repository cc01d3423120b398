// The reader's own objects behind the opaque types of xar.h, and the reading
// of a table of contents. Internal to platform/xar.
#pragma once

#include <openssl/evp.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/fd.h"
#include "platform/security/owners.h"
#include "platform/xar/xar.h"

namespace xar_detail {

// Caps. Real installer packages have tables of contents of a few tens of KiB,
// a handful of members and three certificates per signature entry. Every cap
// is checked while the table of contents streams in, so that refusing an
// archive costs no more than reading it up to the point where it breaks one.
constexpr uint64_t kMaxHeaderSize = 4096;
constexpr uint64_t kMaxTocCompressed = 16u << 20;
constexpr uint64_t kMaxTocUncompressed = 16u << 20;
// Elements and attributes together.
constexpr size_t kMaxXmlNodes = 200000;
constexpr size_t kMaxXmlDepth = 128;
// Character data the reader keeps (names, numbers, checksums, certificates):
// per element, and over the whole table of contents.
constexpr size_t kMaxElementText = 64u << 10;
constexpr size_t kMaxKeptText = 8u << 20;
// What the XML parser itself may hold at once (its input buffer, the
// attributes of one tag, its name tables): one start tag with millions of
// attributes, or any other giant token, ends the parse here.
constexpr size_t kMaxParserMemory = 16u << 20;
constexpr size_t kMaxMembers = 100000;
constexpr size_t kMaxSignatures = 16;
constexpr size_t kMaxCertificates = 16;
constexpr uint64_t kMaxSignatureSize = 1u << 20;
// Largest member this reader will write out (decompressed): well above any
// installer payload the helper handles, well below what would fill a disk.
constexpr uint64_t kMaxMemberSize = 4ull << 30;
// Largest member extracted to memory: metadata (Distribution, PackageInfo,
// Bom) is a few KiB; anything near this belongs in a file.
constexpr uint64_t kMaxBufferedMember = 64u << 20;
constexpr size_t kIoChunk = size_t{256} * 1024;
// What a decoder gives at a time: small enough for the allocator's cached
// sizes, large enough that the loop around it costs nothing.
constexpr size_t kDecodeChunk = size_t{64} * 1024;

struct DataInfo {
    uint64_t offset = 0, length = 0;
    bool has_offset = false, has_length = false;
    std::optional<uint64_t> size;
    std::string encoding;  // style attribute of <encoding>, may be empty
    std::string archived_style, extracted_style;
    std::optional<std::vector<uint8_t>> archived_sum, extracted_sum;
};

}  // namespace xar_detail

struct __xar_file_t {
    __xar_file_t* parent = nullptr;
    std::optional<std::string> name;
    std::optional<std::string> type;
    std::unique_ptr<xar_detail::DataInfo> data;  // null: the member has no <data>
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
    base::UniqueFd fd;
    uint64_t file_size = 0;
    uint64_t heap_start = 0;
    uint64_t heap_size = 0;
    uint32_t cksum_alg = 0;
    std::string cksum_style;                         // the <checksum style> in force
    std::vector<uint8_t> toc_checksum;               // stored == computed, checked at open
    std::vector<std::unique_ptr<__xar_file_t>> top;  // document order
    std::vector<const __xar_file_t*> order;          // iteration order
    std::vector<std::unique_ptr<__xar_signature_t>> signatures;
    err_handler handler = nullptr;
    void* usrctx = nullptr;

    // Reports a failure to the registered handler, if any.
    void report(int32_t severity, int32_t instance, std::string text, int err = 0) const;

    // Reads exactly len bytes at heap offset off; false when the range leaves the
    // heap or the read comes up short.
    bool read_heap(uint64_t off, void* buf, size_t len) const;
};

namespace xar_detail {

bool read_at(int fd, uint64_t pos, void* buf, size_t len);

// The digest of a checksum style ("sha1", "sha224", "sha256", "sha384",
// "sha512", compared without regard to case); null for md5, "none" and
// anything unknown, which are refused as unsafe.
const EVP_MD* digest_for_style(const std::string& style);

// What a table of contents says, once read.
struct TocChecksum {
    std::string style;
    std::optional<uint64_t> offset;
    uint64_t size = 0;
};

struct Toc {
    std::vector<std::unique_ptr<__xar_file_t>> top;  // document order
    std::vector<std::unique_ptr<__xar_signature_t>> signatures;
    std::optional<TocChecksum> checksum;  // the last <checksum> of the <toc>
};

// The compressed table of contents as stored: `clen` bytes at `pos` of `fd`,
// inflating to exactly `ulen` bytes. Reads it once, in pieces: every piece is
// hashed with each of `digests` (the candidates for the stored checksum) and
// inflated, and the XML streams through the parser, which builds the members
// and signature entries as it goes. Time and memory are linear in the
// archive's size and bounded by the caps above. On failure returns false with
// the reason in `why`.
bool read_toc(int fd, uint64_t pos, uint64_t clen, uint64_t ulen,
              const std::vector<const EVP_MD*>& digests, Toc* toc,
              std::vector<std::vector<uint8_t>>* computed, std::string* why);

inline bool add_overflows(uint64_t a, uint64_t b, uint64_t* out) {
    return __builtin_add_overflow(a, b, out);
}

using MdCtx = security::EvpMdCtxPtr;

// Opens the archive at `file` and checks it: the header, the table of
// contents and its stored checksum (toc.cpp). Null with the reason in `why`.
std::unique_ptr<__xar_t> open_archive(const char* file, std::string* why);

// Writes member `f` of `x` to `path` through a temporary file beside it,
// checking both of its checksums on the way (heap.cpp). 0, or -1 after the
// reason went to the archive's error handler; nothing is left at `path` then.
int32_t extract(const __xar_t* x, const __xar_file_t* f, const char* path);

// As extract, into a malloc()ed buffer (never null on success, even for an
// empty member) that goes to the caller only when every check passed.
int32_t extract_to_memory(const __xar_t* x, const __xar_file_t* f, char** buffer, size_t* size);

}  // namespace xar_detail
