// The stand-in's report writer over arbitrary names, statuses, time-stamps
// and certificates, with the properties that the helper's line rules rely on
// checked on every report:
// - it is UTF-8, made of lines that each end with "\n", with no other
//   character that ICU takes for a line end (VT, FF, CR, NEL, U+2028/9);
// - line 1 is the package line, line 2 the status;
// - the lines that begin, after spaces, with a digit and a dot are exactly
//   the chain's entries 1 to 9, in order; no name can add or move one;
// - each fingerprint line holds 22 bytes with a space after the last, or
//   fewer (the last line) without one.
//
// Input: byte 0 selects the status (low 3 bits) and whether a time-stamp is
// given (bit 7); bytes 1 to 8 are the time-stamp (little-endian seconds); the
// path follows up to a NUL; then certificates, each a 2-byte big-endian
// length and that many DER bytes (at most 12; bytes that are not a
// certificate are passed over).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/pkgutil/check_signature.h"

namespace {

bool valid_utf8_without_line_ends(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) {
            return false;
        }
        uint32_t cp = n == 1 ? c : (c & (0xFF >> (n + 1)));
        for (size_t k = 1; k < n; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (cp == 0x0B || cp == 0x0C || cp == 0x0D || cp == 0x85 || cp == 0x2028 || cp == 0x2029) {
            return false;
        }
        i += n;
    }
    return true;
}

std::vector<std::string> split_lines(const std::string& report) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < report.size()) {
        const size_t end = report.find('\n', start);
        if (end == std::string::npos) {
            abort();  // a line without its "\n"
        }
        lines.push_back(report.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// "^ *[0-9]\." as the helper's first rule reads a line.
bool numbered(const std::string& line) {
    size_t i = line.find_first_not_of(' ');
    return i != std::string::npos && i + 1 < line.size() && line[i] >= '0' && line[i] <= '9' &&
           line[i + 1] == '.';
}

bool fingerprint_line(const std::string& line) {
    if (line.compare(0, 11, std::string(11, ' ')) != 0) {
        return false;
    }
    const std::string bytes = line.substr(11);
    const bool full = bytes.size() == 22 * 3;
    const size_t count = full ? 22 : (bytes.size() + 1) / 3;
    if (count == 0 || count > 22 || (!full && bytes.size() != count * 3 - 1)) {
        return false;
    }
    for (size_t k = 0; k < count; ++k) {
        const char a = bytes[k * 3], b = bytes[k * 3 + 1];
        auto hex = [](char x) { return (x >= '0' && x <= '9') || (x >= 'A' && x <= 'F'); };
        if (!hex(a) || !hex(b) || (k * 3 + 2 < bytes.size() && bytes[k * 3 + 2] != ' ')) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) {
        return 0;
    }
    if ((data[0] & 7) > 6) {
        return 0;
    }
    const auto status = static_cast<pkgutil::Status>(data[0] & 7);
    std::optional<time_t> stamp;
    if ((data[0] & 0x80) != 0) {
        int64_t t = 0;
        std::memcpy(&t, data + 1, sizeof t);
        stamp = static_cast<time_t>(t);
    }
    size_t at = 9;
    const auto* nul = static_cast<const uint8_t*>(std::memchr(data + at, 0, size - at));
    const size_t pathEnd = nul ? size_t(nul - data) : size;
    const std::string path(reinterpret_cast<const char*>(data + at), pathEnd - at);
    at = nul ? pathEnd + 1 : size;
    std::vector<security::Certificate> chain;
    while (at + 2 <= size && chain.size() < 12) {
        const size_t len = size_t(data[at]) << 8 | data[at + 1];
        at += 2;
        if (len > size - at) {
            break;
        }
        if (auto cert = security::Certificate::createWithData(data + at, len)) {
            chain.push_back(*cert);
        }
        at += len;
    }

    const std::string report = pkgutil::write_report(path, status, stamp, chain);
    if (!valid_utf8_without_line_ends(report)) {
        abort();
    }
    const std::vector<std::string> lines = split_lines(report);
    if (lines.size() < 2 || lines[0].rfind("Package \"", 0) != 0 || lines[0].size() < 11 ||
        lines[0].compare(lines[0].size() - 2, 2, "\":") != 0 ||
        lines[1].rfind("   Status: ", 0) != 0) {
        abort();
    }
    size_t entries = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (numbered(line)) {
            ++entries;
            if (line.rfind("    " + std::to_string(entries) + ". ", 0) != 0) {
                abort();  // out of order, or not an entry at all
            }
        }
        if (i > 0 && lines[i - 1] == "       SHA256 Fingerprint:") {
            if (!fingerprint_line(line) || line.size() != 11 + 22 * 3 ||
                !fingerprint_line(lines.at(i + 1)) || lines[i + 1].size() >= 11 + 22 * 3) {
                abort();  // 32 bytes: one full line and one of 10
            }
        }
    }
    if (entries != std::min<size_t>(chain.size(), 9)) {
        abort();
    }
    if (chain.empty() && lines.size() != (stamp ? 3u : 2u)) {
        abort();
    }
    return 0;
}
