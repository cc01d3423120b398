// xqpkg as a separate process, its output read back through the platform
// reader, its signatures checked with OpenSSL against the test PKI.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <ctime>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Common/XQHelperLabel.h"
#include "platform/security/owners.h"
#include "platform/xar/xar.h"
#include "tests/support/harness.h"
#include "tests/unit/xar/run_tool.h"
#include "tests/unit/xar/xar_test_util.h"

using namespace xartest;

namespace {

const std::string kPki = XQ_TESTPKI_DIR;
const std::string kXqpkg = XQPKG_PATH;

// Extracts the member at exactly path; false when absent or failing.
bool extract(const std::string& pkg, const std::string& path, const std::string& dest) {
    return extractFirst(
        pkg, false, [&](const std::string& member) { return member == path; }, dest);
}

// The helper's rule: first member in archive order whose path ends in name.
std::string first_ending_in(const std::string& pkg, const std::string& name) {
    Archive a(pkg);
    if (!a.x)
        return "";
    for (const std::string& p : walk(a.x, true))
        if (p.size() >= name.size() && p.compare(p.size() - name.size(), name.size(), name) == 0)
            return p;
    return "";
}

long parse_time_for_test(const char* iso) {
    struct tm tmv {};
    strptime(iso, "%Y-%m-%dT%H:%M:%SZ", &tmv);
    return long(timegm(&tmv));
}

std::string text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// The contents of a gzip-compressed cpio archive: path -> (mode, data).
std::map<std::string, std::pair<unsigned, std::string>> read_cpio(const Bytes& data,
                                                                  int* format = nullptr) {
    std::map<std::string, std::pair<unsigned, std::string>> out;
    struct archive* a = archive_read_new();
    archive_read_support_filter_gzip(a);
    archive_read_support_format_cpio(a);
    if (archive_read_open_memory(a, data.data(), data.size()) == ARCHIVE_OK) {
        struct archive_entry* e;
        while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
            std::string content;
            char buf[8192];
            la_ssize_t n;
            while ((n = archive_read_data(a, buf, sizeof buf)) > 0)
                content.append(buf, size_t(n));
            out[archive_entry_pathname(e)] = {unsigned(archive_entry_mode(e)), content};
            if (format)
                *format = archive_format(a);
        }
    }
    archive_read_free(a);
    return out;
}

struct SignatureInfo {
    std::vector<std::string> types;
    std::vector<Bytes> cms_certs;  // stored with the CMS entry
    Bytes signed_data, cms;
};

SignatureInfo signatures(const std::string& pkg) {
    SignatureInfo info;
    Archive a(pkg);
    if (!a.x)
        return info;
    for (xar_signature_t s = xar_signature_first(a.x); s; s = xar_signature_next(s)) {
        info.types.push_back(xar_signature_type(s) ? xar_signature_type(s) : "");
        if (info.types.back() != "CMS" || !info.cms.empty())
            continue;
        uint8_t *sum = nullptr, *sig = nullptr;
        uint32_t sum_len = 0, sig_len = 0;
        if (xar_signature_copy_signed_data(s, &sum, &sum_len, &sig, &sig_len, nullptr) != 0)
            continue;
        info.signed_data.assign(sum, sum + sum_len);
        info.cms.assign(sig, sig + sig_len);
        free(sum);
        free(sig);
        for (int32_t i = 0; i < xar_signature_get_x509certificate_count(s); ++i) {
            const uint8_t* der = nullptr;
            uint32_t len = 0;
            if (xar_signature_get_x509certificate_data(s, i, &der, &len) == 0)
                info.cms_certs.emplace_back(der, der + len);
        }
    }
    return info;
}

using Cms = security::CmsPtr;

Cms parse_cms(const Bytes& b) {
    const unsigned char* p = b.data();
    return Cms(d2i_CMS_ContentInfo(nullptr, &p, long(b.size())));
}

security::X509Ptr parse_cert(const Bytes& b) {
    const unsigned char* p = b.data();
    return security::X509Ptr(d2i_X509(nullptr, &p, long(b.size())));
}

