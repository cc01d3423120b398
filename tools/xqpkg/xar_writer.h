// Writes XAR archives laid out as installer packages are: the table-of-contents
// checksum at heap offset 0, then the signature slots, then the members' data.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace xqpkg {

using Bytes = std::vector<uint8_t>;

enum class Encoding { None, Gzip, Bzip2 };

struct Member {
    std::string path;  // "/"-separated; parents must come earlier in the list
    bool directory = false;
    Bytes data;  // the member's content (not yet encoded)
    Encoding encoding = Encoding::Gzip;
};

struct SignatureSlot {
    std::string style;                // "RSA", "CMS", or any other type
    bool extended = false;            // <x-signature> rather than <signature>
    uint64_t size = 0;                // bytes reserved in the heap
    std::vector<Bytes> certificates;  // DER, stored in this order
};

enum class TocChecksum { Sha1, Sha256 };

struct WriteOptions {
    TocChecksum checksum = TocChecksum::Sha1;
    std::vector<SignatureSlot> signatures;
    // Called with the computed table-of-contents checksum; returns the content
    // of each signature slot, in slot order (each at most the slot's size; the
    // rest is padded with zero bytes). Empty function: slots stay zero.
    std::function<bool(const Bytes& toc_digest, std::vector<Bytes>* slots, std::string* err)> sign;
};

// Heap offset and length of each member's archived data (for tampering).
struct Layout {
    uint64_t heap_start = 0;
    std::vector<std::pair<std::string, std::pair<uint64_t, uint64_t>>>
        data;  // path -> (offset, length)
};

// members are in archive order, the order in which a reader walks them: depth
// first, a directory before its contents. As libxar lists top-level members in
// the reverse of their order in the table of contents, the table of contents
// holds them reversed. Returns false with a message on error.
bool write_xar(const std::vector<Member>& members, const WriteOptions& opt, Bytes* out,
               std::string* err, Layout* layout = nullptr);

Bytes zlib_compress(const Bytes& in);
Bytes bzip2_compress(const Bytes& in);

}  // namespace xqpkg
