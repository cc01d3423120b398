// The reader on archives made byte by byte: member order and paths, the
// table-of-contents checksum, member checksums and encodings, signature
// entries, and hostile input of every kind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/xar/xar.h"
#include "tests/support/harness.h"
#include "tests/unit/xar/xar_test_util.h"

using namespace xartest;

namespace {

xar_file_t member(xar_t x, xar_iter_t it, const std::string& path) {
    for (xar_file_t f = xar_file_first(x, it); f; f = xar_file_next(it)) {
        char* p = xar_get_path(f);
        bool match = p && path == p;
        free(p);
        if (match)
            return f;
    }
    return nullptr;
}

class Reader : public ::testing::Test {
  protected:
    ScratchDir dir;
    std::string pkg = dir / "a.pkg";

    void write(const ArchiveSpec& s) { write_file(pkg, build_archive(s)); }
    void write(const Bytes& b) { write_file(pkg, b); }

    // Extracts path from the archive at pkg to dir/out, and to memory, which
    // must agree: the same result and the same bytes, nothing handed out on
    // failure. Returns the result and the bytes written (empty when nothing
    // was left).
    int32_t extract(const std::string& path, Bytes* got = nullptr) {
        Archive a(pkg);
        EXPECT_NE(a.x, nullptr);
        if (!a.x)
            return -2;
        Iter it;
        xar_file_t f = member(a.x, it.i, path);
        EXPECT_NE(f, nullptr) << path;
        if (!f)
            return -2;
        std::string out = dir / "out";
        unlink(out.c_str());
        int32_t r = xar_extract_tofile(a.x, f, out.c_str());
        Bytes written = exists(out) ? xqtest::readBytes(out) : Bytes{};
        char* mem = nullptr;
        size_t mem_size = 7;
        EXPECT_EQ(xar_extract_tobuffersz(a.x, f, &mem, &mem_size), r) << path;
        if (r == 0) {
            EXPECT_NE(mem, nullptr);
            EXPECT_EQ(Bytes(mem, mem + mem_size), written);
        } else {
            EXPECT_EQ(mem, nullptr);
            EXPECT_EQ(mem_size, 7u);
        }
        free(mem);
        if (got)
            *got = written;
        return r;
    }
};

Bytes sample(size_t n, uint32_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = uint8_t((seed >> 16) % 7 + 'a');  // compressible but not trivial
    }
    return b;
}

// ---- order and paths ----

TEST_F(Reader, MembersComeOutDepthFirstWithTopLevelReversedAsLibxarDoes) {
    HeapBuilder h;
    std::string d1 = h.add(to_bytes("one")), d2 = h.add(to_bytes("two")),
                d3 = h.add(to_bytes("three"));
    std::string body =
        file_xml("A", d1) +
        file_xml("B", "", file_xml("b1", d2) + file_xml("b2", "", file_xml("x", d3), "directory"),
                 "directory") +
        file_xml("C", "");
    write(ArchiveSpec{toc_xml(body), h.tail});
    Archive a(pkg);
    ASSERT_NE(a.x, nullptr);
    EXPECT_EQ(walk(a.x), (std::vector<std::string>{"C", "B", "B/b1", "B/b2", "B/b2/x", "A"}));
    // A second walk with the same iterator starts again from the first member.
    Iter it;
    xar_file_t f = xar_file_first(a.x, it.i);
    ASSERT_NE(f, nullptr);
    while (xar_file_next(it.i)) {
    }
    EXPECT_EQ(xar_file_next(it.i), nullptr);  // stays at the end
    EXPECT_EQ(xar_file_first(a.x, it.i), f);
}

TEST_F(Reader, SafePathOnlyReplacesSlashInsideOneName) {
    HeapBuilder h;
    std::string body =
        file_xml("dir/with/slash", "", file_xml("in/ner", h.add(to_bytes("z"))), "directory") +
        file_xml("../up", h.add(to_bytes("u")));
    write(ArchiveSpec{toc_xml(body), h.tail});
    Archive a(pkg);
    ASSERT_NE(a.x, nullptr);
    EXPECT_EQ(walk(a.x, false),
              (std::vector<std::string>{"../up", "dir/with/slash", "dir/with/slash/in/ner"}));
    EXPECT_EQ(walk(a.x, true),
              (std::vector<std::string>{"..:up", "dir:with:slash", "dir:with:slash/in:ner"}));
}

TEST_F(Reader, MemberWithoutNameHasNoPath) {
    HeapBuilder h;
    write(ArchiveSpec{toc_xml("<file><type>file</type></file>" + file_xml("n", "")), h.tail});
    Archive a(pkg);
    ASSERT_NE(a.x, nullptr);
    EXPECT_EQ(walk(a.x), (std::vector<std::string>{"n", "(null)"}));
}

TEST_F(Reader, LastNameElementWinsAsInLibxar) {
    write(ArchiveSpec{toc_xml("<file><name>first</name><name>second</name></file>"), {}});
    Archive a(pkg);
    ASSERT_NE(a.x, nullptr);
    EXPECT_EQ(walk(a.x), (std::vector<std::string>{"second"}));
}

TEST_F(Reader, SiblingsWithTheSameNameIgnoringCaseAreRefused) {
    write(ArchiveSpec{toc_xml(file_xml("PackageInfo", "") + file_xml("packageinfo", "")), {}});
    EXPECT_EQ(Archive(pkg).x, nullptr);
    write(ArchiveSpec{
        toc_xml(file_xml("d", "", file_xml("x", "") + file_xml("X", ""), "directory")), {}});
    EXPECT_EQ(Archive(pkg).x, nullptr);
    // The same name in different directories is fine.
    write(ArchiveSpec{
        toc_xml(file_xml("d", "", file_xml("x", ""), "directory") + file_xml("x", "")), {}});
    EXPECT_NE(Archive(pkg).x, nullptr);
}