class Xqpkg : public ::testing::Test {
  protected:
    ScratchDir dir;
    std::string unsigned_pkg = dir / "comp.pkg";

    void SetUp() override {
        if (!exists(kPki + "/root.pem") || !exists(kPki + "/installer.key.pem"))
            GTEST_SKIP() << "test PKI not generated in " << kPki;
        mkdir((dir / "root").c_str(), 0755);
        mkdir((dir / "root/usr").c_str(), 0755);
        mkdir((dir / "root/usr/bin").c_str(), 0755);
        write_file(dir / "root/usr/bin/tool", to_bytes("#!/bin/sh\necho tool\n"));
        chmod((dir / "root/usr/bin/tool").c_str(), 0755);
        write_file(dir / "root/usr/readme.txt", to_bytes("read me\n"));
        mkdir((dir / "scripts").c_str(), 0755);
        write_file(dir / "scripts/preinstall", to_bytes("#!/bin/sh\nexit 0\n"));
        write_file(dir / "scripts/postinstall", to_bytes("#!/bin/sh\necho done\n"));
        chmod((dir / "scripts/preinstall").c_str(), 0755);
        chmod((dir / "scripts/postinstall").c_str(), 0755);
        ASSERT_EQ(xqpkg({"build", "--identifier", "lx.pelk.test", "--version", "5.16.0.124",
                         "--root", dir / "root", "--scripts", dir / "scripts", unsigned_pkg}),
                  0);
    }

    int xqpkg(std::vector<std::string> args, std::string* out = nullptr) {
        args.insert(args.begin(), kXqpkg);
        return run_tool(args, out);
    }

    // Signs unsigned_pkg with the given extra arguments into a new file.
    std::string sign(const std::vector<std::string>& extra, const std::string& name = "s.pkg") {
        std::vector<std::string> args = {"sign", "--pki", kPki};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(unsigned_pkg);
        args.push_back(dir / name);
        EXPECT_EQ(xqpkg(args), 0);
        return dir / name;
    }

    // openssl cms -verify over the signed data, chain to the test root.
    int openssl_verify(const SignatureInfo& s, const std::string& attime = "") {
        write_file(dir / "digest", s.signed_data);
        write_file(dir / "sig", s.cms);
        std::vector<std::string> args = {"openssl",   "cms",          "-verify",
                                         "-inform",   "DER",          "-binary",
                                         "-content",  dir / "digest", "-in",
                                         dir / "sig", "-CAfile",      kPki + "/root.pem",
                                         "-purpose",  "any",          "-ignore_critical",
                                         "-out",      "/dev/null"};
        if (!attime.empty()) {
            args.push_back("-attime");
            args.push_back(attime);
        }
        return run_tool(args);
    }
};

TEST_F(Xqpkg, HelpAndUsageErrors) {
    std::string out;
    EXPECT_EQ(xqpkg({"--help"}, &out), 0);
    for (const char* word : {"build", "product", "sign", "inspect"})
        EXPECT_NE(out.find(word), std::string::npos) << word;
    EXPECT_EQ(xqpkg({}), 2);
    EXPECT_EQ(xqpkg({"frobnicate"}), 2);
    EXPECT_EQ(xqpkg({"build", "--version", "1", dir / "x.pkg"}), 2);  // no identifier
    EXPECT_EQ(
        xqpkg({"build", "--identifier", "a", "--version", "1", "--bogus", "v", dir / "x.pkg"}), 2);
    EXPECT_FALSE(exists(dir / "x.pkg"));
    EXPECT_NE(xqpkg({"inspect", dir / "missing.pkg"}), 0);
}

