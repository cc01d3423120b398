#include "platform/codesign/signature.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "platform/base/cursor.h"
#include "platform/base/fd.h"
#include "platform/bundle/bundle.h"
#include "platform/elf/elf.h"

namespace codesign {
namespace {

void put_be(Bytes& out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

std::string_view magic_of(const char (&m)[8]) {
    return std::string_view(m, sizeof m);
}

template <typename T>
std::optional<T> fail(std::string* error, std::string why) {
    if (error) {
        *error = std::move(why);
    }
    return std::nullopt;
}

bool pread_all(int fd, uint8_t* buf, size_t n, uint64_t offset) {
    // A short read means the file shrank underneath.
    return base::readFullAt(fd, buf, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
}

// Reads the covered bytes of a file through a descriptor, limited to them.
class FdSource : public elf::Source {
  public:
    FdSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
    uint64_t size() const override { return size_; }
    bool read(uint64_t offset, std::span<uint8_t> out) const override {
        if (offset > size_ || out.size() > size_ - offset) {
            return false;
        }
        return pread_all(fd_, out.data(), out.size(), offset);
    }

  private:
    int fd_;
    uint64_t size_;
};

// Notes every range read through it, so that the same ranges can be captured
// from the bytes that are hashed.
class RecordingSource : public elf::Source {
  public:
    explicit RecordingSource(const elf::Source& inner) : inner_(inner) {}
    uint64_t size() const override { return inner_.size(); }
    bool read(uint64_t offset, std::span<uint8_t> out) const override {
        if (!inner_.read(offset, out)) {
            return false;
        }
        if (!out.empty()) {
            ranges_.emplace_back(offset, offset + out.size());
        }
        return true;
    }
    // The ranges read, sorted and merged.
    std::vector<std::pair<uint64_t, uint64_t>> merged() const {
        auto r = ranges_;
        std::sort(r.begin(), r.end());
        std::vector<std::pair<uint64_t, uint64_t>> out;
        for (auto& [b, e] : r) {
            if (!out.empty() && b <= out.back().second) {
                out.back().second = std::max(out.back().second, e);
            } else {
                out.emplace_back(b, e);
            }
        }
        return out;
    }

  private:
    const elf::Source& inner_;
    mutable std::vector<std::pair<uint64_t, uint64_t>> ranges_;
};

// Serves reads only from pieces captured while hashing; a read that is not
// wholly inside one piece fails.
class CapturedSource : public elf::Source {
  public:
    explicit CapturedSource(uint64_t size) : size_(size) {}
    uint64_t size() const override { return size_; }
    bool read(uint64_t offset, std::span<uint8_t> out) const override {
        auto it = pieces_.upper_bound(offset);
        if (it == pieces_.begin()) {
            return false;
        }
        --it;
        uint64_t begin = it->first;
        const Bytes& bytes = it->second;
        if (offset - begin > bytes.size() || out.size() > bytes.size() - (offset - begin)) {
            return false;
        }
        std::memcpy(out.data(), bytes.data() + (offset - begin), out.size());
        return true;
    }
    void add(uint64_t begin, uint64_t end) { pieces_[begin].resize(end - begin); }
    // Copies the parts of [chunk_offset, chunk_offset + chunk.size()) that
    // fall inside captured pieces.
    void capture(uint64_t chunk_offset, std::span<const uint8_t> chunk) {
        const uint64_t chunk_end = chunk_offset + chunk.size();
        for (auto& [begin, bytes] : pieces_) {
            const uint64_t end = begin + bytes.size();
            const uint64_t lo = std::max(begin, chunk_offset);
            const uint64_t hi = std::min(end, chunk_end);
            if (lo < hi) {
                std::memcpy(bytes.data() + (lo - begin), chunk.data() + (lo - chunk_offset),
                            hi - lo);
            }
        }
    }

  private:
    uint64_t size_;
    std::map<uint64_t, Bytes> pieces_;
};

constexpr char kInfoPlist[] = "__info_plist";
// Headers, section headers and names of an executable are small; more than
// this beside the plist is not an executable worth reading.
constexpr uint64_t kMaxCapture = kMaxInfoPlist + uint64_t{8} * 1024 * 1024;
// Large enough for few reads, small enough to stay in the cache while hashed.
constexpr size_t kHashChunk = size_t{256} * 1024;
// Without a reader thread the buffer is smaller: a fresh process faults in
// every page of it once, and a small file is read in a few pieces anyway.
constexpr size_t kSmallHashChunk = size_t{32} * 1024;
// From this size on, the next piece is read on a second thread while this
// one hashes the last (hashing is the slower of the two, so the copying out
// of the page cache costs nothing); below it a thread is not worth starting.
constexpr uint64_t kOverlapFrom = uint64_t{4} * 1024 * 1024;

// Reads [0, length) of `fd` in pieces of `chunk` bytes, handing each to
// `consume` in order. With `overlap`, a reader thread fills one buffer while
// `consume` runs on the other. False if a read failed.
template <typename Consume>
bool read_in_pieces(int fd, uint64_t length, size_t chunk, bool overlap, Consume&& consume) {
    if (!overlap) {
        // Not zero-filled: every byte used is first read into it.
        auto buffer = std::make_unique_for_overwrite<uint8_t[]>(chunk);
        for (uint64_t offset = 0; offset < length;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, length - offset));
            if (!pread_all(fd, buffer.get(), n, offset)) {
                return false;
            }
            consume(offset, std::span<const uint8_t>(buffer.get(), n));
            offset += n;
        }
        return true;
    }
    struct Slot {
        std::unique_ptr<uint8_t[]> data;
        size_t size = 0;
        bool full = false;
        bool failed = false;
    };
    Slot slots[2];
    for (Slot& slot : slots) {
        slot.data = std::make_unique_for_overwrite<uint8_t[]>(chunk);
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool stop = false;
    std::thread reader([&] {
        size_t next = 0;
        for (uint64_t offset = 0; offset < length; next ^= 1) {
            Slot& slot = slots[next];
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return !slot.full || stop; });
                if (stop) {
                    return;
                }
            }
            const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, length - offset));
            const bool ok = pread_all(fd, slot.data.get(), n, offset);
            {
                std::lock_guard lock(mutex);
                slot.size = n;
                slot.failed = !ok;
                slot.full = true;
            }
            changed.notify_all();
            if (!ok) {
                return;
            }
            offset += n;
        }
    });
    bool ok = true;
    size_t next = 0;
    for (uint64_t offset = 0; offset < length; next ^= 1) {
        Slot& slot = slots[next];
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return slot.full; });
        }
        if (slot.failed) {
            ok = false;
            break;
        }
        consume(offset, std::span<const uint8_t>(slot.data.get(), slot.size));
        offset += slot.size;
        {
            std::lock_guard lock(mutex);
            slot.full = false;
        }
        changed.notify_all();
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    changed.notify_all();
    reader.join();
    return ok;
}

}  // namespace

