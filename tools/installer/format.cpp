#include "tools/installer/format.h"

#include <fcntl.h>
#include <unistd.h>

#include <archive.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/base/fd.h"

namespace installer {
namespace {

bool startsWith(const unsigned char* data, size_t size, std::string_view magic, size_t at = 0) {
    return size >= at + magic.size() && std::memcmp(data + at, magic.data(), magic.size()) == 0;
}

bool isCpio(const unsigned char* data, size_t size) {
    return startsWith(data, size, "070707") || startsWith(data, size, "070701") ||
           startsWith(data, size, "070702") ||
           (size >= 2 &&
            ((data[0] == 0xc7 && data[1] == 0x71) || (data[0] == 0x71 && data[1] == 0xc7)));
}

// What a stream that is not cpio is, by its first bytes.
std::string nameFormat(const unsigned char* data, size_t size) {
    if (size == 0) {
        return "empty";
    }
    struct Magic {
        std::string_view bytes;
        size_t offset;
        const char* name;
    };
    static const Magic kMagics[] = {
        {"pbzx", 0, "a pbzx stream (Apple's chunked xz or lzfse)"},
        {std::string_view("\xfd"
                          "7zXZ\0",
                          6),
         0, "xz-compressed"},
        {"BZh", 0, "bzip2-compressed"},
        {"\x28\xb5\x2f\xfd", 0, "zstd-compressed"},
        {"\x04\x22\x4d\x18", 0, "lz4-compressed"},
        {std::string_view("\x5d\0\0", 3), 0, "lzma-compressed"},
        {"PK\x03\x04", 0, "a zip archive"},
        {"xar!", 0, "a XAR archive"},
        {"ustar", 257, "a tar archive"},
        {"bvx", 0, "an lzfse stream"},
    };
    for (const Magic& m : kMagics) {
        if (startsWith(data, size, m.bytes, m.offset)) {
            return m.name;
        }
    }
    char hex[3 * 8 + 1] = "";
    for (size_t i = 0; i < size && i < 8; ++i) {
        std::snprintf(hex + 3 * i, 4, "%02x ", data[i]);
    }
    std::string first(hex);
    first.pop_back();
    return "of no known format (first bytes " + first + ")";
}

}  // namespace

int PayloadSource::open(struct archive* a) const {
    if (inMemory()) {
        return archive_read_open_memory(a, bytes.data(), bytes.size());
    }
    return archive_read_open_filename(a, path.c_str(), 1 << 16);
}

std::optional<std::string> unsupportedFormat(const PayloadSource& source) {
    base::UniqueFd fd;
    if (!source.inMemory()) {
        fd.reset(::open(source.path.c_str(), O_RDONLY | O_CLOEXEC));
    }
    auto readAt = [&](unsigned char* buf, size_t len, off_t offset) -> ssize_t {
        if (source.inMemory()) {
            const size_t at = static_cast<size_t>(offset);
            const size_t got =
                at < source.bytes.size() ? std::min(len, source.bytes.size() - at) : 0;
            std::memcpy(buf, source.bytes.data() + at, got);
            return static_cast<ssize_t>(got);
        }
        return fd.get() < 0 ? -1 : ::pread(fd.get(), buf, len, offset);
    };
    unsigned char head[512];
    ssize_t n = readAt(head, sizeof head, 0);
    if (n < 0) {
        return std::string("unreadable");
    }
    const size_t size = static_cast<size_t>(n);
    if (isCpio(head, size)) {
        return std::nullopt;
    }
    if (size < 2 || head[0] != 0x1f || head[1] != 0x8b) {
        return nameFormat(head, size);
    }
    // gzip: look at what it holds.
    unsigned char inner[512];
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) {
        return std::string("gzip-compressed data that cannot be inflated");
    }
    unsigned char in[4096];
    off_t offset = 0;
    int r = Z_OK;
    z.next_out = inner;
    z.avail_out = sizeof inner;
    while (z.avail_out > 0 && r == Z_OK) {
        if (z.avail_in == 0) {
            ssize_t got = readAt(in, sizeof in, offset);
            if (got <= 0) {
                break;
            }
            offset += got;
            z.next_in = in;
            z.avail_in = static_cast<uInt>(got);
        }
        r = inflate(&z, Z_NO_FLUSH);
    }
    const size_t innerSize = sizeof inner - z.avail_out;
    inflateEnd(&z);
    if (r != Z_OK && r != Z_STREAM_END && innerSize == 0) {
        return std::string("damaged gzip-compressed data");
    }
    if (isCpio(inner, innerSize)) {
        return std::nullopt;
    }
    return "gzip-compressed data " + nameFormat(inner, innerSize).insert(0, "that is ");
}

}  // namespace installer