// inspect says why the reader refused an archive: its own error text.
TEST_F(Xqpkg, InspectGivesTheReasonOfARefusal) {
    Bytes toc_flipped = xqtest::readBytes(unsigned_pkg);
    toc_flipped[40] ^= 0x01;  // in the compressed table of contents
    write_file(dir / "flipped.pkg", toc_flipped);
    std::string out;
    EXPECT_EQ(
        run_tool({"sh", "-c", "\"$0\" inspect \"$1\" 2>&1", kXqpkg, dir / "flipped.pkg"}, &out), 1);
    EXPECT_EQ(out.rfind("xqpkg: " + (dir / "flipped.pkg") + ": refused: ", 0), 0u) << out;
    EXPECT_GT(out.size(), ("xqpkg: " + (dir / "flipped.pkg") + ": refused: \n").size()) << out;
    out.clear();
    EXPECT_EQ(
        run_tool({"sh", "-c", "\"$0\" inspect \"$1\" 2>&1", kXqpkg, dir / "missing.pkg"}, &out), 1);
    EXPECT_NE(out.find("No such file or directory"), std::string::npos) << out;
}

TEST_F(Xqpkg, ComponentPackageRoundTrip) {
    Archive a(unsigned_pkg);
    ASSERT_NE(a.x, nullptr);
    EXPECT_EQ(walk(a.x, true), (std::vector<std::string>{"Payload", "Scripts", "PackageInfo"}));
    EXPECT_EQ(xar_signature_first(a.x), nullptr);

    ASSERT_TRUE(extract(unsigned_pkg, "PackageInfo", dir / "pi"));
    std::string pi = text(xqtest::readBytes(dir / "pi"));
    EXPECT_NE(pi.find("<pkg-info"), std::string::npos);
    EXPECT_NE(pi.find("identifier=\"lx.pelk.test\""), std::string::npos);
    EXPECT_NE(pi.find("version=\"5.16.0.124\""), std::string::npos);
    EXPECT_NE(pi.find("<preinstall file=\"./preinstall\"/>"), std::string::npos);
    EXPECT_NE(pi.find("<postinstall file=\"./postinstall\"/>"), std::string::npos);

    ASSERT_TRUE(extract(unsigned_pkg, "Payload", dir / "payload"));
    Bytes payload = xqtest::readBytes(dir / "payload");
    ASSERT_GE(payload.size(), 2u);
    EXPECT_EQ(payload[0], 0x1f);
    int format = 0;
    auto files = read_cpio(payload, &format);
    EXPECT_EQ(format, ARCHIVE_FORMAT_CPIO_POSIX);  // odc, as real payloads
    ASSERT_EQ(files.count("./usr/bin/tool"), 1u);
    EXPECT_EQ(files["./usr/bin/tool"].second, "#!/bin/sh\necho tool\n");
    EXPECT_EQ(files["./usr/bin/tool"].first & 0777, 0755u);
    EXPECT_EQ(files["./usr/readme.txt"].second, "read me\n");
    EXPECT_EQ(files.count("."), 1u);
    EXPECT_EQ(files.count("./usr"), 1u);

    ASSERT_TRUE(extract(unsigned_pkg, "Scripts", dir / "scripts.cpio"));
    auto scripts = read_cpio(xqtest::readBytes(dir / "scripts.cpio"));
    EXPECT_EQ(scripts["./postinstall"].second, "#!/bin/sh\necho done\n");
    EXPECT_EQ(scripts["./preinstall"].first & 0111, 0111u);

    std::string out;
    EXPECT_EQ(xqpkg({"inspect", unsigned_pkg}, &out), 0);
    EXPECT_NE(out.find("checksum: sha1"), std::string::npos);
    EXPECT_NE(out.find("member: Payload\nmember: Scripts\nmember: PackageInfo\n"),
              std::string::npos);
    EXPECT_EQ(out.find("signature:"), std::string::npos);
}

