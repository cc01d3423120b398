// The appended signature block: encoding, parsing of hostile blocks, signing
// and re-signing, and the order of the file check (signature first, length
// before hashing, one pass).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/codesign/signature.h"
#include "platform/elf/elf.h"
#include "platform/security/anchors.h"
#include "platform/security/security.h"
#include "tests/support/harness.h"

namespace {

using namespace codesign;

const std::string kPki = XQ_TESTPKI_DIR;

struct Loaded {
    std::vector<security::X509Ptr> certs;
    security::EvpPkeyPtr key;
    std::vector<security::X509Ptr> chain;
    Identity identity() const {
        Identity id{certs.at(0).get(), key.get(), {}};
        for (auto& c : chain)
            id.chain.push_back(c.get());
        return id;
    }
};

Loaded load(const std::string& name) {
    Loaded l;
    l.certs = security::certificates_from_file(kPki + "/" + name + ".pem");
    l.key = security::private_key_from_file(kPki + "/" + name + ".key.pem");
    l.chain = security::certificates_from_file(kPki + "/" + name + ".chain.pem");
    EXPECT_FALSE(l.certs.empty());
    EXPECT_TRUE(l.key);
    return l;
}

// An ELF-looking image is not needed for the signature itself; the check of
// the info section is covered with a real executable below.
Bytes some_bytes(size_t n, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

class TempFile {
  public:
    TempFile() {
        char t[] = "/tmp/signature_test.XXXXXX";
        fd_ = mkstemp(t);
        path_ = t;
    }
    ~TempFile() {
        close(fd_);
        unlink(path_.c_str());
    }
    void write(const Bytes& b) {
        ASSERT_EQ(ftruncate(fd_, 0), 0);
        ASSERT_EQ(pwrite(fd_, b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
    }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

  private:
    int fd_;
    std::string path_;
};

// Bytes this process has read through read()/pread() so far.
uint64_t bytes_read() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:")
            return value;
    }
    return 0;
}

class SignatureTest : public ::testing::Test {
  protected:
    security::TrustStore anchors{security::trust_anchor_certificates()};
    Loaded app = load("app");
};

TEST(SignatureFormat, RecordRoundTripAndRefusals) {
    SignedRecord r{"lx.pelk.dvk", 12345, {}};
    r.sha256[0] = 0xaa;
    r.sha256[31] = 0x55;
    Bytes enc = encode_record(r);
    EXPECT_EQ(enc.size(), 8u + 2 + 11 + 8 + 32);
    auto dec = decode_record(enc);
    ASSERT_TRUE(dec);
    EXPECT_EQ(dec->identifier, "lx.pelk.dvk");
    EXPECT_EQ(dec->length, 12345u);
    EXPECT_EQ(dec->sha256, r.sha256);

    std::string error;
    for (size_t n = 0; n < enc.size(); ++n) {
        EXPECT_FALSE(decode_record(std::span(enc).first(n), &error)) << n;
    }
    Bytes longer = enc;
    longer.push_back(0);
    EXPECT_FALSE(decode_record(longer, &error));
    EXPECT_EQ(error, "signed record has trailing bytes");
    Bytes magic = enc;
    magic[0] = 'Y';
    EXPECT_FALSE(decode_record(magic, &error));
    EXPECT_EQ(error, "signed record has a bad magic");
    for (const char* bad : {"", "with space", "new\nline", "\x7f"}) {
        SignedRecord b{bad, 1, {}};
        EXPECT_FALSE(decode_record(encode_record(b))) << bad;
        EXPECT_FALSE(valid_identifier(bad));
    }
    EXPECT_TRUE(valid_identifier(std::string(kMaxIdentifier, 'a')));
    EXPECT_FALSE(valid_identifier(std::string(kMaxIdentifier + 1, 'a')));
}

TEST(SignatureFormat, BlockAndTrailer) {
    SignedRecord r{"id", 1, {}};
    Bytes rec = encode_record(r);
    Bytes cms(100, 0x30);
    Bytes block = encode_block(rec, cms);
    auto dec = decode_block(block);
    ASSERT_TRUE(dec);
    EXPECT_EQ(dec->record_bytes, rec);
    EXPECT_EQ(dec->cms, cms);
    for (size_t n = 0; n < block.size(); ++n) {
        EXPECT_FALSE(decode_block(std::span(block).first(n))) << n;
    }
    EXPECT_FALSE(decode_block(encode_block(rec, {})));  // no signature at all
    Bytes huge_cms(kMaxCms + 1, 0);
    EXPECT_FALSE(decode_block(encode_block(rec, huge_cms)));

    Bytes trailer = encode_trailer(block.size());
    ASSERT_EQ(trailer.size(), kTrailerSize);
    std::span<const uint8_t, kTrailerSize> t(trailer.data(), kTrailerSize);
    Location loc;
    EXPECT_EQ(locate_block(1000, t, loc), TrailerStatus::ok);
    EXPECT_EQ(loc.block_length, block.size());
    EXPECT_EQ(loc.covered_length, 1000 - kTrailerSize - block.size());
    // A block longer than the file, or than the cap.
    EXPECT_EQ(locate_block(kTrailerSize + block.size() - 1, t, loc), TrailerStatus::malformed);
    Bytes big = encode_trailer(kMaxBlock + 1);
    EXPECT_EQ(locate_block(uint64_t{1} << 40,
                           std::span<const uint8_t, kTrailerSize>(big.data(), kTrailerSize), loc),
              TrailerStatus::malformed);
    Bytes nomagic = trailer;
    nomagic.back() = 'x';
    EXPECT_EQ(locate_block(
                  1000, std::span<const uint8_t, kTrailerSize>(nomagic.data(), kTrailerSize), loc),
              TrailerStatus::unsigned_file);
}

TEST_F(SignatureTest, SignCheckAndResign) {
    Bytes image = some_bytes(100000);
    std::string error;
    auto signed_image = sign_image(image, app.identity(), "lx.pelk.dvk", &error);
    ASSERT_TRUE(signed_image) << error;
    ASSERT_GT(signed_image->size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), signed_image->begin()));

