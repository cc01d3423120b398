// What an archive of a component is, by its first bytes (and, for gzip, the
// first bytes of what it holds): this tool reads cpio, plain or compressed
// with gzip, and names any other format in its refusal.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>

struct archive;

namespace installer {

// A payload archive to read: a file, or bytes already in memory (the same
// checks and the same extraction either way).
struct PayloadSource {
    std::string path;                      // the file; empty for bytes in memory
    std::span<const unsigned char> bytes;  // used when `path` is not a file

    bool inMemory() const { return path.empty(); }
    std::string name() const {
        return inMemory() ? std::string("Payload")
                          : std::filesystem::path(path).filename().string();
    }
    // Opens the already set-up libarchive reader `a` on the payload.
    int open(struct archive* a) const;
};

// Nothing when the payload is a cpio archive, plain or compressed with gzip
// (what the system installer's payloads are and this tool reads); otherwise
// what it is, for the error message.
std::optional<std::string> unsupportedFormat(const PayloadSource& source);

}  // namespace installer
