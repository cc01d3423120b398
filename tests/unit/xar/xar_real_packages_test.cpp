// The reader on real installer packages that this project did not make.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "platform/xar/xar.h"
#include "tests/support/harness.h"
#include "tests/unit/xar/run_tool.h"
#include "tests/unit/xar/xar_test_util.h"

using namespace xartest;

namespace {

// The project's own copies (see tests/data/real-packages/README.md).
const std::string kDir = std::string(XQ_SOURCE_DIR) + "/tests/data/real-packages/";
const std::string kAnchors = std::string(XQ_SOURCE_DIR) + "/data/anchors/";

// The helper's lookup rule: the first member, in archive order, whose path
// ends in name. Extracts it to dest.
bool get_file(const std::string& pkg, const std::string& dest, const std::string& name,
              std::string* found = nullptr) {
    return extractFirst(
        pkg, true,
        [&](const std::string& path) {
            return path.size() >= name.size() &&
                   path.compare(path.size() - name.size(), name.size(), name) == 0;
        },
        dest, found);
}

std::string cn(const uint8_t* der, uint32_t len) {
    const unsigned char* p = der;
    X509* x = d2i_X509(nullptr, &p, long(len));
    if (!x)
        return "";
    char buf[256] = "";
    X509_NAME_get_text_by_NID(X509_get_subject_name(x), NID_commonName, buf, sizeof buf);
    X509_free(x);
    return buf;
}

class RealPackages : public ::testing::Test {
  protected:
    ScratchDir dir;
};

TEST_F(RealPackages, MembersInLibxarOrder) {
    struct Case {
        const char* file;
        std::vector<std::string> members;
    } cases[] = {
        {"Karabiner-DriverKit-VirtualHIDDevice-7.3.0.pkg",
         {"Bom", "Payload", "Scripts", "PackageInfo"}},
        {"fleet_not-distribution-signed.pkg", {"Bom", "Payload", "Scripts", "PackageInfo"}},
        {"outset_script-20140507.pkg", {"Bom", "Payload", "Scripts", "PackageInfo"}},
        {"Sigmatizm.pkg",
         {"com.zetacentauri.Sigmatizm.pkg", "com.zetacentauri.Sigmatizm.pkg/Bom",
          "com.zetacentauri.Sigmatizm.pkg/Payload", "com.zetacentauri.Sigmatizm.pkg/PackageInfo",
          "Distribution"}},
        {"gino_XZ.pkg",
         {"Distribution", "Resources", "Resources/License.txt", "Resources/ReadMe.txt",
          "Resources/sv.lproj", "local.pkg", "local.pkg/PackageInfo", "local.pkg/Bom",
          "local.pkg/Payload"}},
    };
    for (const Case& c : cases) {
        Archive a(kDir + c.file);
        ASSERT_NE(a.x, nullptr) << c.file;
        EXPECT_EQ(walk(a.x, true), c.members) << c.file;
        EXPECT_EQ(xar_get_toc_checksum_type(a.x), XAR_CKSUM_SHA1);
    }
}

TEST_F(RealPackages, TableOfContentsThatDoesNotInflateFailsToOpen) {
    EXPECT_EQ(Archive(kDir + "fleet_wrong-toc.pkg").x, nullptr);
}

TEST_F(RealPackages, EveryFileMemberExtractsWithVerifiedChecksums) {
    for (const char* file :
         {"Karabiner-DriverKit-VirtualHIDDevice-7.3.0.pkg", "fleet_not-distribution-signed.pkg",
          "outset_script-20140507.pkg", "Sigmatizm.pkg", "gino_XZ.pkg"}) {
        Archive a(kDir + file);
        ASSERT_NE(a.x, nullptr);
        xar_iter_t it = xar_iter_new();
        int files = 0;
        for (xar_file_t f = xar_file_first(a.x, it); f; f = xar_file_next(it)) {
            char* p = xar_get_path(f);
            std::string path = p;
            free(p);
            bool is_dir = path == "com.zetacentauri.Sigmatizm.pkg" || path == "Resources" ||
                          path == "Resources/sv.lproj" || path == "local.pkg";
            std::string out = dir / "m";
            EXPECT_EQ(xar_extract_tofile(a.x, f, out.c_str()), is_dir ? -1 : 0) << file << path;
            if (is_dir) {
                char* mem = nullptr;
                size_t size = 0;
                EXPECT_EQ(xar_extract_tobuffersz(a.x, f, &mem, &size), -1) << file << path;
                continue;
            }
            ++files;
            Bytes b = xqtest::readBytes(out);
            // Extraction to memory gives the same bytes.
            char* mem = nullptr;
            size_t size = 0;
            ASSERT_EQ(xar_extract_tobuffersz(a.x, f, &mem, &size), 0) << file << path;
            EXPECT_EQ(Bytes(mem, mem + size), b) << file << path;
            free(mem);
            if (path.ends_with("Payload") || path.ends_with("Scripts")) {
                ASSERT_GE(b.size(), 2u);
                EXPECT_EQ(b[0], 0x1f);  // stored as gzip files
                EXPECT_EQ(b[1], 0x8b);
            }
            if (path.ends_with("Bom")) {
                ASSERT_GE(b.size(), 8u);
                EXPECT_EQ(std::string(b.begin(), b.begin() + 8), "BOMStore");
            }
        }
        xar_iter_free(it);
        EXPECT_GT(files, 0);
    }
}

TEST_F(RealPackages, PackageInfoAndDistributionByTheLookupRule) {
    std::string found;
    ASSERT_TRUE(get_file(kDir + "Karabiner-DriverKit-VirtualHIDDevice-7.3.0.pkg", dir / "pi",
                         "PackageInfo", &found));
    EXPECT_EQ(found, "PackageInfo");
    Bytes pib = xqtest::readBytes(dir / "pi");
    std::string pi(pib.begin(), pib.end());
    EXPECT_NE(pi.find("<pkg-info"), std::string::npos);
    EXPECT_NE(pi.find("version=\"7.3.0\""), std::string::npos);

    // Product archive: the component's PackageInfo comes before the root's
    // Distribution in archive order.
    ASSERT_TRUE(get_file(kDir + "Sigmatizm.pkg", dir / "pi2", "PackageInfo", &found));
    EXPECT_EQ(found, "com.zetacentauri.Sigmatizm.pkg/PackageInfo");
    ASSERT_TRUE(get_file(kDir + "Sigmatizm.pkg", dir / "dist", "Distribution", &found));
    EXPECT_EQ(found, "Distribution");
    Bytes d = xqtest::readBytes(dir / "dist");
    EXPECT_NE(std::string(d.begin(), d.end()).find("<installer-gui-script"), std::string::npos);

    ASSERT_TRUE(get_file(kDir + "gino_XZ.pkg", dir / "pi3", "PackageInfo", &found));
    EXPECT_EQ(found, "local.pkg/PackageInfo");
    EXPECT_FALSE(get_file(kDir + "outset_script-20140507.pkg", dir / "d", "Distribution"));
    EXPECT_FALSE(exists(dir / "d"));
}

struct Signed {
    const char* file;
    const char* leaf_cn;
    const char* root_cn;
    long attime;  // when the chain was valid (time-stamp or signing date)
    bool verify_chain;
};

const Signed kSigned[] = {
    {"Karabiner-DriverKit-VirtualHIDDevice-7.3.0.pkg",
     "Developer ID Installer: Fumihiko Takayama (G43BCU2T37)", "Apple Root CA", 1781698020, true},
    {"fleet_not-distribution-signed.pkg",
     "Developer ID Installer: Fleet Device Management Inc (8VBZ3948LU)", "Apple Root CA",
     1746468990, true},
    // Its Apple WWDR chain is signed with SHA-1, which OpenSSL 3 refuses in a
    // chain; its signature is still checked over the digest.
    {"Sigmatizm.pkg", "3rd Party Mac Developer Installer: Jason Champion (G6PFF85X2R)",
     "Apple Root CA", 1476218532, false},
};

TEST_F(RealPackages, CmsEntryCertificatesAndSignedTocDigest) {
    if (!have_tool("openssl"))
        GTEST_SKIP() << "openssl not installed";
    std::string root_pem = dir / "root.pem";
    ASSERT_EQ(run_tool({"openssl", "x509", "-inform", "DER", "-in",
                        kAnchors + "AppleIncRootCertificate.cer", "-out", root_pem}),
              0);
    for (const Signed& s : kSigned) {
        SCOPED_TRACE(s.file);
        Bytes raw = xqtest::readBytes(kDir + s.file);
        Archive a(kDir + s.file);
        ASSERT_NE(a.x, nullptr);
        xar_signature_t rsa = xar_signature_first(a.x);
        ASSERT_NE(rsa, nullptr);
        EXPECT_STREQ(xar_signature_type(rsa), "RSA");
        xar_signature_t cms = xar_signature_next(rsa);
        ASSERT_NE(cms, nullptr);
        EXPECT_STREQ(xar_signature_type(cms), "CMS");
        EXPECT_EQ(xar_signature_next(cms), nullptr);

        ASSERT_EQ(xar_signature_get_x509certificate_count(cms), 3);
        std::vector<std::string> names;
        for (int i = 0; i < 3; ++i) {
            const uint8_t* der = nullptr;
            uint32_t len = 0;
            ASSERT_EQ(xar_signature_get_x509certificate_data(cms, i, &der, &len), 0);
            names.push_back(cn(der, len));
            // The RSA entry lists the same certificates.
            const uint8_t* der2 = nullptr;
            uint32_t len2 = 0;
            ASSERT_EQ(xar_signature_get_x509certificate_data(rsa, i, &der2, &len2), 0);
            EXPECT_EQ(Bytes(der, der + len), Bytes(der2, der2 + len2));
        }
        EXPECT_EQ(names.front(), s.leaf_cn);
        EXPECT_EQ(names.back(), s.root_cn);

        uint8_t *sum = nullptr, *sig = nullptr;
        uint32_t sum_len = 0, sig_len = 0;
        ASSERT_EQ(xar_signature_copy_signed_data(cms, &sum, &sum_len, &sig, &sig_len, nullptr), 0);
        Bytes digest_bytes(sum, sum + sum_len), sig_bytes(sig, sig + sig_len);
        free(sum);
        free(sig);
        // The signed data is the SHA-1 of the compressed table of contents,
        // computed here from the raw file.
        uint64_t clen = 0;
        for (int i = 8; i < 16; ++i)
            clen = clen << 8 | raw[size_t(i)];
        Bytes ztoc(raw.begin() + 28, raw.begin() + 28 + long(clen));
        ASSERT_EQ(digest_bytes.size(), 20u);
        EXPECT_EQ(digest_bytes, digest(EVP_sha1(), ztoc));

        write_file(dir / "digest", digest_bytes);
        write_file(dir / "sig", sig_bytes);
        EXPECT_EQ(run_tool({"openssl", "cms", "-verify", "-inform", "DER", "-binary", "-content",
                            dir / "digest", "-in", dir / "sig", "-noverify", "-out", "/dev/null"}),
                  0);
        if (s.verify_chain) {
            EXPECT_EQ(run_tool({"openssl", "cms", "-verify", "-inform", "DER", "-binary",
                                "-content", dir / "digest", "-in", dir / "sig", "-CAfile", root_pem,
                                "-purpose", "any", "-ignore_critical", "-attime",
                                std::to_string(s.attime), "-out", "/dev/null"}),
                      0);
        }
        // And a digest that is not the table of contents' does not verify.
        digest_bytes[0] ^= 1;
        write_file(dir / "digest", digest_bytes);
        EXPECT_NE(run_tool({"openssl", "cms", "-verify", "-inform", "DER", "-binary", "-content",
                            dir / "digest", "-in", dir / "sig", "-noverify", "-out", "/dev/null"}),
                  0);
    }
}

TEST_F(RealPackages, FlippedTocByteOfARealPackageFailsToOpen) {
    Bytes raw = xqtest::readBytes(kDir + "Karabiner-DriverKit-VirtualHIDDevice-7.3.0.pkg");
    for (size_t at :
         {size_t(28), size_t(100), size_t(2000), size_t(28 + 4211 - 1), size_t(28 + 4211 + 5)}) {
        Bytes bad = raw;
        bad[at] ^= 0x10;
        write_file(dir / "bad.pkg", bad);
        EXPECT_EQ(Archive(dir / "bad.pkg").x, nullptr) << at;
    }
}

TEST_F(RealPackages, UnsignedPackagesHaveNoSignatureEntries) {
    for (const char* f : {"gino_XZ.pkg", "outset_script-20140507.pkg"}) {
        Archive a(kDir + f);
        ASSERT_NE(a.x, nullptr);
        EXPECT_EQ(xar_signature_first(a.x), nullptr);
    }
}

}  // namespace
