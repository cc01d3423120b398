// The ELF section reader on built images, on a real executable changed by
// objcopy, and on every kind of malformed header.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/elf/elf.h"
#include "tests/support/harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(Bytes& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A minimal image:
//   [0, 64)     ELF header
//   [64, 64+S)  section name table "\0.shstrtab\0__info_plist\0.bss\0"
//   then the plist bytes, then four section headers:
//   0 null, 1 .shstrtab, 2 __info_plist, 3 .bss (NOBITS, named "__info_plist"
//   too when `nobits_first` so the reader must skip it).
struct Built {
    Bytes image;
    size_t shoff;
    size_t plist_offset;
};

Built build(const std::string& plist, bool nobits_first = false) {
    const std::string names = std::string("\0.shstrtab\0__info_plist\0.bss\0", 29);
    Built b;
    b.image.assign(64, 0);
    b.image.insert(b.image.end(), names.begin(), names.end());
    b.plist_offset = b.image.size();
    b.image.insert(b.image.end(), plist.begin(), plist.end());
    while (b.image.size() % 8)
        b.image.push_back(0);
    b.shoff = b.image.size();
    b.image.resize(b.shoff + 4 * 64, 0);
    Bytes& im = b.image;
    std::memcpy(im.data(),
                "\x7f"
                "ELF",
                4);
    im[4] = 2;              // 64-bit
    im[5] = 1;              // little-endian
    im[6] = 1;              // version
    put16(im, 0x10, 2);     // ET_EXEC
    put16(im, 0x12, 0x3e);  // x86-64
    put64(im, 0x28, b.shoff);
    put16(im, 0x34, 64);
    put16(im, 0x3a, 64);
    put16(im, 0x3c, 4);
    put16(im, 0x3e, 1);
    auto sh = [&](int i, uint32_t name, uint32_t type, uint64_t off, uint64_t size) {
        size_t at = b.shoff + static_cast<size_t>(i) * 64;
        put32(im, at, name);
        put32(im, at + 4, type);
        put64(im, at + 24, off);
        put64(im, at + 32, size);
    };
    sh(1, 1, 3, 64, names.size());
    int plist_index = nobits_first ? 3 : 2;
    int nobits_index = nobits_first ? 2 : 3;
    sh(plist_index, 11, 1, b.plist_offset, plist.size());
    sh(nobits_index, nobits_first ? 11 : 24, 8, 0x100000, 0x1000);
    return b;
}

std::optional<std::string> plist_of(const Bytes& image, std::string* error = nullptr) {
    auto s = elf::section_bytes(image, "__info_plist", error);
    if (!s)
        return std::nullopt;
    return std::string(s->begin(), s->end());
}

TEST(Elf, FindsTheSectionInABuiltImage) {
    auto b = build("<plist/>");
    EXPECT_EQ(plist_of(b.image), "<plist/>");
    auto s = elf::find_section(elf::MemorySource(b.image), "__info_plist");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->offset, b.plist_offset);
    EXPECT_EQ(s->size, 8u);
    auto copy = elf::read_section(elf::MemorySource(b.image), "__info_plist", 100);
    ASSERT_TRUE(copy);
    EXPECT_EQ(std::string(copy->begin(), copy->end()), "<plist/>");
    std::string error;
    EXPECT_FALSE(elf::read_section(elf::MemorySource(b.image), "__info_plist", 7, &error));
    EXPECT_EQ(error, "section is too large");
}

TEST(Elf, NamesMatchExactlyAndNobitsSectionsAreSkipped) {
    auto b = build("x");
    std::string error;
    EXPECT_FALSE(elf::section_bytes(b.image, "__info", &error));  // a prefix is not the name
    EXPECT_EQ(error, "no such section");
    EXPECT_FALSE(elf::section_bytes(b.image, "__info_plistX"));
    EXPECT_FALSE(elf::section_bytes(b.image, ".bss"));  // no bytes in the file
    EXPECT_FALSE(elf::section_bytes(b.image, ""));
    auto shadow = build("y", /*nobits_first=*/true);
    EXPECT_EQ(plist_of(shadow.image), "y");
    auto empty = build("");
    EXPECT_EQ(plist_of(empty.image), "");
}