// ---- table-of-contents checksum ----

TEST_F(Reader, EachChecksumStyleOpensWhenHeaderAndStyleAgree) {
    struct Case {
        uint32_t alg;
        const char* style;
        const EVP_MD* md;
    } cases[] = {{1, "sha1", EVP_sha1()},     {3, "sha224", EVP_sha224()},
                 {3, "sha256", EVP_sha256()}, {3, "sha384", EVP_sha384()},
                 {3, "sha512", EVP_sha512()}, {4, "sha512", EVP_sha512()}};
    for (const Case& c : cases) {
        size_t n = size_t(EVP_MD_get_size(c.md));
        HeapBuilder h{n, {}};
        std::string d = h.add(to_bytes("payload"));
        ArchiveSpec s{toc_xml(file_xml("f", d), c.style, n), h.tail, c.alg};
        s.md = c.md;
        write(s);
        {
            Archive a(pkg);
            ASSERT_NE(a.x, nullptr) << c.style << ": " << xq_xar_open_error();
            EXPECT_EQ(xar_get_toc_checksum_type(a.x), int32_t(c.alg));
            EXPECT_STREQ(xar_opt_get(a.x, XAR_OPT_TOCCKSUM), c.style);
            EXPECT_EQ(xar_opt_get(a.x, "other-option"), nullptr);
        }
        Bytes got;
        EXPECT_EQ(extract("f", &got), 0);
        EXPECT_EQ(got, to_bytes("payload"));
    }
}

TEST_F(Reader, HeaderAlgorithmAndStyleMustAgreeAndBeKnown) {
    // style sha1 with header SHA-256 (digest stored as SHA-256 so that only the
    // disagreement can fail it), and the reverse.
    ArchiveSpec s{toc_xml("", "sha1", 32), {}, 3};
    s.md = EVP_sha256();
    write(s);
    EXPECT_EQ(Archive(pkg).x, nullptr);
    ArchiveSpec s2{toc_xml("", "sha256", 20), {}, 1};
    write(s2);
    EXPECT_EQ(Archive(pkg).x, nullptr);
    // Upper case style: libxar compares exactly.
    write(ArchiveSpec{toc_xml("", "SHA1"), {}, 1});
    EXPECT_EQ(Archive(pkg).x, nullptr);
    // none, MD5 and unknown algorithms.
    for (uint32_t alg : {0u, 2u, 5u, 0xffffffffu}) {
        write(ArchiveSpec{toc_xml(""), {}, alg});
        EXPECT_EQ(Archive(pkg).x, nullptr) << alg;
    }
    // And the good one, for contrast.
    write(ArchiveSpec{toc_xml(""), {}, 1});
    EXPECT_NE(Archive(pkg).x, nullptr);
}

// Algorithm 3 ("other") lets the table of contents name the digest, among
// the SHA-2 family only; a header that names it too (xar 1.6's longer header)
// must agree.
TEST_F(Reader, AlgorithmThreeTakesOnlySha2NamesFromTheTableOfContents) {
    struct Case {
        const char* style;
        const EVP_MD* md;
    } refused[] = {{"sha1", EVP_sha1()}, {"md5", EVP_md5()}, {"SHA256", EVP_sha256()}};
    for (const Case& c : refused) {
        size_t n = size_t(EVP_MD_get_size(c.md));
        ArchiveSpec s{toc_xml("", c.style, n), {}, 3};
        s.md = c.md;  // the stored digest is the named one: only the name is at fault
        write(s);
        EXPECT_EQ(Archive(pkg).x, nullptr) << c.style;
        EXPECT_NE(std::string(xq_xar_open_error()).find("does not agree"), std::string::npos)
            << xq_xar_open_error();
    }
    for (const char* style : {"none", ""}) {
        write(ArchiveSpec{toc_xml("", style, 0), {}, 3});
        EXPECT_EQ(Archive(pkg).x, nullptr) << style;
    }
    // A named digest that is not the stored one: sha384 named, sha512 stored.
    ArchiveSpec wrong{toc_xml("", "sha384", 64), {}, 3};
    wrong.md = EVP_sha512();
    write(wrong);
    EXPECT_EQ(Archive(pkg).x, nullptr);

    // The header's own name: agreeing, disagreeing, unterminated.
    auto with_header_name = [](const std::string& name) {
        ArchiveSpec s{toc_xml("", "sha256", 32), {}, 3};
        s.md = EVP_sha256();
        s.header_size = 64;
        Bytes b = build_archive(s);
        for (size_t i = 0; i < 36; ++i)
            b[28 + i] = i < name.size() ? uint8_t(name[i]) : 0;
        return b;
    };
    write(with_header_name("sha256"));
    EXPECT_NE(Archive(pkg).x, nullptr) << xq_xar_open_error();
    write(with_header_name("sha512"));
    EXPECT_EQ(Archive(pkg).x, nullptr);
    write(with_header_name(std::string(36, 'x')));
    EXPECT_EQ(Archive(pkg).x, nullptr);
}

