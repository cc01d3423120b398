#include "platform/elf/elf.h"

#include <array>
#include <cstring>

#include "platform/base/cursor.h"

namespace elf {
namespace {

constexpr size_t kEhdrSize = 64;
constexpr size_t kShdrSize = 64;
constexpr uint32_t kShtNobits = 8;
constexpr uint16_t kShnXindex = 0xffff;
constexpr size_t kMaxName = 256;

struct Shdr {
    uint32_t name = 0;
    uint32_t type = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t link = 0;
};

// The fields of one raw section header (Elf64_Shdr) that the reader uses.
Shdr parse_shdr(const std::array<uint8_t, kShdrSize>& raw) {
    base::Cursor c(raw.data(), raw.size());
    Shdr sh;
    sh.name = c.le32();
    sh.type = c.le32();
    c.skip(8 + 8);  // sh_flags, sh_addr
    sh.offset = c.le64();
    sh.size = c.le64();
    sh.link = c.le32();
    return sh;  // the header is read whole: the cursor cannot run out
}

// The range [offset, offset + size) lies inside the image.
bool inside(const Source& image, uint64_t offset, uint64_t size) {
    uint64_t total = image.size();
    return offset <= total && size <= total - offset;
}

bool fail(std::string* error, const char* why) {
    if (error) {
        *error = why;
    }
    return false;
}

struct Layout {
    uint64_t shoff = 0;
    uint64_t shnum = 0;
    uint64_t shstrndx = 0;
};

bool read_shdr(const Source& image, const Layout& layout, uint64_t index, Shdr& out) {
    std::array<uint8_t, kShdrSize> raw{};
    uint64_t at = layout.shoff + index * kShdrSize;  // bounded: table checked inside the image
    if (!image.read(at, raw)) {
        return false;
    }
    out = parse_shdr(raw);
    return true;
}

bool read_layout(const Source& image, Layout& layout, std::string* error) {
    std::array<uint8_t, kEhdrSize> eh{};
    if (image.size() < kEhdrSize || !image.read(0, eh)) {
        return fail(error, "file is too short for an ELF header");
    }
    // Elf64_Ehdr, read whole.
    base::Cursor h(eh.data(), eh.size());
    const std::string_view magic = h.chars(4);
    const uint8_t elf_class = h.u8();
    const uint8_t data = h.u8();
    const uint8_t version = h.u8();
    h.skip(9 + 2 + 2 + 4 + 8 + 8);  // rest of e_ident, type, machine, version, entry, phoff
    layout.shoff = h.le64();
    h.skip(4 + 2 + 2 + 2);  // flags, ehsize, phentsize, phnum
    const uint16_t shentsize = h.le16();
    layout.shnum = h.le16();
    layout.shstrndx = h.le16();
    if (magic !=
        "\x7f"
        "ELF") {
        return fail(error, "not an ELF file");
    }
    if (elf_class != 2) {
        return fail(error, "not a 64-bit ELF file");
    }
    if (data != 1) {
        return fail(error, "not a little-endian ELF file");
    }
    if (version != 1) {
        return fail(error, "unknown ELF version");
    }
    if (layout.shoff == 0) {
        return fail(error, "no section header table");
    }
    if (shentsize != kShdrSize) {
        return fail(error, "unexpected section header size");
    }
    if (!inside(image, layout.shoff, kShdrSize)) {
        return fail(error, "section header table outside the file");
    }
    // Extended numbering: the real count and string-table index live in the
    // first section header.
    if (layout.shnum == 0 || layout.shstrndx == kShnXindex) {
        std::array<uint8_t, kShdrSize> first{};
        if (!image.read(layout.shoff, first)) {
            return fail(error, "section header table outside the file");
        }
        const Shdr zero = parse_shdr(first);
        if (layout.shnum == 0) {
            layout.shnum = zero.size;
        }
        if (layout.shstrndx == kShnXindex) {
            layout.shstrndx = zero.link;
        }
    }
    if (layout.shnum == 0 || layout.shnum > kMaxSections) {
        return fail(error, "bad section count");
    }
    if (!inside(image, layout.shoff, layout.shnum * kShdrSize)) {
        return fail(error, "section header table outside the file");
    }
    if (layout.shstrndx >= layout.shnum) {
        return fail(error, "bad section name table index");
    }
    return true;
}

}  // namespace

bool MemorySource::read(uint64_t offset, std::span<uint8_t> out) const {
    if (offset > image_.size() || out.size() > image_.size() - offset) {
        return false;
    }
    if (!out.empty()) {
        std::memcpy(out.data(), image_.data() + offset, out.size());
    }
    return true;
}

std::optional<Section> find_section(const Source& image, std::string_view name,
                                    std::string* error) {
    Layout layout;
    if (!read_layout(image, layout, error)) {
        return std::nullopt;
    }
    if (name.empty() || name.size() >= kMaxName) {
        fail(error, "bad section name");
        return std::nullopt;
    }
    Shdr strtab{};
    if (!read_shdr(image, layout, layout.shstrndx, strtab)) {
        fail(error, "section header table outside the file");
        return std::nullopt;
    }
    if (strtab.type == kShtNobits || !inside(image, strtab.offset, strtab.size)) {
        fail(error, "section name table outside the file");
        return std::nullopt;
    }
    std::array<uint8_t, kMaxName> buf{};
    const uint64_t want = name.size() + 1;  // the name and its terminating NUL
    for (uint64_t i = 0; i < layout.shnum; ++i) {
        Shdr sh{};
        if (!read_shdr(image, layout, i, sh)) {
            fail(error, "section header table outside the file");
            return std::nullopt;
        }
        if (sh.name >= strtab.size || strtab.size - sh.name < want) {
            continue;  // cannot hold the name (and its NUL) inside the table
        }
        if (!image.read(strtab.offset + sh.name, std::span<uint8_t>(buf.data(), want))) {
            fail(error, "section name table outside the file");
            return std::nullopt;
        }
        if (std::memcmp(buf.data(), name.data(), name.size()) != 0 || buf[name.size()] != 0) {
            continue;
        }
        if (sh.type == kShtNobits) {
            continue;
        }
        if (!inside(image, sh.offset, sh.size)) {
            fail(error, "section data outside the file");
            return std::nullopt;
        }
        return Section{sh.offset, sh.size};
    }
    fail(error, "no such section");
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> read_section(const Source& image, std::string_view name,
                                                 uint64_t max_size, std::string* error) {
    auto section = find_section(image, name, error);
    if (!section) {
        return std::nullopt;
    }
    if (section->size > max_size) {
        fail(error, "section is too large");
        return std::nullopt;
    }
    std::vector<uint8_t> out(static_cast<size_t>(section->size));
    if (!image.read(section->offset, out)) {
        fail(error, "cannot read section data");
        return std::nullopt;
    }
    return out;
}

std::optional<std::span<const uint8_t>> section_bytes(std::span<const uint8_t> image,
                                                      std::string_view name, std::string* error) {
    MemorySource source(image);
    auto section = find_section(source, name, error);
    if (!section) {
        return std::nullopt;
    }
    return image.subspan(static_cast<size_t>(section->offset), static_cast<size_t>(section->size));
}

}  // namespace elf