bool valid_identifier(std::string_view identifier) {
    if (identifier.empty() || identifier.size() > kMaxIdentifier) {
        return false;
    }
    return std::all_of(identifier.begin(), identifier.end(),
                       [](char c) { return c > 0x20 && c < 0x7f; });
}

Bytes encode_record(const SignedRecord& record) {
    Bytes out(std::begin(kRecordMagic), std::end(kRecordMagic));
    put_be(out, record.identifier.size(), 2);
    out.insert(out.end(), record.identifier.begin(), record.identifier.end());
    put_be(out, record.length, 8);
    out.insert(out.end(), record.sha256.begin(), record.sha256.end());
    return out;
}

std::optional<SignedRecord> decode_record(std::span<const uint8_t> bytes, std::string* error) {
    if (bytes.size() > kMaxRecord) {
        return fail<SignedRecord>(error, "signed record is too large");
    }
    base::Cursor r(bytes);
    if (r.chars(8) != magic_of(kRecordMagic)) {
        return fail<SignedRecord>(error, "signed record has a bad magic");
    }
    const uint16_t id_len = r.be16();
    const std::string_view id = r.chars(id_len);
    if (!r.ok()) {
        return fail<SignedRecord>(error, "signed record is truncated");
    }
    SignedRecord record;
    record.identifier.assign(id);
    if (!valid_identifier(record.identifier)) {
        return fail<SignedRecord>(error, "signed record has a bad identifier");
    }
    record.length = r.be64();
    const std::span<const uint8_t> digest = r.bytes(record.sha256.size());
    if (!r.ok()) {
        return fail<SignedRecord>(error, "signed record is truncated");
    }
    std::copy(digest.begin(), digest.end(), record.sha256.begin());
    if (!r.atEnd()) {
        return fail<SignedRecord>(error, "signed record has trailing bytes");
    }
    return record;
}

