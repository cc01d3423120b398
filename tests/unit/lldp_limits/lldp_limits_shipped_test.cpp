// The capture limits: this test links the shipped ones; each daemon build
// must carry its own (the shipped daemon the shipped limits, the test build
// the short ones the capture tests wait for), read from the built files.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>

#include "Common/XQHelperLabel.h"
#include "Lldp/LLDPLimits.h"
#include "tests/support/harness.h"

namespace {

// The first `size` bytes (at most 16) of the defined symbol `name` of the
// executable at `path`, as a little-endian number, from nm and objdump.
std::optional<int64_t> symbolValue(const std::string& path, const std::string& name, int size) {
    const auto symbols = xqtest::runCommand({"/usr/bin/nm", "--defined-only", path});
    std::istringstream lines(symbols.out);
    std::string address;
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > name.size() + 1 &&
            line.compare(line.size() - name.size() - 1, std::string::npos, " " + name) == 0) {
            address = line.substr(0, line.find(' '));
        }
    }
    if (address.empty()) {
        return std::nullopt;
    }
    const uint64_t start = std::stoull(address, nullptr, 16);
    const auto dump =
        xqtest::runCommand({"/usr/bin/objdump", "-s", "--start-address=" + std::to_string(start),
                            "--stop-address=" + std::to_string(start + 16), path});
    // " 88d9e0 78000000 00000000 ...  x..." : the bytes in file order.
    std::istringstream rows(dump.out);
    std::string bytes;
    for (std::string row; std::getline(rows, row);) {
        std::istringstream words(row);
        std::string at;
        words >> at;
        if (row.empty() || row[0] != ' ' || std::stoull(at, nullptr, 16) != start) {
            continue;
        }
        for (std::string word; words >> word && word.size() == 8 && bytes.size() < 32;) {
            bytes += word;
        }
    }
    if (bytes.size() < static_cast<size_t>(2 * size)) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | std::stoul(bytes.substr(2 * static_cast<size_t>(i), 2), nullptr, 16);
    }
    return static_cast<int64_t>(value);
}

TEST(LLDPLimitsShipped, ReadTimeout120sDeadline240s) {
    EXPECT_EQ(kLLDPReadTimeout.tv_sec, 120);
    EXPECT_EQ(kLLDPReadTimeout.tv_usec, 0);
    EXPECT_EQ(kLLDPDecodeDeadlineSeconds, 240);
}

TEST(LLDPLimitsShipped, EachDaemonBuildCarriesItsOwnLimits) {
    struct Build {
        std::string name;
        int64_t readSeconds;
        int64_t deadlineSeconds;
    };
    for (const Build& build : {Build{xq::kHelperLabel, 120, 240},
                               Build{std::string(xq::kHelperLabel) + "-test", 2, 4}}) {
        SCOPED_TRACE(build.name);
        const std::string path = xqtest::buildPath(build.name);
        EXPECT_EQ(symbolValue(path, "kLLDPReadTimeout", 8), build.readSeconds);
        EXPECT_EQ(symbolValue(path, "kLLDPDecodeDeadlineSeconds", 8), build.deadlineSeconds);
    }
}

}  // namespace