TEST_F(Xqpkg, ProductArchiveAndTheLookupRule) {
    std::string second = dir / "second.pkg";
    ASSERT_EQ(xqpkg({"build", "--identifier", "lx.pelk.other", "--version", "1.0", second}), 0);
    std::string product = dir / "product.pkg";
    ASSERT_EQ(xqpkg({"product", "--app-id", xq::kHelperLabel, "--component",
                     "helper.pkg=" + unsigned_pkg, "--component", "other.pkg=" + second, product}),
              0);
    Archive a(product);
    ASSERT_NE(a.x, nullptr);
    EXPECT_EQ(walk(a.x, true),
              (std::vector<std::string>{"helper.pkg", "helper.pkg/Payload", "helper.pkg/Scripts",
                                        "helper.pkg/PackageInfo", "other.pkg",
                                        "other.pkg/PackageInfo", "Distribution"}));
    EXPECT_EQ(first_ending_in(product, "PackageInfo"), "helper.pkg/PackageInfo");
    EXPECT_EQ(first_ending_in(product, "Distribution"), "Distribution");
    ASSERT_TRUE(extract(product, "Distribution", dir / "dist"));
    EXPECT_NE(text(xqtest::readBytes(dir / "dist"))
                  .find("<app id=\"" + std::string(xq::kHelperLabel) + "\"/>"),
              std::string::npos);
    // Members copied into the product are byte for byte those of the component.
    ASSERT_TRUE(extract(product, "helper.pkg/Payload", dir / "p1"));
    ASSERT_TRUE(extract(unsigned_pkg, "Payload", dir / "p2"));
    EXPECT_EQ(xqtest::readBytes(dir / "p1"), xqtest::readBytes(dir / "p2"));

    // Signing keeps the members and their order.
    std::string signed_product = dir / "signed-product.pkg";
    ASSERT_EQ(xqpkg({"sign", "--pki", kPki, product, signed_product}), 0);
    Archive sp(signed_product);
    ASSERT_NE(sp.x, nullptr);
    EXPECT_EQ(walk(sp.x, true), walk(a.x, true));
    EXPECT_EQ(openssl_verify(signatures(signed_product)), 0);

    // A Distribution given as a file is stored as it is.
    write_file(dir / "my.dist",
               to_bytes("<installer-gui-script><app id=\"x\"/></installer-gui-script>"));
    std::string p2 = dir / "product2.pkg";
    ASSERT_EQ(
        xqpkg({"product", "--distribution", dir / "my.dist", "--component", "c.pkg=" + second, p2}),
        0);
    ASSERT_TRUE(extract(p2, "Distribution", dir / "d2"));
    EXPECT_EQ(xqtest::readBytes(dir / "d2"), xqtest::readBytes(dir / "my.dist"));
}

TEST_F(Xqpkg, LookAlikeMemberBeforeTheRealOneIsFoundFirst) {
    write_file(dir / "old", to_bytes("<pkg-info version=\"0.1\"/>"));
    std::string pkg = dir / "lookalike.pkg";
    ASSERT_EQ(xqpkg({"build", "--identifier", "lx.pelk.test", "--version", "9", "--extra-member",
                     "OldPackageInfo=" + dir / "old", pkg}),
              0);
    Archive a(pkg);
    ASSERT_NE(a.x, nullptr);
    EXPECT_EQ(walk(a.x, true), (std::vector<std::string>{"OldPackageInfo", "PackageInfo"}));
    EXPECT_EQ(first_ending_in(pkg, "PackageInfo"), "OldPackageInfo");
    ASSERT_TRUE(extract(pkg, "OldPackageInfo", dir / "o"));
    EXPECT_EQ(xqtest::readBytes(dir / "o"), xqtest::readBytes(dir / "old"));

    // The same at the root of a product archive, and with each encoding.
    for (const char* enc : {"gzip", "bzip2", "none"}) {
        std::string product = dir / (std::string("p-") + enc + ".pkg");
        ASSERT_EQ(
            xqpkg({"product", "--app-id", "x", "--extra-member", "OldPackageInfo=" + dir / "old",
                   "--extra-encoding", enc, "--component", "c.pkg=" + unsigned_pkg, product}),
            0);
        EXPECT_EQ(first_ending_in(product, "PackageInfo"), "OldPackageInfo") << enc;
        ASSERT_TRUE(extract(product, "OldPackageInfo", dir / "o2")) << enc;
        EXPECT_EQ(xqtest::readBytes(dir / "o2"), xqtest::readBytes(dir / "old"));
    }
}