// xq_xar_open_error() names the check that an archive failed.
TEST_F(Reader, RefusalsSayWhy) {
    Bytes good = build_archive(ArchiveSpec{toc_xml(file_xml("m", "")), {}});
    struct Case {
        Bytes archive;
        const char* says;
    };
    std::vector<Case> cases;
    Bytes bad_magic = good;
    bad_magic[0] = 'X';
    cases.push_back({bad_magic, "magic"});
    ArchiveSpec corrupt{toc_xml(file_xml("m", "")), {}};
    corrupt.corrupt_sum = true;
    cases.push_back({build_archive(corrupt), "differs from the computed one"});
    cases.push_back(
        {build_archive(ArchiveSpec{toc_xml(file_xml("Info", "") + file_xml("iNFO", "")), {}}),
         "named \"iNFO\""});
    cases.push_back({build_archive(ArchiveSpec{toc_xml("", "sha1"), {}, 2}), "MD5"});
    cases.push_back({build_archive(ArchiveSpec{"<xar><toc>", {}}), "not well-formed XML"});
    cases.push_back({build_archive(ArchiveSpec{"<xar></xar>", {}}), "no <toc>"});
    cases.push_back({Bytes(good.begin(), good.begin() + 20), "Too short"});
    for (const Case& c : cases) {
        write(c.archive);
        EXPECT_EQ(Archive(pkg).x, nullptr) << c.says;
        EXPECT_NE(std::string(xq_xar_open_error()).find(c.says), std::string::npos)
            << "wanted \"" << c.says << "\", got \"" << xq_xar_open_error() << "\"";
    }
    write(good);
    EXPECT_NE(Archive(pkg).x, nullptr);
    EXPECT_STREQ(xq_xar_open_error(), "");
}

// Elements and attributes count together against one cap: exactly at it
// opens, one attribute more is refused.
TEST_F(Reader, AttributesCountAgainstTheNodeCap) {
    // xar, toc, checksum (and its style), offset, size, file, name, type: 9.
    auto element = [](size_t attributes) {
        std::string e = "<meta";
        for (size_t i = 0; i < attributes; ++i)
            e += " a" + std::to_string(i) + "=\"\"";
        return e + "/>";
    };
    std::string body = file_xml("m", "");
    for (int i = 0; i < 999; ++i)
        body += element(199);  // 200 nodes each: 199,809 in all
    write(ArchiveSpec{toc_xml(body + element(190)), {}});
    {
        Archive a(pkg);
        EXPECT_NE(a.x, nullptr) << xq_xar_open_error();
    }
    write(ArchiveSpec{toc_xml(body + element(191)), {}});
    EXPECT_EQ(Archive(pkg).x, nullptr);
    EXPECT_NE(std::string(xq_xar_open_error()).find("elements and attributes"), std::string::npos)
        << xq_xar_open_error();
}

// One start tag with a million attributes is refused while the XML parser
// reads it, at its memory cap, before any of them is counted or kept.
TEST_F(Reader, GiantTagStopsAtTheParserMemoryCap) {
    std::string tag = "<file";
    for (size_t i = 0; i < 1000000; ++i)
        tag += " b" + std::to_string(i) + "=\"\"";
    write(ArchiveSpec{toc_xml(tag + "/>"), {}});
    EXPECT_EQ(Archive(pkg).x, nullptr);
    EXPECT_NE(std::string(xq_xar_open_error()).find("MiB to parse"), std::string::npos)
        << xq_xar_open_error();
}

// Character data counts where the reader keeps it: per element and in all.
// Text in elements that mean nothing to the reader is parsed, not kept.
TEST_F(Reader, KeptCharacterDataIsCapped) {
    const size_t per_element = 64 * 1024;
    write(ArchiveSpec{toc_xml(file_xml(std::string(per_element, 'n'), "")), {}});
    EXPECT_NE(Archive(pkg).x, nullptr) << xq_xar_open_error();
    write(ArchiveSpec{toc_xml(file_xml(std::string(per_element + 1, 'n'), "")), {}});
    EXPECT_EQ(Archive(pkg).x, nullptr);
    EXPECT_NE(std::string(xq_xar_open_error()).find("KiB of text"), std::string::npos);

    // 130 names of 64 KiB: 8.1 MiB kept.
    std::string body;
    for (int i = 0; i < 130; ++i)
        body += file_xml(std::to_string(i) + std::string(per_element - 8, 'n'), "");
    write(ArchiveSpec{toc_xml(body), {}});
    EXPECT_EQ(Archive(pkg).x, nullptr);
    EXPECT_NE(std::string(xq_xar_open_error()).find("MiB of names"), std::string::npos)
        << xq_xar_open_error();

    // 12 MiB of blanks between and inside ignored elements.
    std::string blanks(4u << 20, ' ');
    write(ArchiveSpec{toc_xml("<note>" + blanks + "</note>" + blanks + "<note>" + blanks +
                              "</note>" + file_xml("m", "")),
                      {}});
    Archive a(pkg);
    ASSERT_NE(a.x, nullptr) << xq_xar_open_error();
    EXPECT_EQ(walk(a.x), std::vector<std::string>{"m"});
}

// A directory of 99,990 members (under every cap) opens whole; one whose
// first and last names differ only in case is refused, in any directory.
TEST_F(Reader, ManySiblingsOpenAndAnyCaseClashAmongThemIsFound) {
    std::string body;
    for (int i = 0; i < 99990; ++i)
        body += "<file><name>m" + std::to_string(i) + "</name></file>";
    write(ArchiveSpec{toc_xml(body), {}});
    {
        Archive a(pkg);
        ASSERT_NE(a.x, nullptr) << xq_xar_open_error();
        std::vector<std::string> names = walk(a.x);
        ASSERT_EQ(names.size(), 99990u);
        EXPECT_EQ(names.front(), "m99989");
        EXPECT_EQ(names.back(), "m0");
    }
    std::string inner;
    for (int i = 0; i < 50000; ++i)
        inner += "<file><name>x" + std::to_string(i) + "</name></file>";
    write(ArchiveSpec{
        toc_xml(file_xml(
            "d", "", "<file><name>Last</name></file>" + inner + "<file><name>lAST</name></file>",
            "directory")),
        {}});
    EXPECT_EQ(Archive(pkg).x, nullptr);
    EXPECT_NE(std::string(xq_xar_open_error()).find("\"lAST\""), std::string::npos)
        << xq_xar_open_error();
}

