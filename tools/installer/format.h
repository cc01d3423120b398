// What an archive of a component is, by its first bytes (and, for gzip, the
// first bytes of what it holds): this tool reads cpio, plain or compressed
// with gzip, and names any other format in its refusal.
#pragma once

#include <optional>
#include <string>

namespace installer {

// Nothing when the file at `path` is a cpio archive, plain or compressed with
// gzip (what the system installer's payloads are and this tool reads);
// otherwise what the file is, for the error message.
std::optional<std::string> unsupportedFormat(const std::string& path);

}  // namespace installer