TEST_F(Xqpkg, SignedPackageAsRealOnes) {
    // 2031-01-02 03:04:05 UTC
    std::string pkg = sign({"--timestamp-time", "2031-01-02T03:04:05Z"});
    Archive a(pkg);
    ASSERT_NE(a.x, nullptr);
    EXPECT_EQ(walk(a.x, true), (std::vector<std::string>{"Payload", "Scripts", "PackageInfo"}));
    for (const char* m : {"Payload", "Scripts", "PackageInfo"}) {
        ASSERT_TRUE(extract(pkg, m, dir / "a"));
        ASSERT_TRUE(extract(unsigned_pkg, m, dir / "b"));
        EXPECT_EQ(xqtest::readBytes(dir / "a"), xqtest::readBytes(dir / "b")) << m;
    }

    SignatureInfo s = signatures(pkg);
    EXPECT_EQ(s.types, (std::vector<std::string>{"RSA", "CMS"}));
    ASSERT_EQ(s.signed_data.size(), 20u);
    // The signed data is the SHA-1 of the compressed table of contents.
    Bytes raw = xqtest::readBytes(pkg);
    uint64_t clen = 0;
    for (int i = 8; i < 16; ++i)
        clen = clen << 8 | raw[size_t(i)];
    EXPECT_EQ(s.signed_data,
              digest(EVP_sha1(), Bytes(raw.begin() + 28, raw.begin() + 28 + long(clen))));

    ASSERT_EQ(s.cms_certs.size(), 3u);
    EXPECT_EQ(s.cms_certs[0], xqtest::readBytes(kPki + "/installer.der"));
    EXPECT_EQ(s.cms_certs[1], xqtest::readBytes(kPki + "/devid-ca.der"));
    EXPECT_EQ(s.cms_certs[2], xqtest::readBytes(kPki + "/root.der"));
    EXPECT_EQ(openssl_verify(s), 0);

    Cms cms = parse_cms(s.cms);
    ASSERT_TRUE(cms);
    STACK_OF(CMS_SignerInfo)* sis = CMS_get0_SignerInfos(cms.get());
    ASSERT_EQ(sk_CMS_SignerInfo_num(sis), 1);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(sis, 0);
    security::X509Ptr leaf = parse_cert(s.cms_certs[0]);
    EXPECT_EQ(CMS_SignerInfo_cert_cmp(si, leaf.get()), 0);
    EXPECT_GE(CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1), 0);

    // Time-stamp token: imprint = SHA-1 of the signature value, genTime as asked.
    security::Asn1ObjectPtr oid(OBJ_txt2obj("1.2.840.113549.1.9.16.2.14", 1));
    int idx = CMS_unsigned_get_attr_by_OBJ(si, oid.get(), -1);
    ASSERT_GE(idx, 0);
    X509_ATTRIBUTE* attr = CMS_unsigned_get_attr(si, idx);
    ASN1_TYPE* t = X509_ATTRIBUTE_get0_type(attr, 0);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->type, V_ASN1_SEQUENCE);
    Bytes token_der(t->value.sequence->data, t->value.sequence->data + t->value.sequence->length);
    const unsigned char* p = token_der.data();
    security::Pkcs7Ptr token(d2i_PKCS7(nullptr, &p, long(token_der.size())));
    ASSERT_NE(token, nullptr);
    security::TsTstInfoPtr tst(PKCS7_to_TS_TST_INFO(token.get()));
    ASSERT_NE(tst, nullptr);
    ASN1_OCTET_STRING* sigval = CMS_SignerInfo_get0_signature(si);
    Bytes sv(sigval->data, sigval->data + sigval->length);
    ASN1_OCTET_STRING* imprint = TS_MSG_IMPRINT_get_msg(TS_TST_INFO_get_msg_imprint(tst.get()));
    EXPECT_EQ(Bytes(imprint->data, imprint->data + imprint->length), digest(EVP_sha1(), sv));
    const ASN1_GENERALIZEDTIME* gen = TS_TST_INFO_get_time(tst.get());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(gen->data), size_t(gen->length)),
              "20310102030405Z");

    // The token verifies against the test root (TSA chain inside the token).
    write_file(dir / "token.der", token_der);
    EXPECT_EQ(run_tool({"openssl", "ts", "-verify", "-digest", hex(digest(EVP_sha1(), sv)),
                        "-token_in", "-in", dir / "token.der", "-CAfile", kPki + "/root.pem",
                        "-untrusted", kPki + "/tsa.chain.pem"}),
              0);

    std::string out;
    EXPECT_EQ(xqpkg({"inspect", pkg}, &out), 0);
    EXPECT_NE(out.find("signature: RSA"), std::string::npos);
    EXPECT_NE(out.find("signature: CMS"), std::string::npos);
    EXPECT_NE(out.find("certificate 0: /C=US/O=Pelk Labs, Inc./OU=T3MQ8VX2LC/CN=Developer ID "
                       "Installer: Pelk Labs, Inc. (T3MQ8VX2LC)"),
              std::string::npos);
    EXPECT_NE(out.find("toc-digest: " + hex(s.signed_data)), std::string::npos);
}

