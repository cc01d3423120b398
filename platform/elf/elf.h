// Finds a named section in an ELF64 little-endian image (x86-64 executables).
//
// The image is hostile input: every offset, size and count is checked against
// the image and fixed caps before it is used, arithmetic cannot overflow, and
// a malformed image gives nullopt with a reason, never a read outside it.
// Reads go through a Source, so the image may sit in memory or be read from a
// descriptor piece by piece.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace elf {

// Random access to the bytes of an image.
class Source {
  public:
    virtual ~Source() = default;
    virtual uint64_t size() const = 0;
    // Fills `out` from `offset`; false if that range is not all inside the image
    // (or cannot be read).
    virtual bool read(uint64_t offset, std::span<uint8_t> out) const = 0;
};

// An image held in memory (which must outlive the source).
class MemorySource : public Source {
  public:
    explicit MemorySource(std::span<const uint8_t> image) : image_(image) {}
    uint64_t size() const override { return image_.size(); }
    bool read(uint64_t offset, std::span<uint8_t> out) const override;

  private:
    std::span<const uint8_t> image_;
};

struct Section {
    uint64_t offset = 0;  // in the file
    uint64_t size = 0;
};

// Caps on what the reader accepts.
inline constexpr uint64_t kMaxSections = 1u << 16;

// The file range of the first section called `name` that has bytes in the
// file (SHT_NOBITS sections have none). nullopt when the image is not a
// well-formed ELF64 little-endian file, or has no such section; `error` then
// says which.
std::optional<Section> find_section(const Source& image, std::string_view name,
                                    std::string* error = nullptr);

// The bytes of that section, refused when larger than `max_size`.
std::optional<std::vector<uint8_t>> read_section(const Source& image, std::string_view name,
                                                 uint64_t max_size, std::string* error = nullptr);

// The same for an image in memory, without copying.
std::optional<std::span<const uint8_t>> section_bytes(std::span<const uint8_t> image,
                                                      std::string_view name,
                                                      std::string* error = nullptr);

}  // namespace elf