    TempFile f;
    f.write(*signed_image);
    CheckedCode c = check_file(f.fd(), anchors);
    ASSERT_EQ(c.status, CheckStatus::ok) << c.error;
    EXPECT_EQ(c.record.identifier, "lx.pelk.dvk");
    EXPECT_EQ(c.record.length, image.size());
    EXPECT_EQ(c.record.sha256, *security::sha256(image));
    ASSERT_EQ(c.chain.size(), 3u);
    EXPECT_EQ(security::common_name(c.chain[0].get()),
              "Developer ID Application: Pelk Labs, Inc. (T3MQ8VX2LC)");
    EXPECT_FALSE(c.info_plist);  // not an ELF image

    // Re-signing replaces the block instead of signing the old one.
    Loaded other = load("app-otherteam");
    auto resigned = sign_image(*signed_image, other.identity(), "other.id", &error);
    ASSERT_TRUE(resigned) << error;
    f.write(*resigned);
    c = check_file(f.fd(), anchors);
    ASSERT_EQ(c.status, CheckStatus::ok) << c.error;
    EXPECT_EQ(c.record.identifier, "other.id");
    EXPECT_EQ(c.record.length, image.size());
    auto covered = unsigned_part(*resigned);
    ASSERT_TRUE(covered);
    EXPECT_EQ(covered->size(), image.size());

    // A file ending in a damaged block is not signed over it.
    Bytes damaged = *signed_image;
    damaged[image.size() + 3] ^= 1;  // the block's magic
    EXPECT_FALSE(sign_image(damaged, app.identity(), "lx.pelk.dvk", &error));
    EXPECT_NE(error.find("malformed"), std::string::npos) << error;
    EXPECT_FALSE(sign_image(image, app.identity(), "bad id", &error));
}