TEST(Elf, MalformedHeadersAreRefused) {
    auto good = build("<plist/>");
    struct Case {
        const char* what;
        void (*mutate)(Built&);
        const char* error;
    };
    const Case cases[] = {
        {"magic", [](Built& b) { b.image[1] = 'X'; }, "not an ELF file"},
        {"class", [](Built& b) { b.image[4] = 1; }, "not a 64-bit ELF file"},
        {"endianness", [](Built& b) { b.image[5] = 2; }, "not a little-endian ELF file"},
        {"version", [](Built& b) { b.image[6] = 0; }, "unknown ELF version"},
        {"no table", [](Built& b) { put64(b.image, 0x28, 0); }, "no section header table"},
        {"entry size", [](Built& b) { put16(b.image, 0x3a, 40); },
         "unexpected section header size"},
        {"table past end", [](Built& b) { put64(b.image, 0x28, b.image.size() - 10); },
         "section header table outside the file"},
        {"table offset wraps", [](Built& b) { put64(b.image, 0x28, ~uint64_t{0} - 63); },
         "section header table outside the file"},
        {"too many sections", [](Built& b) { put16(b.image, 0x3c, 5); },
         "section header table outside the file"},
        {"string table index", [](Built& b) { put16(b.image, 0x3e, 4); },
         "bad section name table index"},
        {"string table past end",
         [](Built& b) { put64(b.image, b.shoff + 64 + 32, b.image.size()); },
         "section name table outside the file"},
        {"section data past end",
         [](Built& b) { put64(b.image, b.shoff + 128 + 32, b.image.size()); },
         "section data outside the file"},
        {"section offset wraps", [](Built& b) { put64(b.image, b.shoff + 128 + 24, ~uint64_t{0}); },
         "section data outside the file"},
        {"name offset past table", [](Built& b) { put32(b.image, b.shoff + 128, 1000); },
         "no such section"},
        {"extended count absurd",
         [](Built& b) {
             put16(b.image, 0x3c, 0);
             put64(b.image, b.shoff + 32, uint64_t{1} << 40);
         },
         "bad section count"},
    };
    for (const auto& c : cases) {
        Built b = good;
        c.mutate(b);
        std::string error;
        EXPECT_FALSE(plist_of(b.image, &error)) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
    }
    std::string error;
    EXPECT_FALSE(plist_of(Bytes(good.image.begin(), good.image.begin() + 63), &error));
    EXPECT_EQ(error, "file is too short for an ELF header");
}

TEST(Elf, ExtendedSectionNumbering) {
    auto b = build("ext");
    put16(b.image, 0x3c, 0);  // count in section 0's size
    put64(b.image, b.shoff + 32, 4);
    put16(b.image, 0x3e, 0xffff);  // name table index in section 0's link
    put32(b.image, b.shoff + 40, 1);
    EXPECT_EQ(plist_of(b.image), "ext");
}

TEST(Elf, NameWithoutTerminatorAtTheEndOfTheTable) {
    auto b = build("z");
    // Shrink the name table so that "__info_plist" loses its NUL.
    put64(b.image, b.shoff + 64 + 32, 11 + 12);
    EXPECT_FALSE(plist_of(b.image));
}

TEST(Elf, RandomCorruptionNeverReadsOutside) {
    auto good = build("<plist><dict/></plist>");
    std::mt19937 rng(12345);
    for (int round = 0; round < 20000; ++round) {
        Built b = good;
        int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; ++i) {
            b.image[rng() % b.image.size()] = static_cast<uint8_t>(rng());
        }
        if (rng() % 4 == 0)
            b.image.resize(rng() % b.image.size());
        auto s = elf::section_bytes(b.image, "__info_plist");
        if (s) {
            ASSERT_GE(s->data(), b.image.data());
            ASSERT_LE(s->data() + s->size(), b.image.data() + b.image.size());
        }
    }
}

TEST(Elf, RealExecutableWithAnAddedSection) {
    char dir[] = "/tmp/elf_test.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string d = dir;
    { std::ofstream(d + "/plist") << "<?xml version=\"1.0\"?><plist><dict/></plist>"; }
    std::string cmd = std::string(XQ_OBJCOPY) + " --add-section __info_plist=" + d +
                      "/plist /proc/self/exe " + d + "/exe";
    int rc = std::system(cmd.c_str());
    ASSERT_EQ(rc, 0) << cmd;
    Bytes image = xqtest::readBytes(d + "/exe");
    auto plist = plist_of(image);
    EXPECT_EQ(plist, "<?xml version=\"1.0\"?><plist><dict/></plist>");
    EXPECT_TRUE(elf::section_bytes(image, ".text"));
    Bytes self = xqtest::readBytes("/proc/self/exe");
    EXPECT_FALSE(elf::section_bytes(self, "__info_plist"));
    EXPECT_TRUE(elf::section_bytes(self, ".shstrtab"));
    std::error_code ec;
    std::filesystem::remove_all(d, ec);
}

}  // namespace
