// The shared idioms: the failing cursor, the descriptor owner, the EINTR loops
// against a real signal on a real pipe, the UTF-8 check, the version order
// and the path helpers.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/cursor.h"
#include "platform/base/fd.h"
#include "platform/base/handle.h"
#include "platform/base/path.h"
#include "platform/base/utf8.h"
#include "platform/base/version.h"

namespace {

TEST(Cursor, ReadsBothByteOrdersAndFailsForGoodPastTheEnd) {
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                             0x11, 0x12, 0x13, 0x14, 0x21, 0x22, 0x31};
    base::Cursor c(bytes, sizeof bytes);
    EXPECT_EQ(c.be64(), 0x0102030405060708u);
    EXPECT_EQ(c.le32(), 0x14131211u);
    EXPECT_EQ(c.be16(), 0x2122u);
    EXPECT_TRUE(c.ok());
    EXPECT_EQ(c.remaining(), 1u);
    // Two bytes wanted, one left: the read fails and consumes nothing usable.
    EXPECT_EQ(c.le16(), 0u);
    EXPECT_FALSE(c.ok());
    // Once failed, even a read that would fit returns nothing.
    EXPECT_EQ(c.u8(), 0u);
    EXPECT_TRUE(c.bytes(0).empty());
    EXPECT_FALSE(c.skip(0));
    EXPECT_EQ(c.remaining(), 0u);
    EXPECT_FALSE(c.sub(0).ok());
    EXPECT_FALSE(c.ok());

    base::Cursor little(bytes, sizeof bytes);
    EXPECT_EQ(little.le64(), 0x0807060504030201u);
    EXPECT_EQ(little.be32(), 0x11121314u);
    EXPECT_EQ(little.le16(), 0x2221u);
    EXPECT_EQ(little.u8(), 0x31u);
    EXPECT_TRUE(little.ok());
    EXPECT_TRUE(little.atEnd());
}

TEST(Cursor, LengthsThatWouldWrapTheOffsetFail) {
    const uint8_t bytes[16] = {};
    base::Cursor c(bytes, sizeof bytes);
    ASSERT_TRUE(c.skip(8));
    // offset 8 + SIZE_MAX - 4 wraps to 3 in size_t arithmetic: must not pass.
    EXPECT_TRUE(c.bytes(SIZE_MAX - 4).empty());
    EXPECT_FALSE(c.ok());

    base::Cursor d(bytes, sizeof bytes);
    EXPECT_FALSE(d.sub(SIZE_MAX).ok());
    EXPECT_FALSE(d.ok());

    const base::Cursor whole(bytes, sizeof bytes);
    EXPECT_FALSE(whole.window(8, UINT64_MAX - 4).ok());
    EXPECT_FALSE(whole.window(UINT64_MAX, 1).ok());
    EXPECT_FALSE(whole.window(17, 0).ok());
    // A window of the whole, and an empty one at the very end, are fine and
    // leave the cursor they came from untouched.
    EXPECT_TRUE(whole.window(0, 16).ok());
    base::Cursor end = whole.window(16, 0);
    EXPECT_TRUE(end.ok());
    EXPECT_TRUE(end.atEnd());
    EXPECT_TRUE(whole.ok());
    EXPECT_EQ(whole.offset(), 0u);
}

TEST(Cursor, SubCursorsAreBoundedByTheirRecord) {
    // Two records of [length][bytes]; the second claims more than is there.
    const uint8_t bytes[] = {0x02, 'h', 'i', 0x05, 'x', 'y'};
    base::Cursor c(bytes, sizeof bytes);
    base::Cursor first = c.sub(c.u8());
    EXPECT_EQ(first.chars(2), "hi");
    EXPECT_TRUE(first.atEnd());
    EXPECT_EQ(first.u8(), 0u);  // past its record, though the buffer goes on
    EXPECT_FALSE(first.ok());
    EXPECT_TRUE(c.ok());
    EXPECT_EQ(c.offset(), 3u);
    base::Cursor second = c.sub(c.u8());
    EXPECT_FALSE(second.ok());
    EXPECT_FALSE(c.ok());
}