Bytes encode_block(std::span<const uint8_t> record_bytes, std::span<const uint8_t> cms) {
    Bytes out(std::begin(kBlockMagic), std::end(kBlockMagic));
    put_be(out, record_bytes.size(), 4);
    out.insert(out.end(), record_bytes.begin(), record_bytes.end());
    put_be(out, cms.size(), 4);
    out.insert(out.end(), cms.begin(), cms.end());
    return out;
}

std::optional<Block> decode_block(std::span<const uint8_t> bytes, std::string* error) {
    if (bytes.size() > kMaxBlock) {
        return fail<Block>(error, "signature block is too large");
    }
    base::Cursor r(bytes);
    if (r.chars(8) != magic_of(kBlockMagic)) {
        return fail<Block>(error, "signature block has a bad magic");
    }
    const uint32_t record_len = r.be32();
    const std::span<const uint8_t> record = r.bytes(record_len <= kMaxRecord ? record_len : 0);
    if (!r.ok() || record_len > kMaxRecord) {
        return fail<Block>(error, "signature block has a bad record length");
    }
    const uint32_t cms_len = r.be32();
    const std::span<const uint8_t> cms = r.bytes(cms_len <= kMaxCms ? cms_len : 0);
    if (!r.ok() || cms_len == 0 || cms_len > kMaxCms) {
        return fail<Block>(error, "signature block has a bad signature length");
    }
    if (!r.atEnd()) {
        return fail<Block>(error, "signature block has trailing bytes");
    }
    Block block;
    auto decoded = decode_record(record, error);
    if (!decoded) {
        return std::nullopt;
    }
    block.record = std::move(*decoded);
    block.record_bytes.assign(record.begin(), record.end());
    block.cms.assign(cms.begin(), cms.end());
    return block;
}

TrailerStatus locate_block(uint64_t file_size, std::span<const uint8_t, kTrailerSize> trailer,
                           Location& location) {
    base::Cursor t(trailer);
    const uint64_t block_length = t.be64();
    if (file_size < kTrailerSize ||
        t.chars(sizeof kTrailerMagic) != std::string_view(kTrailerMagic, sizeof kTrailerMagic)) {
        return TrailerStatus::unsigned_file;
    }
    if (block_length > kMaxBlock || block_length > file_size - kTrailerSize) {
        return TrailerStatus::malformed;
    }
    location.block_length = block_length;
    location.covered_length = file_size - kTrailerSize - block_length;
    return TrailerStatus::ok;
}

Bytes encode_trailer(uint64_t block_length) {
    Bytes out;
    put_be(out, block_length, 8);
    out.insert(out.end(), std::begin(kTrailerMagic), std::end(kTrailerMagic));
    return out;
}

std::optional<std::span<const uint8_t>> unsigned_part(std::span<const uint8_t> image,
                                                      std::string* error) {
    if (image.size() < kTrailerSize) {
        return image;
    }
    Location loc;
    auto trailer = image.last<kTrailerSize>();
    switch (locate_block(image.size(), trailer, loc)) {
        case TrailerStatus::unsigned_file:
            return image;
        case TrailerStatus::malformed:
            return fail<std::span<const uint8_t>>(error, "file ends in a malformed signature");
        case TrailerStatus::ok:
            break;
    }
    std::string why;
    if (!decode_block(image.subspan(loc.covered_length, loc.block_length), &why)) {
        return fail<std::span<const uint8_t>>(error, "file ends in a malformed signature: " + why);
    }
    return image.first(loc.covered_length);
}

