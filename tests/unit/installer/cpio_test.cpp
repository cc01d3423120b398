// The cpio payload: what its entries carry (owners, modes, links) is what is
// installed, and what is already in the target is treated as the system's
// installer treats it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/base/fd.h"
#include "platform/xar/handles.h"
#include "platform/xar/xar.h"
#include "tests/unit/installer/installer_fixture.h"
#include "tools/installer/installer.h"

namespace installer_test {
namespace {

TEST_F(InstallerTest, OwnersModesAndLinksFromTheArchiveAreKept) {
    std::string pkg =
        packageWithPayload("owners.pkg", {{".", S_IFDIR | 0755, ""},
                                          {"./opt", S_IFDIR | 0711, "", 1234, 5678},
                                          {"./opt/tool", S_IFREG | 04750, "suid tool", 0, 5678},
                                          {"./opt/user-file", S_IFREG | 0640, "mine", 1234, 5678},
                                          {"./opt/alias", S_IFLNK | 0777, "", 0, 0, "tool"}});
    ASSERT_EQ(install(pkg), 0);
    struct stat st;
    ASSERT_EQ(::lstat((target_ + "/opt").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(st.st_mode & 07777, 0711u);
    ASSERT_EQ(::lstat((target_ + "/opt/tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 04750u);
    EXPECT_EQ(st.st_gid, 5678u);
    ASSERT_EQ(::lstat((target_ + "/opt/user-file").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    ASSERT_EQ(::lstat((target_ + "/opt/alias").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(fs::read_symlink(target_ + "/opt/alias"), "tool");
}

TEST_F(InstallerTest, ExistingDirectoriesKeepTheirOwnerAndMode) {
    fs::create_directories(target_ + "/usr");
    ::chmod((target_ + "/usr").c_str(), 0755);
    std::string pkg = packageWithPayload(
        "dirs.pkg", {{"./usr", S_IFDIR | 0700, "", 99, 99}, {"./usr/f", S_IFREG | 0644, "f"}});
    ASSERT_EQ(install(pkg), 0);
    struct stat st;
    ASSERT_EQ(::stat((target_ + "/usr").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(xqtest::readFile(target_ + "/usr/f"), "f");
}

TEST_F(InstallerTest, ReplacesAnExistingFile) {
    write("target/usr/local/libexec/helper", "old", 0755);
    std::string pkg =
        packageWithPayload("replace.pkg", {{"./usr/local/libexec/helper", S_IFREG | 0755, "new"}});
    ASSERT_EQ(install(pkg), 0);
    EXPECT_EQ(xqtest::readFile(target_ + "/usr/local/libexec/helper"), "new");
}

// A tree below `root`: each path with its type and mode, and a file's bytes or
// a link's text.
std::map<std::string, std::string> describeTree(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        struct stat st;
        const std::string path = e.path().string();
        if (::lstat(path.c_str(), &st) != 0) {
            ADD_FAILURE() << path;
            continue;
        }
        std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " ";
        if (S_ISREG(st.st_mode)) {
            what += xqtest::readFile(path);
        } else if (S_ISLNK(st.st_mode)) {
            what += fs::read_symlink(e.path()).string();
        }
        out[path.substr(root.size())] = what;
    }
    return out;
}

// A payload held in memory is checked and written as the same payload in a
// file: the real packages' payloads give the same trees, hostile payloads the
// same refusal, before anything is written, and the checks alone say so too.
TEST_F(InstallerTest, PayloadInMemoryInstallsAsFromAFile) {
    std::vector<std::string> payloads;  // the real packages' Payload members
    for (const auto& e : fs::directory_iterator(REAL_PACKAGES_DIR)) {
        xar::ArchivePtr archive(xar_open(e.path().c_str(), READ));
        xar::IterPtr iter(xar_iter_new());
        for (xar_file_t f = archive ? xar_file_first(archive.get(), iter.get()) : nullptr;
             f != nullptr; f = xar_file_next(iter.get())) {
            char* path = xar_get_path(f);
            const bool payload = path != nullptr && fs::path(path).filename() == "Payload";
            std::free(path);
            char* data = nullptr;
            size_t size = 0;
            if (payload && xar_extract_tobuffersz(archive.get(), f, &data, &size) == 0) {
                payloads.emplace_back(data, size);
            }
            std::free(data);
        }
    }
    ASSERT_GE(payloads.size(), 5u);
    const std::vector<std::vector<Entry>> hostile = {
        {{"./fine", S_IFREG | 0644, "x"}, {"../outside/evil", S_IFREG | 0644, "evil"}},
        {{"./fine", S_IFREG | 0644, "x"},
         {"./link", S_IFLNK | 0777, "", 0, 0, "/"},
         {"./link/evil", S_IFREG | 0644, "evil"}},
        {{"./fine", S_IFREG | 0644, "x"}, {"./fifo", S_IFIFO | 0666, ""}},
    };
    for (const auto& entries : hostile) {
        payloads.push_back(makeCpio(entries));
    }
    payloads.push_back(makeCpio({{"./fine", S_IFREG | 0644, "x"}}, Format::GzipTar));
    payloads.push_back(makeCpio({{"./fine", S_IFREG | 0644, "x"}}).substr(0, 40));

    int index = 0;
    size_t written = 0;
    for (const std::string& payload : payloads) {
        SCOPED_TRACE(index);
        const std::string base = work_ + "/p" + std::to_string(index++);
        const std::string file = write("p" + std::to_string(index) + "/Payload", payload);
        std::string trees[2];
        std::optional<std::string> results[2];
        for (int memory = 0; memory < 2; ++memory) {
            const std::string target = base + (memory != 0 ? "-memory" : "-file");
            fs::create_directories(target);
            const base::UniqueFd fd(::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ASSERT_TRUE(fd);
            const std::span bytes(reinterpret_cast<const unsigned char*>(payload.data()),
                                  payload.size());
            const auto checked = installer::checkPayload(bytes, fd.get(), target, "opt");
            results[memory] = memory != 0
                                  ? installer::installPayload(bytes, fd.get(), target, "opt", true)
                                  : installer::installPayload(file, fd.get(), target, "opt", true);
            if (checked) {
                EXPECT_EQ(results[memory], checked);
                // Nothing written, not even the destination.
                EXPECT_TRUE(describeTree(target).empty());
            }
            for (const auto& [path, what] : describeTree(target)) {
                trees[memory] += path + " " + what + "\n";
            }
        }
        EXPECT_EQ(results[0], results[1]);
        EXPECT_EQ(trees[0], trees[1]);
        written += results[0] ? 0 : 1;
    }
    EXPECT_GE(written, 5u);  // the real payloads
}

}  // namespace
}  // namespace installer_test