TEST(UniqueFd, ClosesOnceAndHandsOverOnMove) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const int readEnd = fds[0];
    {
        base::UniqueFd a(fds[0]);
        base::UniqueFd w(fds[1]);
        base::UniqueFd b(std::move(a));
        EXPECT_FALSE(a.valid());
        EXPECT_EQ(b.get(), readEnd);
        base::UniqueFd c;
        c = std::move(b);
        EXPECT_FALSE(b.valid());
        EXPECT_EQ(c.get(), readEnd);
        EXPECT_GE(::fcntl(readEnd, F_GETFD), 0);
        // Self-move keeps the descriptor open.
        base::UniqueFd& alias = c;
        c = std::move(alias);
        EXPECT_GE(::fcntl(readEnd, F_GETFD), 0);
        w.reset();
        EXPECT_EQ(::fcntl(fds[1], F_GETFD), -1);
        const int kept = c.release();
        EXPECT_EQ(kept, readEnd);
        EXPECT_FALSE(c.valid());
        c.reset(kept);
    }
    // Closed by the last owner, exactly once.
    EXPECT_EQ(::fcntl(readEnd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

std::atomic<int> g_signals{0};
void countSignal(int) {
    g_signals.fetch_add(1);
}

TEST(FdLoops, ReadFullAndWriteAllSurviveSignalsOnARealPipe) {
    // A handler without SA_RESTART: a blocked read(2) fails with EINTR.
    struct sigaction action {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction saved {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &saved), 0);

    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    base::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    const std::string payload(300000, 'p');  // more than a pipe holds

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        readEnd.reset();
        // Interrupt the parent while it is blocked reading, then write the
        // payload in pieces so the parent's reads come back short.
        const pid_t parent = ::getppid();
        for (int i = 0; i < 5; ++i) {
            ::usleep(20000);
            ::kill(parent, SIGUSR1);
        }
        size_t at = 0;
        while (at < payload.size()) {
            const size_t n = std::min<size_t>(7000, payload.size() - at);
            if (!base::writeAll(writeEnd.get(), payload.data() + at, n)) {
                ::_exit(1);
            }
            at += n;
            ::kill(parent, SIGUSR1);
        }
        ::_exit(0);
    }
    writeEnd.reset();
    std::string got(payload.size() + 10, '\0');
    const ssize_t n = base::readFull(readEnd.get(), got.data(), got.size());
    int status = 0;
    ASSERT_EQ(base::retryOnEintr([&] { return ::waitpid(child, &status, 0); }), child);
    ::sigaction(SIGUSR1, &saved, nullptr);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GT(g_signals.load(), 0);
    // Every byte, and a short count only because the writer closed.
    ASSERT_EQ(n, static_cast<ssize_t>(payload.size()));
    got.resize(static_cast<size_t>(n));
    EXPECT_EQ(got, payload);
}

TEST(FdLoops, ErrorsAreReportedNotRetried) {
    char byte = 0;
    errno = 0;
    EXPECT_EQ(base::readFull(-1, &byte, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_FALSE(base::writeAll(-1, "x"));
    EXPECT_EQ(errno, EBADF);
    // Writing into a pipe whose reader is gone fails with EPIPE (SIGPIPE is
    // ignored here so the test survives it).
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);
    base::UniqueFd w(fds[1]);
    auto saved = ::signal(SIGPIPE, SIG_IGN);
    EXPECT_FALSE(base::writeAll(w.get(), "lost"));
    EXPECT_EQ(errno, EPIPE);
    ::signal(SIGPIPE, saved);
    std::string out = "kept";
    EXPECT_FALSE(base::readToEnd(-1, out));
    EXPECT_EQ(out, "kept");
}

TEST(Utf8, RefusesEveryIllFormedKindAndAcceptsNul) {
    using namespace std::string_literals;
    EXPECT_TRUE(base::isValidUtf8(""));
    EXPECT_TRUE(base::isValidUtf8("Gi1/0/12 \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
    EXPECT_TRUE(base::isValidUtf8("a\0b"s));
    EXPECT_TRUE(base::isValidUtf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF
    EXPECT_TRUE(base::isValidUtf8("\xEF\xBF\xBE"));      // U+FFFE, a noncharacter
    for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF",  // overlong
                            "\xED\xA0\x80", "\xED\xBF\xBF",                  // surrogates
                            "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",          // past U+10FFFF
                            "\xC3", "\xE2\x82", "ok\xF0\x9F\x98",            // cut short
                            "\x80", "\xBF", "\xFF", "\xFE"}) {
        EXPECT_FALSE(base::isValidUtf8(bad)) << testing::PrintToString(std::string(bad));
    }
}

// ICU's conversion decides what the check accepts; the check is written out
// so that the daemon does not load ICU to run it. Every one- and two-byte
// sequence, and every two-byte start followed by one or two bytes from each
// class that matters (ASCII, the edges of the continuation range, leads).
TEST(Utf8, AgreesWithIcuOnEveryShortSequence) {
    auto icu_accepts = [](const std::string& bytes) {
        UErrorCode status = U_ZERO_ERROR;
        int32_t length = 0;
        u_strFromUTF8(nullptr, 0, &length, bytes.data(), static_cast<int32_t>(bytes.size()),
                      &status);
        return status == U_BUFFER_OVERFLOW_ERROR || status == U_STRING_NOT_TERMINATED_WARNING ||
               U_SUCCESS(status);
    };
    const unsigned char tails[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90,
                                   0x9F, 0xA0, 0xBF, 0xC0, 0xF4};
    size_t mismatches = 0;
    size_t accepted = 0;
    auto compare = [&](const std::string& bytes) {
        const bool ours = base::isValidUtf8(bytes);
        accepted += ours ? 1 : 0;
        if (ours != icu_accepts(bytes) && ++mismatches <= 5) {
            ADD_FAILURE() << "differs from ICU on " << testing::PrintToString(bytes);
        }
    };
    for (int a = 0; a < 256; ++a) {
        compare(std::string(1, static_cast<char>(a)));
        for (int b = 0; b < 256; ++b) {
            std::string two{static_cast<char>(a), static_cast<char>(b)};
            compare(two);
            for (unsigned char c : tails) {
                compare(two + static_cast<char>(c));
                for (unsigned char d : tails) {
                    compare(two + static_cast<char>(c) + static_cast<char>(d));
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GT(accepted, 100000u);  // the comparison covered valid text too
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

TEST(Version, OrdersAsTheGateAndTheRequirementLanguageNeedIt) {
    struct Case {
        const char* a;
        const char* b;
        int order;
    };
    const Case cases[] = {
        {"5.5.0", "5.5.0", 0},
        {"5.10", "5.9", 1},    // numbers, not digits
        {"5.05", "5.5", 0},    // leading zeros do not count
        {"5.5", "5.5.0", -1},  // the shorter orders first
        {"5.16.0", "5.5.0", 1},
        {"10", "9", 1},
        {"0", "00", 0},
        {"5.5a", "5.5b", -1},  // other bytes compare as bytes
        {"5.5B", "5.5a", -1},  // case-sensitively
        {"", "0", -1},
        {"", "", 0},
        {"1.\xC3\xA9", "1.e", 1},  // bytes above 0x7f are unsigned
        {"99999999999999999999999999", "99999999999999999999999998", 1},  // no overflow
        {"1-2", "1.2", -1},
        {"a10b", "a9c", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sign(base::compareNumerically(c.a, c.b)), c.order) << c.a << " vs " << c.b;
        EXPECT_EQ(sign(base::compareNumerically(c.b, c.a)), -c.order) << c.b << " vs " << c.a;
    }
}

int g_freed = 0;
void freeInt(int* p) {
    ++g_freed;
    delete p;
}

TEST(Handle, FreesThroughTheLibraryFunctionOnce) {
    using IntPtr = base::Handle<int, freeInt>;
    g_freed = 0;
    {
        IntPtr a(new int(1));
        IntPtr b(std::move(a));
        IntPtr none;
        EXPECT_EQ(g_freed, 0);
    }
    EXPECT_EQ(g_freed, 1);
}

// A tree goes whole, a symbolic link inside it is removed and not followed;
// a dangling link is nothing for pathExists; an absent path is no error.
TEST(Path, JoinExistsAndRemoveTree) {
    EXPECT_EQ(base::joinPath("/a/b", "c"), "/a/b/c");
    EXPECT_EQ(base::joinPath("/a/b/", "c"), "/a/b/c");
    EXPECT_EQ(base::joinPath("", "c"), "/c");

    char templ[] = "/tmp/xq-path-test.XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    const std::string work = templ;
    const std::string kept = base::joinPath(work, "kept");
    const std::string tree = base::joinPath(work, "tree");
    std::filesystem::create_directories(kept);
    std::filesystem::create_directories(tree + "/sub");
    std::ofstream(kept + "/file") << "stays";
    std::ofstream(tree + "/sub/file") << "goes";
    std::filesystem::create_directory_symlink(kept, tree + "/sub/link");
    std::filesystem::create_symlink(work + "/nothing", work + "/dangling");

    EXPECT_TRUE(base::pathExists(tree + "/sub/link/file"));
    EXPECT_FALSE(base::pathExists(work + "/dangling"));
    EXPECT_FALSE(base::pathExists(""));

    base::removeTree(tree);
    EXPECT_FALSE(base::pathExists(tree));
    EXPECT_TRUE(base::pathExists(kept + "/file"));
    base::removeTree(tree);  // nothing there
    base::removeTree(work + "/dangling");
    EXPECT_FALSE(std::filesystem::is_symlink(work + "/dangling"));
    EXPECT_TRUE(base::pathExists(kept));

    base::removeTree(work);
    EXPECT_FALSE(base::pathExists(work));
}

}  // namespace
