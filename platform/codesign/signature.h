// The code signature of a Linux executable: a block appended after the bytes
// it covers, ending in a fixed trailer (in the spirit of the kernel's appended
// module signatures).
//
// File layout (all integers big-endian):
//
//   [covered bytes: the ELF image, N bytes]
//   [block]
//       magic       8 bytes  "XQCSBLK1"
//       record_len  u32      at most kMaxRecord
//       record      record_len bytes   (the signed record, below)
//       cms_len     u32      at most kMaxCms
//       cms         cms_len bytes      detached CMS SignedData (DER) over `record`
//   [trailer, kTrailerSize bytes]
//       block_len   u64      bytes of the block, at most kMaxBlock
//       magic       16 bytes "~XQ signature~\n\0"
//
//   record:
//       magic       8 bytes  "XQCSREC1"
//       id_len      u16      1..kMaxIdentifier
//       identifier  id_len bytes, printable ASCII (0x21..0x7e)
//       length      u64      N, the number of covered bytes
//       sha256      32 bytes SHA-256 of the N covered bytes
//
// Every field has a fixed cap and the block must be used exactly: a parse
// never reads outside what it was given, and trailing or missing bytes are
// refused.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/security/security.h"

namespace codesign {

using Bytes = std::vector<uint8_t>;

inline constexpr char kBlockMagic[8] = {'X', 'Q', 'C', 'S', 'B', 'L', 'K', '1'};
inline constexpr char kRecordMagic[8] = {'X', 'Q', 'C', 'S', 'R', 'E', 'C', '1'};
inline constexpr char kTrailerMagic[16] = {'~', 'X', 'Q', ' ', 's', 'i', 'g',  'n',
                                           'a', 't', 'u', 'r', 'e', '~', '\n', '\0'};
inline constexpr size_t kTrailerSize = 8 + sizeof kTrailerMagic;
inline constexpr size_t kMaxIdentifier = 255;
inline constexpr size_t kMaxRecord = 8 + 2 + kMaxIdentifier + 8 + 32;
inline constexpr size_t kMaxCms = size_t{64} * 1024;
inline constexpr size_t kMaxBlock = 8 + 4 + kMaxRecord + 4 + kMaxCms;

struct SignedRecord {
    std::string identifier;
    uint64_t length = 0;
    std::array<uint8_t, 32> sha256{};
};

// A signing identifier is 1..kMaxIdentifier printable ASCII bytes, no space.
bool valid_identifier(std::string_view identifier);

Bytes encode_record(const SignedRecord& record);
std::optional<SignedRecord> decode_record(std::span<const uint8_t> bytes,
                                          std::string* error = nullptr);

struct Block {
    Bytes record_bytes;  // exactly the bytes the CMS signature covers
    SignedRecord record;
    Bytes cms;
};

Bytes encode_block(std::span<const uint8_t> record_bytes, std::span<const uint8_t> cms);
std::optional<Block> decode_block(std::span<const uint8_t> bytes, std::string* error = nullptr);

// Where the trailer at the end of a file of `file_size` bytes puts the block.
struct Location {
    uint64_t covered_length = 0;  // N; the block starts here
    uint64_t block_length = 0;
};
enum class TrailerStatus { unsigned_file, malformed, ok };
TrailerStatus locate_block(uint64_t file_size, std::span<const uint8_t, kTrailerSize> trailer,
                           Location& location);

Bytes encode_trailer(uint64_t block_length);

// ---- Signing ---------------------------------------------------------------

struct Identity {
    X509* certificate = nullptr;
    EVP_PKEY* key = nullptr;
    std::vector<X509*> chain;  // stored after the leaf: intermediates, root
    // The signature's signing time; the current time when not given.
    std::optional<std::time_t> signing_time;
};

// The bytes of `image` that a signature covers: the whole file when it has no
// signature block, the bytes before the block when it has a well-formed one;
// nullopt when it ends in a malformed block (which is not silently kept).
std::optional<std::span<const uint8_t>> unsigned_part(std::span<const uint8_t> image,
                                                      std::string* error = nullptr);

// Signs `image` (an existing signature block is replaced) and returns the
// signed file's bytes.
std::optional<Bytes> sign_image(std::span<const uint8_t> image, const Identity& identity,
                                std::string_view identifier, std::string* error = nullptr);

// Signs the file at `path` in place (through a temporary file renamed over
// it, keeping its permissions).
bool sign_file(const std::string& path, const Identity& identity, std::string_view identifier,
               std::string* error = nullptr);

// ---- Checking --------------------------------------------------------------

// Largest `__info_plist` section that a check reads.
inline constexpr uint64_t kMaxInfoPlist = 1 << 20;

enum class CheckStatus {
    ok,
    unsigned_file,    // no signature block
    malformed,        // a block that does not parse
    not_trusted,      // the CMS signature or its chain fails
    length_mismatch,  // the file's length differs from the signed record's
    digest_mismatch,  // the covered bytes were changed
    io_error,
    refused_early,  // the caller's early refusal (see check_file) said no
};

struct CheckedCode {
    CheckStatus status = CheckStatus::io_error;
    std::string error;
    SignedRecord record;
    std::vector<security::X509Ptr> chain;  // leaf first, anchor last
    // The covered image's `__info_plist` section, read from the same bytes that
    // were hashed (nullopt when the image has none or it is not ELF).
    std::optional<Bytes> info_plist;
};

// Checks the signature of the file open at `fd`, in this order: the block's
// CMS signature over the record (chain to `anchors`, code-signing purpose, at
// the current time); the file's length against the record's, without reading
// the covered bytes when they differ; then one pass of SHA-256 over the
// covered bytes, which also captures the ELF headers and the `__info_plist`
// section so that they are read from exactly the bytes that were hashed.
// Reads with pread only, so a file changed underneath gives a failure, never
// a crash.
//
// `early_refusal`, when given, is asked once the signer is trusted and the
// length matches, before hashing, with the code as far as it is known: the
// record, the chain and the `__info_plist` section as read so far (not yet
// proved to be the signed one). Returning true refuses the file at once
// (refused_early) without hashing it, so that a trusted signer who is not the
// one a requirement names cannot make the check hash a large file. It can
// only refuse: a file it lets through is still hashed and its info section
// taken from the hashed bytes.
struct EarlyView {
    const SignedRecord& record;
    const std::vector<security::X509Ptr>& chain;
    const std::optional<Bytes>& unverified_info_plist;
};
using EarlyRefusal = std::function<bool(const EarlyView&)>;

CheckedCode check_file(int fd, const security::TrustStore& anchors,
                       const EarlyRefusal& early_refusal = {});

const char* describe(CheckStatus status);

// The string values of the top-level dictionary of a property list (XML or
// binary); empty when it does not parse or is not a dictionary.
std::map<std::string, std::string> info_strings(std::span<const uint8_t> bytes);

}  // namespace codesign