TEST_F(Reader, StoredChecksumMustEqualTheComputedOne) {
    ArchiveSpec s{toc_xml(""), {}};
    s.corrupt_sum = true;
    write(s);
    EXPECT_EQ(Archive(pkg).x, nullptr);
    // A checksum size other than the algorithm's.
    write(ArchiveSpec{toc_xml("", "sha1", 16), {}});
    EXPECT_EQ(Archive(pkg).x, nullptr);
    // No checksum element at all.
    write(ArchiveSpec{"<xar><toc></toc></xar>", {}});
    EXPECT_EQ(Archive(pkg).x, nullptr);
}

TEST_F(Reader, EveryFlippedByteOfHeaderTocOrStoredChecksumFailsOpen) {
    HeapBuilder h;
    std::string d = h.add(to_bytes("content of the member"));
    Bytes good = build_archive(ArchiveSpec{toc_xml(file_xml("m", d)), h.tail});
    write(good);
    ASSERT_NE(Archive(pkg).x, nullptr);
    const size_t toc_end = good.size() - h.tail.size();  // header + toc + checksum
    for (size_t i = 0; i < toc_end; ++i) {
        // Bytes 6 and 7 are the version, which libxar ignores. Any other byte:
        // magic, header size (which moves the table of contents), lengths,
        // algorithm, compressed table of contents, stored checksum.
        if (i == 6 || i == 7)
            continue;
        Bytes bad = good;
        bad[i] ^= 0x20;
        write(bad);
        EXPECT_EQ(Archive(pkg).x, nullptr) << "flipped byte " << i;
    }
}

TEST_F(Reader, LargerHeaderSizeIsHonoured) {
    HeapBuilder h;
    std::string d = h.add(to_bytes("x"));
    ArchiveSpec s{toc_xml(file_xml("m", d)), h.tail};
    s.header_size = 64;
    write(s);
    EXPECT_EQ(extract("m"), 0);
    s.header_size = 27;
    write(s);
    EXPECT_EQ(Archive(pkg).x, nullptr);
}

TEST_F(Reader, UncompressedLengthMustMatch) {
    for (int64_t delta : {-1, 1, 1 << 20}) {
        ArchiveSpec s{toc_xml(""), {}};
        s.ulen_delta = delta;
        write(s);
        EXPECT_EQ(Archive(pkg).x, nullptr) << delta;
    }
}

TEST_F(Reader, HugeOrOverflowingHeaderLengthsFailWithoutAllocating) {
    Bytes good = build_archive(ArchiveSpec{toc_xml(""), {}});
    for (uint64_t v : {~0ull, 1ull << 63, 1ull << 40, 0ull}) {
        for (int field : {8, 16}) {
            Bytes bad = good;
            for (int i = 0; i < 8; ++i)
                bad[size_t(field + i)] = uint8_t(v >> (8 * (7 - i)));
            write(bad);
            EXPECT_EQ(Archive(pkg).x, nullptr) << field << " " << v;
        }
    }
}

TEST_F(Reader, EveryTruncationFailsCleanly) {
    HeapBuilder h;
    std::string d = h.add(sample(3000), Enc::Gzip);
    Bytes good = build_archive(ArchiveSpec{toc_xml(file_xml("m", d)), h.tail});
    const size_t heap_data_start = good.size() - h.tail.size();
    for (size_t n = 0; n < good.size(); ++n) {
        write(Bytes(good.begin(), good.begin() + long(n)));
        Archive a(pkg);
        if (n < heap_data_start) {
            EXPECT_EQ(a.x, nullptr) << n;
            continue;
        }
        // The table of contents is intact: open works, the member does not.
        ASSERT_NE(a.x, nullptr) << n;
        Iter it;
        xar_file_t f = member(a.x, it.i, "m");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(xar_extract_tofile(a.x, f, (dir / "out").c_str()), -1) << n;
        EXPECT_FALSE(exists(dir / "out"));
    }
}

TEST_F(Reader, NotAnArchive) {
    write(to_bytes(""));
    EXPECT_EQ(Archive(pkg).x, nullptr);
    write(to_bytes("PK\x03\x04 this is a zip file, not a xar archive at all......"));
    EXPECT_EQ(Archive(pkg).x, nullptr);
    EXPECT_EQ(Archive(dir / "missing.pkg").x, nullptr);
    EXPECT_EQ(xar_open(nullptr, READ), nullptr);
    write(ArchiveSpec{toc_xml(""), {}});
    EXPECT_EQ(xar_open(pkg.c_str(), WRITE), nullptr);  // read-only reader
}