std::optional<Bytes> sign_image(std::span<const uint8_t> image, const Identity& identity,
                                std::string_view identifier, std::string* error) {
    if (!valid_identifier(identifier)) {
        return fail<Bytes>(error, "bad signing identifier");
    }
    auto covered = unsigned_part(image, error);
    if (!covered) {
        return std::nullopt;
    }
    auto digest = security::sha256(*covered);
    if (!digest) {
        return fail<Bytes>(error, "cannot hash the file");
    }
    SignedRecord record{std::string(identifier), covered->size(), *digest};
    Bytes record_bytes = encode_record(record);
    std::string why;
    auto cms = security::cms_sign_detached(
        record_bytes, {identity.certificate, identity.key, identity.chain, identity.signing_time},
        &why);
    if (!cms) {
        return fail<Bytes>(error, "cannot sign: " + why);
    }
    if (cms->size() > kMaxCms) {
        return fail<Bytes>(error, "signature is too large");
    }
    Bytes block = encode_block(record_bytes, *cms);
    Bytes out(covered->begin(), covered->end());
    out.insert(out.end(), block.begin(), block.end());
    Bytes trailer = encode_trailer(block.size());
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

bool sign_file(const std::string& path, const Identity& identity, std::string_view identifier,
               std::string* error) {
    base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (error) {
            *error = "cannot open " + path + ": " + std::strerror(errno);
        }
        return false;
    }
    struct stat st {};
    Bytes image;
    bool ok = ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        image.resize(static_cast<size_t>(st.st_size));
        ok = pread_all(fd.get(), image.data(), image.size(), 0);
    }
    fd.reset();
    if (!ok) {
        if (error) {
            *error = "cannot read " + path;
        }
        return false;
    }
    auto signed_image = sign_image(image, identity, identifier, error);
    if (!signed_image) {
        return false;
    }
    std::string tmp = path + ".xqcodesign.XXXXXX";
    base::UniqueFd out(::mkstemp(tmp.data()));
    if (!out) {
        if (error) {
            *error = "cannot create a temporary file beside " + path;
        }
        return false;
    }
    bool written = base::writeAll(out.get(), signed_image->data(), signed_image->size());
    written = written && ::fchmod(out.get(), st.st_mode & 07777) == 0 && ::fsync(out.get()) == 0;
    written = out.close() && written;
    if (!written || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        if (error) {
            *error = "cannot write " + path;
        }
        return false;
    }
    return true;
}

std::map<std::string, std::string> info_strings(std::span<const uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > kMaxInfoPlist) {
        return {};
    }
    auto entries = bundle::stringEntriesOfPlist(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    return entries ? std::move(*entries) : std::map<std::string, std::string>{};
}

const char* describe(CheckStatus status) {
    switch (status) {
        case CheckStatus::ok:
            return "valid";
        case CheckStatus::unsigned_file:
            return "code object is not signed at all";
        case CheckStatus::malformed:
            return "signature block is malformed";
        case CheckStatus::not_trusted:
            return "signature is not trusted";
        case CheckStatus::length_mismatch:
            return "file length differs from the signed length";
        case CheckStatus::digest_mismatch:
            return "file was modified after signing";
        case CheckStatus::io_error:
            return "cannot read the file";
        case CheckStatus::refused_early:
            return "code failed to satisfy the requirement";
    }
    return "unknown";
}

