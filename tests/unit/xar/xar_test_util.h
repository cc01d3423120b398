// Hand-made XAR archives for reader tests: a table of contents written as
// text, a heap assembled piece by piece, and the checksum computed (or not)
// as the test wants.
#pragma once

#include <bzlib.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/xar/xar.h"
#include "tests/support/harness.h"

namespace xartest {

using Bytes = std::vector<uint8_t>;

// An archive opened with the reader, closed at the end.
struct Archive {
    xar_t x = nullptr;
    explicit Archive(const std::string& path) : x(xar_open(path.c_str(), READ)) {}
    ~Archive() {
        if (x)
            xar_close(x);
    }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;
};

struct Iter {
    xar_iter_t i = xar_iter_new();
    ~Iter() { xar_iter_free(i); }
    Iter() = default;
    Iter(const Iter&) = delete;
    Iter& operator=(const Iter&) = delete;
};

// The members' paths in the archive's order (with `safe`, as the reader
// makes them safe to extract).
inline std::vector<std::string> walk(xar_t x, bool safe = false) {
    std::vector<std::string> out;
    Iter it;
    for (xar_file_t f = xar_file_first(x, it.i); f; f = xar_file_next(it.i)) {
        char* p = safe ? xar_get_safe_path(f) : xar_get_path(f);
        out.push_back(p ? p : "(null)");
        free(p);
    }
    return out;
}

// Extracts the first member, in archive order, whose path (made safe, with
// `safe`) `matches`, to `dest`; false when none does or the extraction
// fails. `found`, when given, gets the member's path.
inline bool extractFirst(const std::string& pkg, bool safe,
                         const std::function<bool(const std::string&)>& matches,
                         const std::string& dest, std::string* found = nullptr) {
    Archive a(pkg);
    if (!a.x)
        return false;
    Iter it;
    for (xar_file_t f = xar_file_first(a.x, it.i); f; f = xar_file_next(it.i)) {
        char* p = safe ? xar_get_safe_path(f) : xar_get_path(f);
        const std::string path = p ? p : "";
        free(p);
        if (matches(path)) {
            if (found)
                *found = path;
            return xar_extract_tofile(a.x, f, dest.c_str()) == 0;
        }
    }
    return false;
}

inline Bytes to_bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes digest(const EVP_MD* md, const Bytes& in) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    EVP_Digest(in.data(), in.size(), out.data(), &len, md, nullptr);
    out.resize(len);
    return out;
}

inline std::string hex(const Bytes& b) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

inline Bytes zlib(const Bytes& in, int level = 9) {
    uLongf len = compressBound(uLong(in.size()));
    Bytes out(len);
    compress2(out.data(), &len, in.data(), uLong(in.size()), level);
    out.resize(len);
    return out;
}

inline Bytes bzip2(const Bytes& in) {
    unsigned len = unsigned(in.size() + in.size() / 100 + 600);
    Bytes out(len), src = in;
    BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &len,
                             reinterpret_cast<char*>(src.data()), unsigned(src.size()), 9, 0, 0);
    out.resize(len);
    return out;
}

enum class Enc { None, Gzip, Bzip2 };

// Builds the heap after the table-of-contents checksum and the matching <data>
// elements. Offsets are relative to the heap start, so the checksum's size
// (sum_size) comes first.
struct HeapBuilder {
    size_t sum_size = 20;
    Bytes tail;

    uint64_t next_offset() const { return sum_size + tail.size(); }

    // Appends raw bytes (a signature, say) and returns their heap offset.
    uint64_t add_raw(const Bytes& b) {
        uint64_t off = next_offset();
        tail.insert(tail.end(), b.begin(), b.end());
        return off;
    }

    // Appends plain data encoded as asked; returns the <data> element.
    std::string add(const Bytes& plain, Enc enc = Enc::Gzip, const char* sum_style = "sha1") {
        Bytes stored = enc == Enc::Gzip ? zlib(plain) : enc == Enc::Bzip2 ? bzip2(plain) : plain;
        const EVP_MD* md = std::string(sum_style) == "sha256" ? EVP_sha256() : EVP_sha1();
        uint64_t off = add_raw(stored);
        const char* es = enc == Enc::Gzip    ? "application/x-gzip"
                         : enc == Enc::Bzip2 ? "application/x-bzip2"
                                             : "application/octet-stream";
        return "<data><length>" + std::to_string(stored.size()) + "</length><offset>" +
               std::to_string(off) + "</offset><size>" + std::to_string(plain.size()) +
               "</size><encoding style=\"" + es + "\"/><archived-checksum style=\"" + sum_style +
               "\">" + hex(digest(md, stored)) +
               "</archived-checksum><extracted-checksum style=\"" + sum_style + "\">" +
               hex(digest(md, plain)) + "</extracted-checksum></data>";
    }
};

inline std::string file_xml(const std::string& name, const std::string& data,
                            const std::string& children = "", const char* type = "file") {
    return "<file><name>" + name + "</name><type>" + type + "</type>" + data + children + "</file>";
}

inline std::string toc_xml(const std::string& body, const char* style = "sha1",
                           size_t sum_size = 20) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xar><toc><checksum style=\"" +
           std::string(style) + "\"><offset>0</offset><size>" + std::to_string(sum_size) +
           "</size></checksum>" + body + "</toc></xar>";
}

struct ArchiveSpec {
    std::string xml;
    Bytes heap_tail;
    uint32_t alg = 1;  // header cksum_alg
    uint16_t header_size = 28;
    const EVP_MD* md = EVP_sha1();  // digest stored in the heap
    bool corrupt_sum = false;
    int64_t ulen_delta = 0;  // lie about the uncompressed length
};

inline void put_be(Bytes* out, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i)
        out->push_back(uint8_t(v >> (8 * i)));
}

inline Bytes build_archive(const ArchiveSpec& s) {
    Bytes toc = to_bytes(s.xml);
    Bytes z = zlib(toc);
    Bytes out;
    put_be(&out, 0x78617221, 4);
    put_be(&out, s.header_size, 2);
    put_be(&out, 1, 2);
    put_be(&out, z.size(), 8);
    put_be(&out, uint64_t(int64_t(toc.size()) + s.ulen_delta), 8);
    put_be(&out, s.alg, 4);
    while (out.size() < s.header_size)
        out.push_back(0);
    out.insert(out.end(), z.begin(), z.end());
    Bytes sum = digest(s.md, z);
    if (s.corrupt_sum)
        sum[0] ^= 1;
    out.insert(out.end(), sum.begin(), sum.end());
    out.insert(out.end(), s.heap_tail.begin(), s.heap_tail.end());
    return out;
}

inline void write_file(const std::string& path, const Bytes& b) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

inline bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A private scratch directory, removed with its contents at the end.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        char t[] = "/tmp/xartest-XXXXXX";
        path = mkdtemp(t);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string operator/(const std::string& n) const { return path + "/" + n; }
    // Number of entries in the directory (to see that nothing was left).
    size_t count() const {
        size_t n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(path))
            ++n;
        return n;
    }
};

}  // namespace xartest