TEST(ReaderNullArguments, CallsOnNothingFailWithoutCrashing) {
    EXPECT_EQ(xar_close(nullptr), 0);
    xar_iter_free(nullptr);
    EXPECT_EQ(xar_file_first(nullptr, nullptr), nullptr);
    EXPECT_EQ(xar_file_next(nullptr), nullptr);
    xar_iter_t it = xar_iter_new();
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(xar_file_next(it), nullptr);  // never started
    xar_iter_free(it);
    EXPECT_EQ(xar_get_path(nullptr), nullptr);
    EXPECT_EQ(xar_get_safe_path(nullptr), nullptr);
    EXPECT_EQ(xar_extract_tofile(nullptr, nullptr, "/tmp/x"), -1);
    EXPECT_EQ(xar_signature_first(nullptr), nullptr);
    EXPECT_NE(xar_signature_copy_signed_data(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              0);
    EXPECT_EQ(xar_err_get_string(nullptr), nullptr);
    EXPECT_EQ(xar_err_get_errno(nullptr), 0);
    xar_register_errhandler(nullptr, nullptr, nullptr);
}

TEST_F(Reader, XmlThatIsNotATableOfContentsFails) {
    const char* docs[] = {
        "<xar><toc>",                    // not well formed
        "<notxar><toc></toc></notxar>",  // wrong root
        "<xar></xar>",                   // no toc
        "<xar><toc><checksum style=\"sha1\"><offset>0</offset><size>20</size></checksum></toc>"
        "<toc/></xar>",  // two tocs
        "<?xml version=\"1.0\"?><!DOCTYPE xar [<!ENTITY a \"aaaaaaaaaa\">]>"
        "<xar><toc><checksum style=\"sha1\"><offset>0</offset><size>20</size></checksum>"
        "<file><name>&a;</name></file></toc></xar>",  // entities
        "<?xml version=\"1.0\"?><!DOCTYPE xar SYSTEM \"file:///etc/passwd\">"
        "<xar><toc><checksum style=\"sha1\"><offset>0</offset><size>20</size></checksum>"
        "</toc></xar>",  // external DTD
    };
    for (const char* doc : docs) {
        write(ArchiveSpec{doc, {}});
        EXPECT_EQ(Archive(pkg).x, nullptr) << doc;
    }
}

TEST_F(Reader, MalformedNumbersFailOpen) {
    for (const char* off : {"-1", "1e3", "0x10", "18446744073709551616", "", "1 2"}) {
        std::string body = std::string("<file><name>m</name><data><offset>") + off +
                           "</offset><length>1</length></data></file>";
        write(ArchiveSpec{toc_xml(body), {}});
        EXPECT_EQ(Archive(pkg).x, nullptr) << off;
    }
}

TEST_F(Reader, DeepNestingIsCapped) {
    std::string open, close;
    for (int i = 0; i < 5000; ++i) {
        open += "<file><name>d</name>";
        close += "</file>";
    }
    write(ArchiveSpec{toc_xml(open + close), {}});
    EXPECT_EQ(Archive(pkg).x, nullptr);
}

// ---- extraction ----

TEST_F(Reader, ExtractsEachEncodingAndChecksBothChecksums) {
    Bytes plain = sample(200000);
    HeapBuilder h;
    std::string body = file_xml("gz", h.add(plain, Enc::Gzip)) +
                       file_xml("bz", h.add(plain, Enc::Bzip2)) +
                       file_xml("raw", h.add(plain, Enc::None)) +
                       file_xml("s256", h.add(plain, Enc::Gzip, "sha256")) +
                       file_xml("empty", h.add(Bytes{}, Enc::None)) + file_xml("nodata", "");
    write(ArchiveSpec{toc_xml(body), h.tail});
    for (const char* m : {"gz", "bz", "raw", "s256"}) {
        Bytes got;
        EXPECT_EQ(extract(m, &got), 0) << m;
        EXPECT_EQ(got, plain) << m;
    }
    Bytes got = to_bytes("old");
    EXPECT_EQ(extract("empty", &got), 0);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(extract("nodata", &got), 0);
    EXPECT_TRUE(got.empty());
}

TEST_F(Reader, ExtractedChecksumIsCheckedEvenWhenTheArchivedOneMatches) {
    // libxar would write this member: its archived checksum is right.
    Bytes plain = to_bytes("genuine"), stored = zlib(plain);
    HeapBuilder h;
    uint64_t off = h.add_raw(stored);
    std::string data = "<data><length>" + std::to_string(stored.size()) + "</length><offset>" +
                       std::to_string(off) +
                       "</offset><encoding style=\"application/x-gzip\"/>"
                       "<archived-checksum style=\"sha1\">" +
                       hex(digest(EVP_sha1(), stored)) +
                       "</archived-checksum><extracted-checksum style=\"sha1\">" +
                       hex(digest(EVP_sha1(), to_bytes("other"))) + "</extracted-checksum></data>";
    write(ArchiveSpec{toc_xml(file_xml("m", data)), h.tail});
    Bytes got;
    EXPECT_EQ(extract("m", &got), -1);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(dir.count(), 1u);  // only a.pkg: no temporary file left
}

TEST_F(Reader, FlippedByteInMemberDataFailsOnlyThatMember) {
    Bytes plain = sample(5000);
    HeapBuilder h;
    std::string d1 = h.add(plain, Enc::Gzip);
    size_t start = h.tail.size();
    std::string d2 = h.add(plain, Enc::None);
    std::string d3 = h.add(plain, Enc::Bzip2);
    size_t end = h.tail.size();
    Bytes good = build_archive(
        ArchiveSpec{toc_xml(file_xml("a", d1) + file_xml("b", d2) + file_xml("c", d3)), h.tail});
    const size_t base = good.size() - h.tail.size();
    for (size_t i = start; i < end; i += 97) {
        Bytes bad = good;
        bad[base + i] ^= 0x04;
        write(bad);
        const char* hit = i < start + plain.size() ? "b" : "c";
        Bytes got;
        EXPECT_EQ(extract(hit, &got), -1) << i;
        EXPECT_TRUE(got.empty());
        EXPECT_EQ(extract("a", &got), 0);
        EXPECT_EQ(got, plain);
    }
}

TEST_F(Reader, MissingOrUnsupportedChecksumsAndEncodingsFail) {
    Bytes plain = to_bytes("data"), stored = zlib(plain);
    auto data = [&](const std::string& enc, const std::string& sums) {
        return "<data><length>" + std::to_string(stored.size()) +
               "</length><offset>20</offset><size>4</size><encoding style=\"" + enc + "\"/>" +
               sums + "</data>";
    };
    std::string both = "<archived-checksum style=\"sha1\">" + hex(digest(EVP_sha1(), stored)) +
                       "</archived-checksum><extracted-checksum style=\"sha1\">" +
                       hex(digest(EVP_sha1(), plain)) + "</extracted-checksum>";
    std::string md5 = "<archived-checksum style=\"md5\">" + hex(digest(EVP_md5(), stored)) +
                      "</archived-checksum><extracted-checksum style=\"md5\">" +
                      hex(digest(EVP_md5(), plain)) + "</extracted-checksum>";
    std::string only_archived = "<archived-checksum style=\"sha1\">" +
                                hex(digest(EVP_sha1(), stored)) + "</archived-checksum>";
    struct Case {
        std::string data;
        int32_t want;
    } cases[] = {
        {data("application/x-gzip", both), 0},
        {data("application/x-lzma", both), -1},
        {data("application/x-gzip", md5), -1},
        {data("application/x-gzip", only_archived), -1},
        {data("application/x-gzip", ""), -1},
        // No declared size.
        {"<data><length>" + std::to_string(stored.size()) +
             "</length><offset>20</offset><encoding style=\"application/x-gzip\"/>" + both +
             "</data>",
         -1},
    };
    for (const Case& c : cases) {
        write(ArchiveSpec{toc_xml(file_xml("m", c.data)), stored});
        EXPECT_EQ(extract("m"), c.want) << c.data;
        if (c.want != 0) {
            EXPECT_FALSE(exists(dir / "out"));
        }
    }
}

TEST_F(Reader, DataOutsideTheHeapFails) {
    Bytes stored = to_bytes("abc");
    std::string sums = "<archived-checksum style=\"sha1\">" + hex(digest(EVP_sha1(), stored)) +
                       "</archived-checksum><extracted-checksum style=\"sha1\">" +
                       hex(digest(EVP_sha1(), stored)) + "</extracted-checksum>";
    for (const char* ol :
         {"<offset>21</offset><length>3</length>",  // one past the end
          "<offset>18446744073709551615</offset><length>2</length>",
          "<offset>20</offset><length>18446744073709551615</length>", "<length>3</length>",
          "<offset>20</offset>", "<offset>20</offset><length>3</length>"}) {
        // The last one is sound, so that the others fail for their range alone.
        bool sound = std::string(ol) == "<offset>20</offset><length>3</length>";
        write(ArchiveSpec{toc_xml(file_xml("m", std::string("<data>") + ol + "<size>3</size>" +
                                                    sums + "</data>")),
                          stored});
        EXPECT_EQ(extract("m"), sound ? 0 : -1) << ol;
        EXPECT_EQ(exists(dir / "out"), sound);
    }
}

TEST_F(Reader, DecompressionBombStopsAtTheDeclaredSize) {
    // 64 MiB of zeros compress to about 64 KiB; the member claims 10 bytes.
    Bytes plain(64u << 20, 0);
    Bytes stored = zlib(plain);
    std::string data =
        "<data><length>" + std::to_string(stored.size()) +
        "</length><offset>20</offset><size>10</size>"
        "<encoding style=\"application/x-gzip\"/><archived-checksum style=\"sha1\">" +
        hex(digest(EVP_sha1(), stored)) +
        "</archived-checksum><extracted-checksum style=\"sha1\">" + hex(digest(EVP_sha1(), plain)) +
        "</extracted-checksum></data>";
    write(ArchiveSpec{toc_xml(file_xml("m", data)), stored});
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(extract("m"), -1);
    EXPECT_FALSE(exists(dir / "out"));
    EXPECT_EQ(dir.count(), 1u);
    // Stopping at the declared size means almost nothing was inflated.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST_F(Reader, MemberOverTheInMemoryCapGoesToAFileOnly) {
    const size_t cap = 64u << 20;
    Bytes plain(cap + 1, 'x');
    HeapBuilder h;
    write(ArchiveSpec{toc_xml(file_xml("big", h.add(plain))), h.tail});
    Archive a(pkg);
    ASSERT_NE(a.x, nullptr);
    Iter it;
    xar_file_t f = member(a.x, it.i, "big");
    char* mem = nullptr;
    size_t size = 0;
    EXPECT_EQ(xar_extract_tobuffersz(a.x, f, &mem, &size), -1);
    EXPECT_EQ(mem, nullptr);
    EXPECT_EQ(xar_extract_tofile(a.x, f, (dir / "out").c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat((dir / "out").c_str(), &st), 0);
    EXPECT_EQ(size_t(st.st_size), cap + 1);
    EXPECT_EQ(xar_extract_tobuffersz(a.x, f, nullptr, &size), -1);
    EXPECT_EQ(xar_extract_tobuffersz(nullptr, f, &mem, &size), -1);
}

TEST_F(Reader, ShorterOutputThanDeclaredFails) {
    Bytes plain = to_bytes("12345"), stored = zlib(plain);
    std::string data =
        "<data><length>" + std::to_string(stored.size()) +
        "</length><offset>20</offset><size>6</size>"
        "<encoding style=\"application/x-gzip\"/><archived-checksum style=\"sha1\">" +
        hex(digest(EVP_sha1(), stored)) +
        "</archived-checksum><extracted-checksum style=\"sha1\">" + hex(digest(EVP_sha1(), plain)) +
        "</extracted-checksum></data>";
    write(ArchiveSpec{toc_xml(file_xml("m", data)), stored});
    EXPECT_EQ(extract("m"), -1);
}

TEST_F(Reader, TrailingBytesAfterCompressedStreamFail) {
    Bytes plain = to_bytes("12345"), stored = zlib(plain);
    stored.push_back(0);
    std::string data =
        "<data><length>" + std::to_string(stored.size()) +
        "</length><offset>20</offset><size>5</size>"
        "<encoding style=\"application/x-gzip\"/><archived-checksum style=\"sha1\">" +
        hex(digest(EVP_sha1(), stored)) +
        "</archived-checksum><extracted-checksum style=\"sha1\">" + hex(digest(EVP_sha1(), plain)) +
        "</extracted-checksum></data>";
    write(ArchiveSpec{toc_xml(file_xml("m", data)), stored});
    EXPECT_EQ(extract("m"), -1);
}

TEST_F(Reader, DirectoriesAndLinksAreNotExtractedAsFiles) {
    write(ArchiveSpec{
        toc_xml(file_xml("d", "", "", "directory") + file_xml("l", "", "", "symlink")), {}});
    EXPECT_EQ(extract("d"), -1);
    EXPECT_EQ(extract("l"), -1);
    EXPECT_FALSE(exists(dir / "out"));
}

TEST_F(Reader, ExtractionReplacesWhateverIsAtTheDestinationWithoutFollowingIt) {
    HeapBuilder h;
    write(ArchiveSpec{toc_xml(file_xml("m", h.add(to_bytes("new")))), h.tail});
    std::string victim = dir / "victim";
    write_file(victim, to_bytes("keep"));
    ASSERT_EQ(symlink(victim.c_str(), (dir / "out").c_str()), 0);
    Archive a(pkg);
    ASSERT_NE(a.x, nullptr);
    Iter it;
    EXPECT_EQ(xar_extract_tofile(a.x, xar_file_first(a.x, it.i), (dir / "out").c_str()), 0);
    EXPECT_EQ(xqtest::readBytes(dir / "out"), to_bytes("new"));
    EXPECT_EQ(xqtest::readBytes(victim), to_bytes("keep"));
    struct stat st;
    ASSERT_EQ(lstat((dir / "out").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(Reader, ExtractionIntoAMissingDirectoryFails) {
    HeapBuilder h;
    write(ArchiveSpec{toc_xml(file_xml("m", h.add(to_bytes("x")))), h.tail});
    Archive a(pkg);
    ASSERT_NE(a.x, nullptr);
    Iter it;
    xar_file_t f = xar_file_first(a.x, it.i);
    EXPECT_EQ(xar_extract_tofile(a.x, f, (dir / "no/such/dir/out").c_str()), -1);
    EXPECT_EQ(xar_extract_tofile(a.x, f, ""), -1);
    EXPECT_EQ(xar_extract_tofile(a.x, f, nullptr), -1);
}

struct Seen {
    int calls = 0;
    std::string last;
    int err = -1;
};

int32_t record(int32_t, int32_t, xar_errctx_t ctx, void* usr) {
    auto* s = static_cast<Seen*>(usr);
    ++s->calls;
    s->last = xar_err_get_string(ctx);
    s->err = xar_err_get_errno(ctx);
    return 0;
}

TEST_F(Reader, ErrorHandlerHearsOfFailedCalls) {
    HeapBuilder h;
    write(ArchiveSpec{toc_xml(file_xml("m", h.add(to_bytes("x")))), h.tail});
    Archive a(pkg);
    ASSERT_NE(a.x, nullptr);
    Seen seen;
    xar_register_errhandler(a.x, record, &seen);
    Iter it;
    xar_file_t f = xar_file_first(a.x, it.i);
    EXPECT_EQ(xar_extract_tofile(a.x, f, (dir / "out").c_str()), 0);
    EXPECT_EQ(seen.calls, 0);
    EXPECT_EQ(xar_extract_tofile(a.x, f, (dir / "none/out").c_str()), -1);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_FALSE(seen.last.empty());
    EXPECT_EQ(seen.err, ENOENT);
}

// ---- signatures ----

std::string sig_xml(const char* el, const char* style, uint64_t off, uint64_t size,
                    const std::vector<std::string>& certs_b64) {
    std::string s = std::string("<") + el + (style ? std::string(" style=\"") + style + "\"" : "") +
                    "><offset>" + std::to_string(off) + "</offset><size>" + std::to_string(size) +
                    "</size><KeyInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><X509Data>";
    for (const auto& c : certs_b64)
        s += "<X509Certificate>" + c + "</X509Certificate>";
    return s + "</X509Data></KeyInfo></" + el + ">";
}

TEST_F(Reader, SignatureEntriesInOrderWithCertificatesAndSignedData) {
    HeapBuilder h;
    uint64_t o1 = h.add_raw(Bytes(8, 0x11)), o2 = h.add_raw(Bytes(4, 0x22)),
             o3 = h.add_raw(Bytes(12, 0x33));
    // "AQID" = 01 02 03; with a line break inside, as real packages store it.
    std::string body = sig_xml("signature", "RSA", o1, 8, {"AQID", "BAUG\nBw=="}) +
                       sig_xml("signature", "Other", o2, 4, {}) +
                       sig_xml("x-signature", "CMS", o3, 12, {"CAkK"}) + file_xml("m", "");
    Bytes arc = build_archive(ArchiveSpec{toc_xml(body), h.tail});
    write(arc);
    Archive a(pkg);
    ASSERT_NE(a.x, nullptr);
    std::vector<std::string> types;
    for (xar_signature_t s = xar_signature_first(a.x); s; s = xar_signature_next(s))
        types.push_back(xar_signature_type(s));
    EXPECT_EQ(types, (std::vector<std::string>{"RSA", "Other", "CMS"}));

    xar_signature_t rsa = xar_signature_first(a.x);
    ASSERT_EQ(xar_signature_get_x509certificate_count(rsa), 2);
    const uint8_t* der = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(xar_signature_get_x509certificate_data(rsa, 1, &der, &len), 0);
    EXPECT_EQ(Bytes(der, der + len), (Bytes{4, 5, 6, 7}));
    EXPECT_EQ(xar_signature_get_x509certificate_data(rsa, 2, &der, &len), -1);
    EXPECT_EQ(der, nullptr);
    EXPECT_EQ(xar_signature_get_x509certificate_data(rsa, -1, &der, &len), -1);

    xar_signature_t cms = xar_signature_next(xar_signature_next(rsa));
    uint8_t *sum = nullptr, *sig = nullptr;
    uint32_t sum_len = 0, sig_len = 0;
    off_t sig_off = 0;
    ASSERT_EQ(xar_signature_copy_signed_data(cms, &sum, &sum_len, &sig, &sig_len, &sig_off), 0);
    // The signed data is the stored checksum: the SHA-1 of the compressed TOC.
    Bytes z(arc.begin() + 28, arc.end() - long(h.tail.size()) - 20);
    EXPECT_EQ(Bytes(sum, sum + sum_len), digest(EVP_sha1(), z));
    EXPECT_EQ(Bytes(sig, sig + sig_len), Bytes(12, 0x33));
    EXPECT_EQ(sig_off, off_t(o3));
    free(sum);
    free(sig);
    // Only the pieces asked for.
    sig_len = 0;
    ASSERT_EQ(xar_signature_copy_signed_data(cms, nullptr, nullptr, nullptr, &sig_len, nullptr), 0);
    EXPECT_EQ(sig_len, 12u);
}

TEST_F(Reader, UnsignedArchiveHasNoSignatureEntry) {
    write(ArchiveSpec{toc_xml(file_xml("m", "")), {}});
    Archive a(pkg);
    ASSERT_NE(a.x, nullptr);
    EXPECT_EQ(xar_signature_first(a.x), nullptr);
    EXPECT_EQ(xar_signature_next(nullptr), nullptr);
    EXPECT_EQ(xar_signature_type(nullptr), nullptr);
    EXPECT_EQ(xar_signature_get_x509certificate_count(nullptr), 0);
}

TEST_F(Reader, SignatureOutsideTheHeapGivesAFailedCopyAndNoBuffers) {
    HeapBuilder h;
    uint64_t o = h.add_raw(Bytes(4, 1));
    for (auto [off, size] : std::vector<std::pair<uint64_t, uint64_t>>{
             {o, 5}, {o + 1, 4}, {~0ull, 2}, {o, 0}, {o, 1ull << 40}}) {
        write(ArchiveSpec{toc_xml(sig_xml("x-signature", "CMS", off, size, {"AQID"})), h.tail});
        Archive a(pkg);
        ASSERT_NE(a.x, nullptr);
        Seen seen;
        xar_register_errhandler(a.x, record, &seen);
        uint8_t *sum = nullptr, *sig = nullptr;
        uint32_t sum_len = 0, sig_len = 0;
        EXPECT_NE(xar_signature_copy_signed_data(xar_signature_first(a.x), &sum, &sum_len, &sig,
                                                 &sig_len, nullptr),
                  0)
            << off << " " << size;
        EXPECT_EQ(sum, nullptr);
        EXPECT_EQ(sig, nullptr);
        EXPECT_EQ(seen.calls, 1);
    }
}

TEST_F(Reader, BadCertificateEncodingFailsOpen) {
    for (const char* c : {"AQ=D", "!!!!", "AQIDB", ""}) {
        write(ArchiveSpec{toc_xml(sig_xml("x-signature", "CMS", 20, 1, {c})), Bytes(1, 0)});
        EXPECT_EQ(Archive(pkg).x, nullptr) << c;
    }
}

TEST_F(Reader, SignatureWithoutChecksumOffsetFailsOpen) {
    std::string doc = "<xar><toc><checksum style=\"sha1\"><size>20</size></checksum>" +
                      sig_xml("x-signature", "CMS", 20, 1, {"AQID"}) + "</toc></xar>";
    write(ArchiveSpec{doc, Bytes(1, 0)});
    EXPECT_EQ(Archive(pkg).x, nullptr);
}

// ---- what is at the path ----

TEST_F(Reader, FifoDeviceAndDirectoryFailAtOnce) {
    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A blocking open of a FIFO with no writer would never return; the test
    // would then hit its time-out.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Archive(fifo).x, nullptr);
    EXPECT_EQ(Archive("/dev/null").x, nullptr);
    EXPECT_EQ(Archive("/dev/zero").x, nullptr);
    EXPECT_EQ(Archive(dir.path).x, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    // A symbolic link to a FIFO is no better.
    ASSERT_EQ(symlink(fifo.c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(Archive(dir / "link").x, nullptr);
}

TEST_F(Reader, SymbolicLinkToAnArchiveOpens) {
    write(ArchiveSpec{toc_xml(file_xml("m", "")), {}});
    ASSERT_EQ(symlink(pkg.c_str(), (dir / "link.pkg").c_str()), 0);
    Archive a(dir / "link.pkg");
    ASSERT_NE(a.x, nullptr);
    EXPECT_EQ(walk(a.x), (std::vector<std::string>{"m"}));
}

TEST_F(Reader, ManyArchivesOpenAndCloseWithoutLeakingDescriptors) {
    write(ArchiveSpec{toc_xml(file_xml("m", "")), {}});
    int before = open("/dev/null", O_RDONLY);
    close(before);
    for (int i = 0; i < 200; ++i) {
        Archive a(pkg);
        ASSERT_NE(a.x, nullptr);
    }
    for (int i = 0; i < 200; ++i) {
        write(to_bytes("garbage that is not an archive, long enough for a header."));
        Archive a(pkg);
        ASSERT_EQ(a.x, nullptr);
    }
    int after = open("/dev/null", O_RDONLY);
    close(after);
    EXPECT_EQ(before, after);
}

}  // namespace