TEST_F(Xqpkg, FlippedBytesOfASignedPackage) {
    std::string pkg = sign({});
    Bytes good = xqtest::readBytes(pkg);
    uint64_t clen = 0;
    for (int i = 8; i < 16; ++i)
        clen = clen << 8 | good[size_t(i)];
    const size_t heap = 28 + clen;
    // Table of contents and stored checksum: open fails.
    for (size_t at : {size_t(30), size_t(28 + clen / 2), heap - 1, heap, heap + 19}) {
        Bytes bad = good;
        bad[at] ^= 0x08;
        write_file(dir / "bad.pkg", bad);
        EXPECT_EQ(Archive(dir / "bad.pkg").x, nullptr) << at;
    }
    // The signer's signature value inside the CMS: open works, verification
    // does not.
    SignatureInfo orig = signatures(pkg);
    Cms cms = parse_cms(orig.cms);
    ASSERT_TRUE(cms);
    ASN1_OCTET_STRING* sv =
        CMS_SignerInfo_get0_signature(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0));
    auto at = std::search(good.begin(), good.end(), sv->data, sv->data + sv->length);
    ASSERT_NE(at, good.end());
    Bytes bad = good;
    bad[size_t(at - good.begin()) + size_t(sv->length / 2)] ^= 0x08;
    write_file(dir / "bad.pkg", bad);
    SignatureInfo s = signatures(dir / "bad.pkg");
    ASSERT_FALSE(s.cms.empty());
    EXPECT_NE(openssl_verify(s), 0);
    // A member's data: open and the other members work, that member fails.
    std::string tampered = sign({"--tamper-member", "PackageInfo"}, "t.pkg");
    EXPECT_NE(Archive(tampered).x, nullptr);
    EXPECT_EQ(openssl_verify(signatures(tampered)), 0);  // the TOC is intact
    EXPECT_FALSE(extract(tampered, "PackageInfo", dir / "pi"));
    EXPECT_FALSE(exists(dir / "pi"));
    EXPECT_TRUE(extract(tampered, "Payload", dir / "pl"));
    std::string tampered2 = sign({"--tamper-member", "Payload"}, "t2.pkg");
    EXPECT_FALSE(extract(tampered2, "Payload", dir / "pl2"));
    EXPECT_TRUE(extract(tampered2, "PackageInfo", dir / "pi2"));
}