TEST_F(SignatureTest, SignFileKeepsModeAndLeavesNothingBehind) {
    TempFile f;
    f.write(some_bytes(5000));
    ASSERT_EQ(fchmod(f.fd(), 0751), 0);
    std::string error;
    ASSERT_TRUE(sign_file(f.path(), app.identity(), "lx.pelk.dvk", &error)) << error;
    struct stat st {};
    ASSERT_EQ(stat(f.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    int fd = open(f.path().c_str(), O_RDONLY);
    EXPECT_EQ(check_file(fd, anchors).status, CheckStatus::ok);
    close(fd);
    EXPECT_FALSE(sign_file("/nonexistent/dir/file", app.identity(), "lx.pelk.dvk", &error));
    // No temporary file is left beside the target.
    std::string dir = f.path().substr(0, f.path().rfind('/'));
    std::string base = f.path().substr(f.path().rfind('/') + 1);
    std::string cmd = "ls " + dir + " | grep -q '^" + base + ".xqcodesign'";
    EXPECT_NE(std::system(cmd.c_str()), 0);
}

TEST_F(SignatureTest, RefusalsInTheirOrder) {
    Bytes image = some_bytes(50000, 7);
    auto signed_image = *sign_image(image, app.identity(), "lx.pelk.dvk");
    TempFile f;
    auto status = [&](const Bytes& b) {
        f.write(b);
        return check_file(f.fd(), anchors).status;
    };
    EXPECT_EQ(status(image), CheckStatus::unsigned_file);
    EXPECT_EQ(status({}), CheckStatus::unsigned_file);
    EXPECT_EQ(status(Bytes(signed_image.end() - kTrailerSize, signed_image.end())),
              CheckStatus::malformed);  // a trailer alone claiming a block

    Bytes modified = signed_image;
    modified[100] ^= 1;
    EXPECT_EQ(status(modified), CheckStatus::digest_mismatch);

    Bytes grown = signed_image;
    grown.insert(grown.begin(), 0);
    EXPECT_EQ(status(grown), CheckStatus::length_mismatch);

    // Every byte of the block and trailer: never a crash. Each byte of the
    // framing, the record, the trailer and the signature value (the last 256
    // bytes of the CMS message with RSA 2048) makes the check fail; inside the
    // stored certificates a flip may be harmless (the stored copy of the root
    // is not what the chain is checked against).
    const size_t cms_begin =
        image.size() + 8 + 4 + encode_record({"lx.pelk.dvk", 0, {}}).size() + 4;
    const size_t cms_end = signed_image.size() - kTrailerSize;
    for (size_t i = image.size(); i < signed_image.size();
         i += (i >= cms_begin && i < cms_end - 256) ? 13 : 1) {
        Bytes b = signed_image;
        b[i] ^= 0x20;
        CheckStatus s = status(b);
        if (i < cms_begin || i >= cms_end - 256) {
            EXPECT_NE(s, CheckStatus::ok) << i;
        }
    }

    Loaded adhoc = load("app-adhoc");
    EXPECT_EQ(status(*sign_image(image, adhoc.identity(), "lx.pelk.dvk")),
              CheckStatus::not_trusted);
    Loaded expired = load("app-expired");
    EXPECT_EQ(status(*sign_image(image, expired.identity(), "lx.pelk.dvk")),
              CheckStatus::not_trusted);
    Loaded installer = load("installer");
    EXPECT_EQ(status(*sign_image(image, installer.identity(), "lx.pelk.dvk")),
              CheckStatus::not_trusted);
}

TEST_F(SignatureTest, UntrustedOrMislengthedHugeFilesAreNotHashed) {
    TempFile f;
    const uint64_t huge = uint64_t{64} << 30;  // 64 GiB, sparse

    // Unsigned: only the trailer is read.
    ASSERT_EQ(ftruncate(f.fd(), static_cast<off_t>(huge)), 0);
    uint64_t before = bytes_read();
    EXPECT_EQ(check_file(f.fd(), anchors).status, CheckStatus::unsigned_file);
    EXPECT_LT(bytes_read() - before, 4096u);

    // A genuine block taken from a small signed file, appended to the huge one:
    // its record's length differs, so nothing is hashed.
    Bytes small = some_bytes(1000, 3);
    Bytes signed_small = *sign_image(small, app.identity(), "lx.pelk.dvk");
    Bytes tail(signed_small.begin() + static_cast<long>(small.size()), signed_small.end());
    ASSERT_EQ(pwrite(f.fd(), tail.data(), tail.size(), static_cast<off_t>(huge)),
              static_cast<ssize_t>(tail.size()));
    before = bytes_read();
    CheckedCode c = check_file(f.fd(), anchors);
    EXPECT_EQ(c.status, CheckStatus::length_mismatch) << c.error;
    EXPECT_LT(bytes_read() - before, 64u * 1024);

    // A block by an untrusted signer whose record claims the huge length:
    // refused on the signature, before anything is hashed.
    SignedRecord lie{"lx.pelk.dvk", huge, {}};
    Bytes rec = encode_record(lie);
    Loaded adhoc = load("app-adhoc");
    auto cms = security::cms_sign_detached(
        rec, {adhoc.certs[0].get(), adhoc.key.get(), adhoc.identity().chain});
    ASSERT_TRUE(cms);
    Bytes block = encode_block(rec, *cms);
    Bytes trailer = encode_trailer(block.size());
    block.insert(block.end(), trailer.begin(), trailer.end());
    ASSERT_EQ(ftruncate(f.fd(), static_cast<off_t>(huge)), 0);
    ASSERT_EQ(pwrite(f.fd(), block.data(), block.size(), static_cast<off_t>(huge)),
              static_cast<ssize_t>(block.size()));
    before = bytes_read();
    EXPECT_EQ(check_file(f.fd(), anchors).status, CheckStatus::not_trusted);
    EXPECT_LT(bytes_read() - before, 64u * 1024);
}

TEST_F(SignatureTest, EarlyRefusalComesBeforeHashing) {
    Bytes image = some_bytes(8 << 20, 11);
    TempFile f;
    f.write(*sign_image(image, app.identity(), "lx.pelk.dvk"));

    int calls = 0;
    uint64_t before = bytes_read();
    CheckedCode c = check_file(f.fd(), anchors, [&](const EarlyView& view) {
        ++calls;
        EXPECT_EQ(view.record.identifier, "lx.pelk.dvk");
        EXPECT_EQ(view.record.length, image.size());
        EXPECT_EQ(view.chain.size(), 3u);
        EXPECT_FALSE(view.unverified_info_plist);  // not an ELF image
        return true;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(c.status, CheckStatus::refused_early);
    EXPECT_TRUE(c.chain.empty());
    EXPECT_LT(bytes_read() - before, 64u * 1024);

    // Letting the file through changes nothing about the check.
    c = check_file(f.fd(), anchors, [](const EarlyView&) { return false; });
    EXPECT_EQ(c.status, CheckStatus::ok) << c.error;

    // An untrusted signer never reaches the early refusal.
    Loaded adhoc = load("app-adhoc");
    f.write(*sign_image(image, adhoc.identity(), "lx.pelk.dvk"));
    calls = 0;
    EXPECT_EQ(check_file(f.fd(), anchors,
                         [&](const EarlyView&) {
                             ++calls;
                             return false;
                         })
                  .status,
              CheckStatus::not_trusted);
    EXPECT_EQ(calls, 0);
}

TEST_F(SignatureTest, HashesOncePerCheck) {
    Bytes image = some_bytes(8 << 20, 9);
    TempFile f;
    f.write(*sign_image(image, app.identity(), "lx.pelk.dvk"));
    uint64_t before = bytes_read();
    ASSERT_EQ(check_file(f.fd(), anchors).status, CheckStatus::ok);
    uint64_t read = bytes_read() - before;
    EXPECT_GE(read, image.size());
    EXPECT_LT(read, image.size() + (256u << 10));  // one pass, plus block and headers
}

TEST_F(SignatureTest, InfoPlistComesFromTheHashedBytes) {
    char dir[] = "/tmp/signature_test_elf.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string d = dir;
    std::ofstream(d + "/plist") << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                   "<key>CFBundleVersion</key><string>5.6.0</string>"
                                   "<key>Number</key><integer>3</integer></dict></plist>";
    // `program` with the plist added after a section of `pad` bytes.
    auto with_plist = [&](const std::string& program, size_t pad) {
        std::ofstream(d + "/pad", std::ios::binary) << std::string(pad, 'p');
        // objcopy lays added sections out in the reverse order of its options.
        std::string cmd = "objcopy --add-section __info_plist=" + d +
                          "/plist --add-section .pad=" + d + "/pad " + program + " " + d + "/exe";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return xqtest::readBytes(d + "/exe");
    };
    auto check_info = [&](const Bytes& image) {
        TempFile f;
        f.write(*sign_image(image, app.identity(), "lx.pelk.dvk"));
        CheckedCode c = check_file(f.fd(), anchors);
        ASSERT_EQ(c.status, CheckStatus::ok) << c.error;
        ASSERT_TRUE(c.info_plist);
        auto info = info_strings(*c.info_plist);
        EXPECT_EQ(info.size(), 1u);  // strings only
        EXPECT_EQ(info["CFBundleVersion"], "5.6.0");
    };
    // A large image (read on a second thread) and a small one whose plist lies
    // across a multiple of 32 KiB, where small images are read in pieces.
    check_info(with_plist("/proc/" + std::to_string(getpid()) + "/exe", 1));
    auto plist_at = [](const Bytes& image) {
        return elf::find_section(elf::MemorySource(image), "__info_plist");
    };
    const auto first = plist_at(with_plist("/bin/true", 1));
    ASSERT_TRUE(first);
    const uint64_t across = (first->offset / 32768 + 1) * 32768 - first->size / 2;
    const Bytes small = with_plist("/bin/true", 1 + static_cast<size_t>(across - first->offset));
    const auto placed = plist_at(small);
    ASSERT_TRUE(placed);
    ASSERT_GT(placed->offset % 32768 + placed->size, 32768u);
    check_info(small);
    std::error_code ec;
    std::filesystem::remove_all(d, ec);

    EXPECT_TRUE(info_strings(Bytes{'x', 'y'}).empty());
    const std::string array = "<plist><array><string>a</string></array></plist>";
    EXPECT_TRUE(info_strings(Bytes(array.begin(), array.end())).empty());
}

}  // namespace