CheckedCode check_file(int fd, const security::TrustStore& anchors,
                       const EarlyRefusal& early_refusal) {
    CheckedCode out;
    auto result = [&](CheckStatus status, const std::string& why) {
        out.status = status;
        out.error = why.empty() ? describe(status) : std::string(describe(status)) + ": " + why;
        out.chain.clear();
        return std::move(out);
    };

    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        return result(CheckStatus::io_error, "not a regular file");
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size < kTrailerSize) {
        return result(CheckStatus::unsigned_file, "");
    }
    std::array<uint8_t, kTrailerSize> trailer{};
    if (!pread_all(fd, trailer.data(), trailer.size(), size - kTrailerSize)) {
        return result(CheckStatus::io_error, "cannot read the trailer");
    }
    Location loc;
    switch (locate_block(size, trailer, loc)) {
        case TrailerStatus::unsigned_file:
            return result(CheckStatus::unsigned_file, "");
        case TrailerStatus::malformed:
            return result(CheckStatus::malformed, "bad block length");
        case TrailerStatus::ok:
            break;
    }
    Bytes raw(static_cast<size_t>(loc.block_length));
    if (!pread_all(fd, raw.data(), raw.size(), loc.covered_length)) {
        return result(CheckStatus::io_error, "cannot read the signature block");
    }
    std::string why;
    auto block = decode_block(raw, &why);
    if (!block) {
        return result(CheckStatus::malformed, why);
    }

    // The signature first: nothing about the file is believed, and nothing
    // large is read, before the record is known to come from a trusted signer.
    auto cms = security::cms_verify_detached(block->cms, block->record_bytes, anchors,
                                             {security::Purpose::code_signing});
    if (!cms.ok) {
        return result(CheckStatus::not_trusted, cms.error);
    }
    out.record = block->record;
    if (block->record.length != loc.covered_length) {
        return result(CheckStatus::length_mismatch, "");
    }

    // Find where the headers and the info section lie (untrusted: only to know
    // what to capture), then hash once, capturing those ranges.
    FdSource file(fd, loc.covered_length);
    RecordingSource recorder(file);
    std::optional<Bytes> unverified_plist = elf::read_section(recorder, kInfoPlist, kMaxInfoPlist);
    bool has_plist = unverified_plist.has_value();
    if (early_refusal && early_refusal(EarlyView{block->record, cms.chain, unverified_plist})) {
        return result(CheckStatus::refused_early, "");
    }
    CapturedSource captured(loc.covered_length);
    uint64_t capture_total = 0;
    if (has_plist) {
        for (auto& [b, e] : recorder.merged()) {
            capture_total += e - b;
            captured.add(b, e);
        }
        if (capture_total > kMaxCapture) {
            has_plist = false;
            captured = CapturedSource(loc.covered_length);
        }
    }

    security::Sha256 hash;
    const bool overlap = loc.covered_length >= kOverlapFrom;
    const size_t chunk_size = static_cast<size_t>(std::min<uint64_t>(
        overlap ? kHashChunk : kSmallHashChunk, std::max<uint64_t>(loc.covered_length, 1)));
    ::posix_fadvise(fd, 0, static_cast<off_t>(loc.covered_length), POSIX_FADV_SEQUENTIAL);
    const bool read_all = read_in_pieces(fd, loc.covered_length, chunk_size, overlap,
                                         [&](uint64_t offset, std::span<const uint8_t> piece) {
                                             hash.update(piece);
                                             if (has_plist) {
                                                 captured.capture(offset, piece);
                                             }
                                         });
    if (!read_all) {
        return result(CheckStatus::io_error, "cannot read the signed bytes");
    }
    auto digest = hash.finish();
    if (!digest) {
        return result(CheckStatus::io_error, "cannot hash the signed bytes");
    }
    if (*digest != block->record.sha256) {
        return result(CheckStatus::digest_mismatch, "");
    }
    if (has_plist) {
        // Parsed again from the hashed bytes; if the file changed between the
        // two reads, the sections no longer line up and nothing is read.
        out.info_plist = elf::read_section(captured, kInfoPlist, kMaxInfoPlist);
    }
    out.chain = std::move(cms.chain);
    out.status = CheckStatus::ok;
    return out;
}

}  // namespace codesign
