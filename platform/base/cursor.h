// Reads integers and byte runs from a buffer of outside input. A read past the
// end does not happen: it fails the cursor instead, and from then on every
// read returns zero or an empty span and every skip fails, so that a parser
// reads a whole record and checks ok() once, where it decides what the record
// means. Lengths are compared with what is left, never added to the position,
// so no offset + length can wrap around.
//
// Everything is inline: parsers call these in their inner loops.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace base {

class Cursor {
  public:
    Cursor() = default;
    Cursor(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}
    explicit Cursor(std::span<const uint8_t> bytes) : Cursor(bytes.data(), bytes.size()) {}
    explicit Cursor(std::string_view bytes) : Cursor(bytes.data(), bytes.size()) {}

    // No read has run past the end.
    [[nodiscard]] bool ok() const { return ok_; }
    // Bytes read or skipped so far, from the start of the buffer.
    [[nodiscard]] size_t offset() const { return pos_; }
    [[nodiscard]] size_t size() const { return size_; }
    // Bytes left to read (none once failed).
    [[nodiscard]] size_t remaining() const { return ok_ ? size_ - pos_ : 0; }
    [[nodiscard]] bool atEnd() const { return remaining() == 0; }
    // Marks the cursor failed, as a read past the end does: for a parser that
    // finds a value it cannot accept and wants one failure path.
    void fail() { ok_ = false; }

    uint8_t u8() {
        const uint8_t* at = take(1);
        return at == nullptr ? 0 : *at;
    }
    uint16_t be16() { return integer<uint16_t, true>(); }
    uint32_t be32() { return integer<uint32_t, true>(); }
    uint64_t be64() { return integer<uint64_t, true>(); }
    uint16_t le16() { return integer<uint16_t, false>(); }
    uint32_t le32() { return integer<uint32_t, false>(); }
    uint64_t le64() { return integer<uint64_t, false>(); }
    // In this machine's own byte order, for records the kernel wrote.
    uint16_t native16() { return integer<uint16_t, std::endian::native == std::endian::big>(); }
    uint32_t native32() { return integer<uint32_t, std::endian::native == std::endian::big>(); }

    // The next `n` bytes, or an empty span (and a failed cursor) when fewer
    // are left.
    std::span<const uint8_t> bytes(size_t n) {
        const uint8_t* at = take(n);
        return at == nullptr ? std::span<const uint8_t>() : std::span<const uint8_t>(at, n);
    }
    // The next `n` bytes as characters.
    std::string_view chars(size_t n) {
        const uint8_t* at = take(n);
        return at == nullptr ? std::string_view()
                             : std::string_view(reinterpret_cast<const char*>(at), n);
    }
    // Moves past `n` bytes; false (and failed) when fewer are left.
    bool skip(size_t n) { return take(n) != nullptr; }
    // A cursor over the next `n` bytes, which this one moves past; a failed
    // empty cursor (and this one failed) when fewer are left.
    Cursor sub(size_t n) {
        const uint8_t* at = take(n);
        return at == nullptr ? failed() : Cursor(at, n);
    }
    // A cursor over `length` bytes at `offset` from the start of this
    // buffer, leaving this one where it is; failed and empty when the range
    // is not inside the buffer (this one is not failed by it).
    [[nodiscard]] Cursor window(uint64_t offset, uint64_t length) const {
        if (offset > size_ || length > size_ - offset) {
            return failed();
        }
        return Cursor(data_ + offset, static_cast<size_t>(length));
    }

  private:
    static Cursor failed() {
        Cursor c;
        c.ok_ = false;
        return c;
    }

    // The next `n` bytes, or null (and failed) when fewer are left.
    const uint8_t* take(size_t n) {
        if (!ok_ || n > size_ - pos_) {
            ok_ = false;
            return nullptr;
        }
        const uint8_t* at = data_ + pos_;
        pos_ += n;
        return at;
    }

    template <class T, bool Big>
    T integer() {
        const uint8_t* at = take(sizeof(T));
        if (at == nullptr) {
            return 0;
        }
        T value = 0;
        for (size_t i = 0; i < sizeof(T); ++i) {
            value = static_cast<T>((value << 8) | at[Big ? i : sizeof(T) - 1 - i]);
        }
        return value;
    }

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace base
