// Signed test packages made at test time with xqpkg and the test PKI, and
// small file helpers for the package trust tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Common/XQHelperLabel.h"
#include "platform/process/process.h"
#include "tests/support/harness.h"

namespace pkg_verify_test {

inline const std::string kTeam = "T3MQ8VX2LC";
inline const std::string kAuthority = "Developer ID Installer: Pelk Labs, Inc. (T3MQ8VX2LC)";

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Offset of the heap: the 28-byte header, then the compressed table of
// contents whose length is the big-endian 64-bit field at offset 8.
inline size_t heap_offset(const std::vector<uint8_t>& xar) {
    uint64_t tocLength = 0;
    for (int i = 8; i < 16; ++i) {
        tocLength = (tocLength << 8) | xar.at(static_cast<size_t>(i));
    }
    return 28 + static_cast<size_t>(tocLength);
}

// xqpkg places the CMS signature right after the 20-byte checksum and the
// 256-byte RSA signature, in a slot of this size.
inline constexpr size_t kCmsHeapOffset = 276;
inline constexpr size_t kCmsSlotSize = 16384;

// A scratch directory with an unsigned package and a way to sign variants.
class PackageFactory {
  public:
    PackageFactory() {
        char tmpl[] = "/tmp/pkg_verify_test.XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        if (made == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        dir_ = made;
        std::filesystem::create_directories(dir_ + "/root/usr/local/libexec");
        std::ofstream(dir_ + "/root/usr/local/libexec/helper") << "#!/bin/sh\nexit 0\n";
        unsigned_ = dir_ + "/unsigned.pkg";
        run({"build", "--identifier", xq::kHelperLabel, "--version", "5.16.0", "--root",
             dir_ + "/root", unsigned_});
    }
    ~PackageFactory() {
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }
    PackageFactory(const PackageFactory&) = delete;
    PackageFactory& operator=(const PackageFactory&) = delete;

    const std::string& dir() const { return dir_; }
    const std::string& unsignedPackage() const { return unsigned_; }

    // Signs the unsigned package into dir/name with the test PKI and the
    // given extra xqpkg options; returns the path.
    std::string sign(const std::string& name, std::vector<std::string> options = {}) {
        std::vector<std::string> args{"sign", "--pki", XQ_TESTPKI_DIR};
        args.insert(args.end(), options.begin(), options.end());
        const std::string out = dir_ + "/" + name;
        args.push_back(unsigned_);
        args.push_back(out);
        run(args);
        return out;
    }

    void run(const std::vector<std::string>& args) {
        const process::Result r = process::run({XQPKG_PATH, args, true});
        ASSERT_TRUE(r.launched && r.exited && r.terminationStatus == 0)
            << "xqpkg failed: " << r.standardOutput;
    }

  private:
    std::string dir_;
    std::string unsigned_;
};

}  // namespace pkg_verify_test
