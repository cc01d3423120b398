#include "platform/base/cursor.h"

#include <bit>

namespace base {

const uint8_t* Cursor::take(size_t n) {
    if (!ok_ || n > size_ - pos_) {
        ok_ = false;
        return nullptr;
    }
    const uint8_t* at = data_ + pos_;
    pos_ += n;
    return at;
}

template <class T, bool Big>
T Cursor::integer() {
    const uint8_t* at = take(sizeof(T));
    if (at == nullptr) {
        return 0;
    }
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        const size_t k = Big ? i : sizeof(T) - 1 - i;
        value = static_cast<T>((value << 8) | at[k]);
    }
    return value;
}

uint8_t Cursor::u8() {
    const uint8_t* at = take(1);
    return at == nullptr ? 0 : *at;
}
uint16_t Cursor::be16() {
    return integer<uint16_t, true>();
}
uint32_t Cursor::be32() {
    return integer<uint32_t, true>();
}
uint64_t Cursor::be64() {
    return integer<uint64_t, true>();
}
uint16_t Cursor::le16() {
    return integer<uint16_t, false>();
}
uint32_t Cursor::le32() {
    return integer<uint32_t, false>();
}
uint64_t Cursor::le64() {
    return integer<uint64_t, false>();
}

uint16_t Cursor::native16() {
    return std::endian::native == std::endian::little ? le16() : be16();
}
uint32_t Cursor::native32() {
    return std::endian::native == std::endian::little ? le32() : be32();
}

std::span<const uint8_t> Cursor::bytes(size_t n) {
    const uint8_t* at = take(n);
    return at == nullptr ? std::span<const uint8_t>() : std::span<const uint8_t>(at, n);
}

std::string_view Cursor::chars(size_t n) {
    const uint8_t* at = take(n);
    return at == nullptr ? std::string_view()
                         : std::string_view(reinterpret_cast<const char*>(at), n);
}

bool Cursor::skip(size_t n) {
    return take(n) != nullptr;
}

Cursor Cursor::sub(size_t n) {
    const uint8_t* at = take(n);
    if (at == nullptr) {
        Cursor failed;
        failed.ok_ = false;
        return failed;
    }
    return Cursor(at, n);
}

Cursor Cursor::window(uint64_t offset, uint64_t length) const {
    if (offset > size_ || length > size_ - offset) {
        Cursor failed;
        failed.ok_ = false;
        return failed;
    }
    return Cursor(data_ + offset, static_cast<size_t>(length));
}

}  // namespace base
