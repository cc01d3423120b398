// The kernel copy of a file's bytes: data arrives byte for byte, holes stay
// holes, and a source that is shorter or longer than the size asked for is
// noticed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/base/fd.h"
#include "platform/copy/copy.h"
#include "tests/support/harness.h"

namespace fs = std::filesystem;

namespace {

class CopyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/xq-copy-test.XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        work_ = templ;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(work_, ec);
    }

    // A file of `size` bytes holding `pieces` at their offsets, holes between.
    std::string writeSparse(const std::string& name,
                            const std::vector<std::pair<off_t, std::string>>& pieces, off_t size) {
        const std::string path = work_ + "/" + name;
        const base::UniqueFd fd(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        EXPECT_TRUE(fd);
        for (const auto& [offset, bytes] : pieces) {
            EXPECT_TRUE(base::writeAllAt(fd.get(), bytes.data(), bytes.size(), offset));
        }
        EXPECT_EQ(::ftruncate(fd.get(), size), 0);
        return path;
    }

    // Copies `size` bytes of the file at `src` into a new file; its path, or
    // nothing when the copy failed.
    std::optional<std::string> copyOf(const std::string& src, uint64_t size) {
        const std::string dst = work_ + "/copy-" + std::to_string(copies_++);
        const base::UniqueFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
        const base::UniqueFd out(
            ::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!in || !out || !copy::copyFileContent(in.get(), out.get(), size)) {
            return std::nullopt;
        }
        return dst;
    }

    std::string work_;
    int copies_ = 0;
};

// Data between holes arrives byte for byte, the holes stay holes, and a hole
// at the end gives the copy its full length.
TEST_F(CopyTest, SparseFileArrivesWithItsHolesKept) {
    const off_t size = (off_t{64} << 20) + 4096;
    const std::string sparse = writeSparse("sparse.pkg",
                                           {{0, std::string(70000, 'a')},
                                            {off_t{20} << 20, std::string(5000, 'b')},
                                            {(off_t{64} << 20) - 3, "end"}},
                                           size);
    const auto copied = copyOf(sparse, static_cast<uint64_t>(size));
    ASSERT_TRUE(copied);
    EXPECT_EQ(xqtest::readFile(*copied), xqtest::readFile(sparse));
    struct stat source;
    struct stat st;
    ASSERT_EQ(::stat(sparse.c_str(), &source), 0);
    ASSERT_EQ(::stat(copied->c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size);
    EXPECT_LE(st.st_blocks, source.st_blocks + 64) << "the holes were written out";

    // All hole, and nothing at all.
    const std::string empty = writeSparse("holes.pkg", {}, off_t{8} << 20);
    const auto holes = copyOf(empty, uint64_t{8} << 20);
    ASSERT_TRUE(holes);
    EXPECT_EQ(xqtest::readFile(*holes), std::string(size_t{8} << 20, '\0'));
    const auto none = copyOf(empty, 0);
    ASSERT_TRUE(none);
    EXPECT_EQ(fs::file_size(*none), 0u);
}

// A copy of a prefix holds exactly that prefix, and fileEndsAt tells that the
// source goes on; a source shorter than the size asked for fails the copy or
// ends in zeros, and fileEndsAt tells that too.
TEST_F(CopyTest, SourceLongerOrShorterThanTheSizeIsNoticed) {
    std::string bytes;
    for (int i = 0; i < 300000; ++i) {
        bytes.push_back(static_cast<char>('a' + i % 26));
    }
    const std::string src =
        writeSparse("plain.pkg", {{0, bytes}}, static_cast<off_t>(bytes.size()));
    const auto prefix = copyOf(src, 1000);
    ASSERT_TRUE(prefix);
    EXPECT_EQ(xqtest::readFile(*prefix), bytes.substr(0, 1000));

    const base::UniqueFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(in);
    EXPECT_TRUE(copy::fileEndsAt(in.get(), bytes.size()));
    EXPECT_FALSE(copy::fileEndsAt(in.get(), 1000));
    EXPECT_FALSE(copy::fileEndsAt(in.get(), bytes.size() + 1));

    if (const auto longer = copyOf(src, bytes.size() + 1)) {
        EXPECT_EQ(xqtest::readFile(*longer), bytes + '\0');
    }
}

// Where the two files lie on different file systems (a tmpfs and the scratch
// directory's), the copy takes another way through the kernel and still
// arrives whole.
TEST_F(CopyTest, CopyAcrossFileSystems) {
    std::error_code ec;
    if (!fs::is_directory("/dev/shm", ec)) {
        GTEST_SKIP() << "no /dev/shm here";
    }
    char templ[] = "/dev/shm/xq-copy-test.XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    const std::string shm = templ;
    const std::string bytes(size_t{3} << 20, 'x');
    const std::string src = shm + "/source.pkg";
    {
        const base::UniqueFd fd(
            ::open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        ASSERT_TRUE(fd);
        ASSERT_TRUE(base::writeAll(fd.get(), bytes));
        ASSERT_TRUE(base::writeAllAt(fd.get(), "tail", 4, off_t{5} << 20));
    }
    const auto copied = copyOf(src, (uint64_t{5} << 20) + 4);
    fs::remove_all(shm, ec);
    ASSERT_TRUE(copied);
    const std::string got = xqtest::readFile(*copied);
    ASSERT_EQ(got.size(), (size_t{5} << 20) + 4);
    EXPECT_EQ(got.substr(0, bytes.size()), bytes);
    EXPECT_EQ(got.substr(bytes.size(), (size_t{2} << 20)), std::string(size_t{2} << 20, '\0'));
    EXPECT_EQ(got.substr(got.size() - 4), "tail");
}

}  // namespace