TEST_F(Xqpkg, WrongVariantsForRefusalTests) {
    {  // another type alone
        SignatureInfo s = signatures(sign({"--signatures", "RSA"}, "rsa.pkg"));
        EXPECT_EQ(s.types, (std::vector<std::string>{"RSA"}));
        EXPECT_TRUE(s.cms.empty());
    }
    {  // another type before the CMS entry
        SignatureInfo s = signatures(sign({"--signatures", "Other,CMS"}, "other.pkg"));
        EXPECT_EQ(s.types, (std::vector<std::string>{"Other", "CMS"}));
        EXPECT_EQ(openssl_verify(s), 0);
    }
    {  // SHA-256 table-of-contents checksum
        std::string pkg = sign({"--toc-checksum", "sha256"}, "sha256.pkg");
        Archive a(pkg);
        ASSERT_NE(a.x, nullptr);
        EXPECT_EQ(xar_get_toc_checksum_type(a.x), XAR_CKSUM_SHA256);
        SignatureInfo s = signatures(pkg);
        EXPECT_EQ(s.signed_data.size(), 32u);
        EXPECT_EQ(openssl_verify(s), 0);
    }
    {  // two signers
        SignatureInfo s = signatures(sign({"--second-leaf", "installer-otherteam"}, "two.pkg"));
        Cms cms = parse_cms(s.cms);
        ASSERT_TRUE(cms);
        EXPECT_EQ(sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())), 2);
        EXPECT_EQ(openssl_verify(s), 0);
    }
    {  // first stored certificate is not the signer's
        SignatureInfo s = signatures(
            sign({"--stored-certs", "installer-otherteam,devid-ca,root"}, "firstcert.pkg"));
        ASSERT_EQ(s.cms_certs.size(), 3u);
        EXPECT_EQ(s.cms_certs[0], xqtest::readBytes(kPki + "/installer-otherteam.der"));
        Cms cms = parse_cms(s.cms);
        ASSERT_TRUE(cms);
        security::X509Ptr first = parse_cert(s.cms_certs[0]);
        EXPECT_NE(CMS_SignerInfo_cert_cmp(
                      sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0), first.get()),
                  0);
    }
    {  // no time-stamp
        SignatureInfo s = signatures(sign({"--no-timestamp"}, "nots.pkg"));
        Cms cms = parse_cms(s.cms);
        ASSERT_TRUE(cms);
        CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
        EXPECT_EQ(CMS_unsigned_get_attr_count(si), -1);  // no unsigned attributes at all
        EXPECT_EQ(openssl_verify(s), 0);
    }
    {  // four-certificate chain
        SignatureInfo s = signatures(sign({"--leaf", "installer-deep"}, "deep.pkg"));
        ASSERT_EQ(s.cms_certs.size(), 4u);
        EXPECT_EQ(s.cms_certs[0], xqtest::readBytes(kPki + "/installer-deep.der"));
        EXPECT_EQ(s.cms_certs[3], xqtest::readBytes(kPki + "/root.der"));
        EXPECT_EQ(openssl_verify(s), 0);
    }
}

TEST_F(Xqpkg, EveryInstallerLeafCanSign) {
    struct Case {
        const char* leaf;
        const char* when;  // signing and time-stamp time
        bool chains_to_test_root;
    } cases[] = {
        {"installer", "2030-01-01T00:00:00Z", true},
        {"installer-otherteam", "2030-01-01T00:00:00Z", true},
        {"installer-onechar", "2030-01-01T00:00:00Z", true},
        {"installer-case", "2030-01-01T00:00:00Z", true},
        {"installer-past", "2020-06-01T00:00:00Z", true},
        {"installer-deep", "2030-01-01T00:00:00Z", true},
        {"installer-adhoc", "2030-01-01T00:00:00Z", false},
        {"app", "2030-01-01T00:00:00Z", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.leaf);
        std::string pkg =
            sign({"--leaf", c.leaf, "--signing-time", c.when, "--timestamp-time", c.when},
                 std::string(c.leaf) + ".pkg");
        SignatureInfo s = signatures(pkg);
        ASSERT_FALSE(s.cms_certs.empty());
        EXPECT_EQ(s.cms_certs[0], xqtest::readBytes(kPki + "/" + c.leaf + ".der"));
        // Judge the chain as of the signing time, when installer-past was valid.
        auto t = parse_time_for_test(c.when);
        EXPECT_EQ(openssl_verify(s, std::to_string(t)) == 0, c.chains_to_test_root);
    }
}

}  // namespace
