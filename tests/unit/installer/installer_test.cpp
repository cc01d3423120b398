// The installer stand-in, run as a child process on packages built at test
// time: by the package tool from directories, and with payloads crafted here
// (owners, hostile names) to exercise what a directory cannot hold.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/process/process.h"
#include "platform/xar/handles.h"
#include "platform/xar/xar.h"
#include "tools/installer/installer.h"

namespace fs = std::filesystem;

namespace {

struct Entry {
    std::string name;
    mode_t mode;  // type and permission bits
    std::string content;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string link;       // symlink target
    bool hardlink = false;  // cpio marks hard links by inode, so tests leave this off
};

enum class Format { GzipCpio, XzCpio, GzipTar };

// A cpio (odc) archive compressed with gzip, as a package's Payload; or, for
// the refusal tests, another format.
std::string makeCpio(const std::vector<Entry>& entries, Format format = Format::GzipCpio) {
    std::string out;
    struct archive* a = archive_write_new();
    if (format == Format::GzipTar) {
        archive_write_set_format_ustar(a);
    } else {
        archive_write_set_format_cpio_odc(a);
    }
    if (format == Format::XzCpio) {
        archive_write_add_filter_xz(a);
    } else {
        archive_write_add_filter_gzip(a);
    }
    archive_write_set_bytes_in_last_block(a, 1);
    archive_write_open2(
        a, &out, nullptr,
        [](struct archive*, void* ud, const void* buf, size_t len) -> la_ssize_t {
            static_cast<std::string*>(ud)->append(static_cast<const char*>(buf), len);
            return static_cast<la_ssize_t>(len);
        },
        nullptr, nullptr);
    for (const Entry& e : entries) {
        struct archive_entry* ae = archive_entry_new();
        archive_entry_set_pathname(ae, e.name.c_str());
        archive_entry_set_mode(ae, e.mode);
        archive_entry_set_uid(ae, e.uid);
        archive_entry_set_gid(ae, e.gid);
        archive_entry_set_mtime(ae, 1700000000, 0);
        if (e.hardlink) {
            archive_entry_set_hardlink(ae, e.link.c_str());
        } else if (S_ISLNK(e.mode)) {
            archive_entry_set_symlink(ae, e.link.c_str());
        }
        archive_entry_set_size(ae, S_ISREG(e.mode) && !e.hardlink ? e.content.size() : 0);
        archive_write_header(a, ae);
        if (S_ISREG(e.mode) && !e.hardlink) {
            archive_write_data(a, e.content.data(), e.content.size());
        }
        archive_entry_free(ae);
    }
    archive_write_close(a);
    archive_write_free(a);
    return out;
}

class InstallerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the installer keeps owners: run as root";
        }
        char templ[] = "/tmp/xq-installer-test.XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        work_ = templ;
        target_ = work_ + "/target";
        fs::create_directories(target_);
    }
    void TearDown() override {
        std::error_code ec;
        if (!work_.empty()) {
            fs::remove_all(work_, ec);
        }
    }

    std::string write(const std::string& rel, const std::string& content, mode_t mode = 0644) {
        std::string p = work_ + "/" + rel;
        fs::create_directories(fs::path(p).parent_path());
        std::ofstream(p, std::ios::binary) << content;
        ::chmod(p.c_str(), mode);
        return p;
    }

    void run(const char* tool, const std::vector<std::string>& args, int expected) {
        process::Result r = process::run({tool, args, false});
        ASSERT_TRUE(r.launched && r.exited) << tool;
        ASSERT_EQ(r.terminationStatus, expected) << tool;
    }

    // A flat package from the package tool; `payload` replaces the Payload
    // built from a directory.
    std::string package(const std::string& name, std::vector<std::string> extra) {
        std::string out = work_ + "/" + name;
        std::vector<std::string> args = {"build", "--identifier", "lx.pelk.Test", "--version", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(out);
        run(XQPKG_PATH, args, 0);
        return out;
    }

    std::string packageWithPayload(const std::string& name, const std::vector<Entry>& entries,
                                   std::vector<std::string> extra = {},
                                   Format format = Format::GzipCpio) {
        std::string payload = write(name + ".payload", makeCpio(entries, format));
        extra.insert(extra.end(),
                     {"--extra-member", "Payload=" + payload, "--extra-encoding", "none"});
        return package(name, extra);
    }

    int install(const std::string& pkg) {
        process::Result r =
            process::run({INSTALLER_PATH, {"-pkg", pkg, "-target", target_}, false});
        EXPECT_TRUE(r.launched && r.exited);
        return r.terminationStatus;
    }

    // The test build of the tool, scripts not run, with what it printed on
    // either stream.
    struct Run {
        int status = -1;
        std::string output;
    };
    Run installWithoutScripts(const std::string& pkg, const std::string& target) {
        process::Result r =
            process::run({"/bin/sh",
                          {"-c", "exec \"$0\" -pkg \"$1\" -target \"$2\" -test-skip-scripts 2>&1",
                           INSTALLER_TEST_PATH, pkg, target},
                          true});
        EXPECT_TRUE(r.launched && r.exited) << pkg;
        return {r.exited ? r.terminationStatus : -1, r.standardOutput};
    }

    bool targetIsEmpty() { return fs::is_empty(target_); }

    std::string work_;
    std::string target_;
};

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(NormalizeEntryName, Rules) {
    std::string r;
    EXPECT_TRUE(installer::normalizeEntryName("./a/b", r));
    EXPECT_EQ(r, "a/b");
    EXPECT_TRUE(installer::normalizeEntryName("a//./b/", r));
    EXPECT_EQ(r, "a/b");
    EXPECT_TRUE(installer::normalizeEntryName(".", r));
    EXPECT_EQ(r, "");
    EXPECT_TRUE(installer::normalizeEntryName("a/..b", r));
    EXPECT_EQ(r, "a/..b");
    EXPECT_FALSE(installer::normalizeEntryName("/etc/passwd", r));
    EXPECT_FALSE(installer::normalizeEntryName("../x", r));
    EXPECT_FALSE(installer::normalizeEntryName("a/../../x", r));
    EXPECT_FALSE(installer::normalizeEntryName("a/..", r));
    EXPECT_FALSE(installer::normalizeEntryName(std::string("a\0b", 3), r));
}

TEST_F(InstallerTest, PayloadFromDirectoryKeepsModesAndRunsScripts) {
    write("root/usr/local/libexec/helper", "new helper", 0755);
    write("root/usr/local/share/data", "data", 0640);
    write("root/usr/local/share/secret", "s", 0600);
    ::chmod((work_ + "/root/usr/local/share").c_str(), 0750);
    std::string log = work_ + "/scripts.log";
    write("scripts/preinstall",
          "#!/bin/sh\necho \"pre $# $1 $2 $3 $4\" >> " + log +
              "\ntest ! -e \"$2/usr/local/libexec/helper\" || exit 9\n",
          0755);
    write("scripts/postinstall",
          "#!/bin/sh\necho \"post $# $1 $2 $3 $4\" >> " + log +
              "\ntest -e \"$2/usr/local/libexec/helper\" || exit 9\n",
          0755);
    std::string pkg =
        package("dir.pkg", {"--root", work_ + "/root", "--scripts", work_ + "/scripts"});
    ASSERT_EQ(install(pkg), 0);

    EXPECT_EQ(readAll(target_ + "/usr/local/libexec/helper"), "new helper");
    struct stat st;
    ASSERT_EQ(::stat((target_ + "/usr/local/libexec/helper").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat((target_ + "/usr/local/share/data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(::stat((target_ + "/usr/local/share/secret").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::stat((target_ + "/usr/local/share").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    // The target directory itself keeps its own mode.
    ASSERT_EQ(::stat(target_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    std::string expectedArgs = " 4 " + pkg + " " + target_ + " " + target_ + " /\n";
    EXPECT_EQ(readAll(log), "pre" + expectedArgs + "post" + expectedArgs);
}

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
    EXPECT_EQ(readAll(target_ + "/usr/f"), "f");
}

TEST_F(InstallerTest, ReplacesAnExistingFile) {
    write("target/usr/local/libexec/helper", "old", 0755);
    std::string pkg =
        packageWithPayload("replace.pkg", {{"./usr/local/libexec/helper", S_IFREG | 0755, "new"}});
    ASSERT_EQ(install(pkg), 0);
    EXPECT_EQ(readAll(target_ + "/usr/local/libexec/helper"), "new");
}

TEST_F(InstallerTest, PathsLeavingTheTargetAreRefusedBeforeAnythingIsWritten) {
    const std::string outside = work_ + "/outside";
    fs::create_directories(outside);
    const std::vector<std::vector<Entry>> hostile = {
        {{"./fine", S_IFREG | 0644, "x"}, {"../outside/evil", S_IFREG | 0644, "evil"}},
        {{"./fine", S_IFREG | 0644, "x"}, {"./a/../../outside/evil", S_IFREG | 0644, "evil"}},
        {{"./fine", S_IFREG | 0644, "x"}, {outside + "/evil", S_IFREG | 0644, "evil"}},
        // Writing through a symbolic link of the payload itself.
        {{"./fine", S_IFREG | 0644, "x"},
         {"./link", S_IFLNK | 0777, "", 0, 0, outside},
         {"./link/evil", S_IFREG | 0644, "evil"}},
        // Device nodes and FIFOs are not installed.
        {{"./fine", S_IFREG | 0644, "x"}, {"./dev", S_IFCHR | 0666, ""}},
        {{"./fine", S_IFREG | 0644, "x"}, {"./fifo", S_IFIFO | 0666, ""}},
    };
    int i = 0;
    for (const auto& entries : hostile) {
        std::string pkg = packageWithPayload("hostile" + std::to_string(i++) + ".pkg", entries);
        EXPECT_NE(install(pkg), 0) << pkg;
        EXPECT_TRUE(targetIsEmpty()) << pkg;
        EXPECT_TRUE(fs::is_empty(outside)) << pkg;
    }
    // A symbolic link already in the target is not followed either.
    ASSERT_EQ(::symlink(outside.c_str(), (target_ + "/usr").c_str()), 0);
    std::string pkg =
        packageWithPayload("through-existing.pkg", {{"./usr/evil", S_IFREG | 0644, "evil"}});
    EXPECT_NE(install(pkg), 0);
    EXPECT_TRUE(fs::is_empty(outside));
}

TEST_F(InstallerTest, TamperedPayloadIsRefused) {
    write("root/usr/f", std::string(100000, 'p'), 0644);
    std::string pkg = package("good.pkg", {"--root", work_ + "/root"});
    std::string tampered = work_ + "/tampered.pkg";
    run(XQPKG_PATH, {"sign", "--pki", XQ_TESTPKI_DIR, "--tamper-member", "Payload", pkg, tampered},
        0);
    EXPECT_NE(install(tampered), 0);
    EXPECT_TRUE(targetIsEmpty());
    // The same package signed without tampering installs.
    std::string signedPkg = work_ + "/signed.pkg";
    run(XQPKG_PATH, {"sign", "--pki", XQ_TESTPKI_DIR, pkg, signedPkg}, 0);
    EXPECT_EQ(install(signedPkg), 0);
    EXPECT_EQ(fs::file_size(target_ + "/usr/f"), 100000u);
}

TEST_F(InstallerTest, FailingPreinstallStopsTheInstall) {
    write("root/usr/f", "f");
    write("scripts/preinstall", "#!/bin/sh\nexit 3\n", 0755);
    write("scripts/postinstall", "#!/bin/sh\ntouch \"$2/post-ran\"\n", 0755);
    std::string pkg =
        package("failpre.pkg", {"--root", work_ + "/root", "--scripts", work_ + "/scripts"});
    EXPECT_EQ(install(pkg), 1);
    EXPECT_TRUE(targetIsEmpty());
}

TEST_F(InstallerTest, FailingPostinstallFailsTheInstall) {
    write("root/usr/f", "f");
    write("scripts/postinstall", "#!/bin/sh\nexit 4\n", 0755);
    std::string pkg =
        package("failpost.pkg", {"--root", work_ + "/root", "--scripts", work_ + "/scripts"});
    EXPECT_EQ(install(pkg), 1);
}

TEST_F(InstallerTest, ProductArchiveInstallsItsComponentsAtTheirLocations) {
    write("r1/one", "1");
    write("r2/two", "2");
    std::string c1 = package("c1.pkg", {"--root", work_ + "/r1", "--install-location", "/opt/a"});
    std::string c2 = package("c2.pkg", {"--root", work_ + "/r2"});
    std::string prod = work_ + "/product.pkg";
    run(XQPKG_PATH,
        {"product", "--app-id", "lx.pelk.Test", "--component", "first.pkg=" + c1, "--component",
         "second.pkg=" + c2, prod},
        0);
    ASSERT_EQ(install(prod), 0);
    EXPECT_EQ(readAll(target_ + "/opt/a/one"), "1");
    EXPECT_EQ(readAll(target_ + "/two"), "2");
}

TEST_F(InstallerTest, DistributionWithEntitiesIsRefusedAPlainDeclarationIsRead) {
    write("r1/one", "1");
    write("r2/two", "2");
    std::string c1 = package("c1.pkg", {"--root", work_ + "/r1"});
    std::string c2 = package("c2.pkg", {"--root", work_ + "/r2"});
    // It chooses only the first component; read as unreadable, every
    // component would be installed.
    const std::string body =
        "<installer-gui-script><pkg-ref id='a'>#first.pkg</pkg-ref></installer-gui-script>";
    auto product = [&](const std::string& name, const std::string& xml) {
        std::string out = work_ + "/" + name;
        run(XQPKG_PATH,
            {"product", "--distribution", write(name + ".xml", xml), "--component",
             "first.pkg=" + c1, "--component", "second.pkg=" + c2, out},
            0);
        return out;
    };
    for (const std::string& doctype :
         {std::string("<!DOCTYPE installer-gui-script [<!ENTITY r '#second.pkg'>]>"),
          std::string("<!DOCTYPE installer-gui-script [<!ENTITY % p 'x'>]>"),
          "<!DOCTYPE installer-gui-script SYSTEM '" + write("x.dtd", "") + "'>"}) {
        const Run refused = installWithoutScripts(product("refused.pkg", doctype + body), target_);
        EXPECT_NE(refused.status, 0) << doctype;
        EXPECT_NE(refused.output.find("the Distribution is refused by the XML reader"),
                  std::string::npos)
            << refused.output;
        EXPECT_TRUE(targetIsEmpty()) << doctype;
    }
    for (const std::string& doctype :
         {std::string(), std::string("<!DOCTYPE installer-gui-script>"),
          std::string("<!DOCTYPE installer-gui-script [<!ELEMENT pkg-ref (#PCDATA)>]>")}) {
        const std::string target = work_ + "/t" + std::to_string(doctype.size());
        fs::create_directories(target);
        const Run plain = installWithoutScripts(product("plain.pkg", doctype + body), target);
        EXPECT_EQ(plain.status, 0) << plain.output;
        EXPECT_EQ(readAll(target + "/one"), "1") << doctype;
        EXPECT_FALSE(fs::exists(target + "/two")) << doctype;
    }
}

TEST_F(InstallerTest, BadInvocationsAndInputs) {
    write("root/f", "f");
    std::string pkg = package("ok.pkg", {"--root", work_ + "/root"});
    auto status = [&](const std::vector<std::string>& args) {
        process::Result r = process::run({INSTALLER_PATH, args, false});
        return r.exited ? r.terminationStatus : -1;
    };
    EXPECT_NE(status({}), 0);
    EXPECT_NE(status({"-pkg", pkg}), 0);
    EXPECT_NE(status({"-target", target_}), 0);
    EXPECT_NE(status({"-pkg", pkg, "-target", target_, "-extra"}), 0);
    EXPECT_NE(status({"-pkg", pkg, "-target", work_ + "/no-such-dir"}), 0);
    EXPECT_NE(status({"-pkg", write("not.pkg", "not a package"), "-target", target_}), 0);
    EXPECT_NE(status({"-pkg", work_ + "/missing.pkg", "-target", target_}), 0);
    EXPECT_NE(status({"-pkg", "/dev/zero", "-target", target_}), 0);
    EXPECT_TRUE(targetIsEmpty());
    // Arguments in the other order are accepted.
    EXPECT_EQ(status({"-target", target_, "-pkg", pkg}), 0);
    EXPECT_EQ(readAll(target_ + "/f"), "f");
}

// Every real package of the test data, into a scratch target of its own, with
// the test build's scripts switched off (they are other makers' scripts for
// another system). Each installs, but for the one whose table of contents is
// damaged, which is refused with a message and leaves its target empty.
TEST_F(InstallerTest, RealPackagesInstallIntoAScratchTarget) {
    struct Expected {
        bool installs;
        std::vector<std::string> present;  // below the target
    };
    const std::map<std::string, Expected> expected = {
        {"Karabiner-DriverKit-VirtualHIDDevice-7.3.0.pkg",
         {true,
          {"Applications/.Karabiner-VirtualHIDDevice-Manager.app/Contents",
           "Library/Application Support/org.pqrs/Karabiner-DriverKit-VirtualHIDDevice"}}},
        {"Sigmatizm.pkg", {true, {"Applications/Sigmatizm.app/Contents/Info.plist"}}},
        {"fleet_not-distribution-signed.pkg", {true, {}}},
        {"fleet_wrong-toc.pkg", {false, {}}},
        // A product whose Resources hold an empty directory member; its
        // payload holds symbolic links of its own.
        {"gino_XZ.pkg",
         {true, {"usr/local/lib/liblzma.5.dylib", "usr/local/share/man/man1/xzcat.1"}}},
        {"outset_script-20140507.pkg", {true, {"usr/local/outset/everyboot-scripts"}}},
    };
    size_t seen = 0;
    for (const auto& e : fs::directory_iterator(REAL_PACKAGES_DIR)) {
        if (e.path().extension() != ".pkg") {
            continue;
        }
        ++seen;
        const std::string name = e.path().filename().string();
        const std::string target = work_ + "/real-" + name;
        fs::create_directories(target);
        Run r = installWithoutScripts(e.path().string(), target);
        auto it = expected.find(name);
        const bool installs = it == expected.end() || it->second.installs;
        if (installs) {
            EXPECT_EQ(r.status, 0) << name << ": " << r.output;
            EXPECT_NE(r.output.find("installer: The install was successful."), std::string::npos);
        } else {
            EXPECT_EQ(r.status, 1) << name << ": " << r.output;
            EXPECT_NE(r.output.find("installer: Error - "), std::string::npos) << r.output;
            EXPECT_TRUE(fs::is_empty(target)) << name;
        }
        if (it != expected.end()) {
            for (const std::string& p : it->second.present) {
                EXPECT_TRUE(fs::exists(fs::symlink_status(target + "/" + p))) << name << ": " << p;
            }
        }
    }
    EXPECT_GE(seen, expected.size());
    EXPECT_TRUE(fs::is_symlink(work_ + "/real-gino_XZ.pkg/usr/local/share/man/man1/xzcat.1"));
    // The package's own resources are not installed, the empty folder neither.
    EXPECT_FALSE(fs::exists(work_ + "/real-gino_XZ.pkg/Resources"));
}

// A symbolic link already in the target is crossed only when the system put
// it there: owned by root, in a root-owned directory no one else may write
// to, and leading to a place inside the target (like Debian's /bin -> usr/bin).
TEST_F(InstallerTest, SystemSymbolicLinksAreCrossedOthersNever) {
    const std::vector<Entry> payload = {{"./usr", S_IFDIR | 0755, ""},
                                        {"./usr/local", S_IFDIR | 0755, ""},
                                        {"./usr/local/bin", S_IFDIR | 0755, ""},
                                        {"./usr/local/bin/tool", S_IFREG | 0755, "tool"}};
    const std::string pkg = packageWithPayload("tool.pkg", payload);

    // Relative, as the system's own: the payload goes through it, and the
    // link stays a link.
    fs::create_directories(target_ + "/sys/usr");
    fs::create_symlink("sys/usr", target_ + "/usr");
    ASSERT_EQ(install(pkg), 0);
    EXPECT_EQ(readAll(target_ + "/sys/usr/local/bin/tool"), "tool");
    EXPECT_TRUE(fs::is_symlink(target_ + "/usr"));

    // An absolute one that names a place inside the target, and a chain.
    fs::remove_all(target_);
    fs::create_directories(target_ + "/sys/usr");
    fs::create_symlink(target_ + "/sys/usr", target_ + "/abs");
    fs::create_symlink("abs", target_ + "/usr");
    ASSERT_EQ(install(pkg), 0);
    EXPECT_EQ(readAll(target_ + "/sys/usr/local/bin/tool"), "tool");

    // The install location itself may lie behind one.
    fs::remove_all(target_);
    fs::create_directories(target_ + "/usr/bin");
    fs::create_symlink("usr/bin", target_ + "/bin");
    write("loc-root/tool", "located");
    std::string located =
        package("located.pkg", {"--root", work_ + "/loc-root", "--install-location", "/bin"});
    ASSERT_EQ(install(located), 0);
    EXPECT_EQ(readAll(target_ + "/usr/bin/tool"), "located");
    EXPECT_TRUE(fs::is_symlink(target_ + "/bin"));

    // Links a user could have planted, and one leading out of the target: the
    // install is refused before anything is written.
    const std::string outside = work_ + "/outside";
    fs::create_directories(outside);
    struct Case {
        const char* what;
        std::function<void()> prepare;
    };
    const std::vector<Case> refused = {
        {"owned by a user",
         [&] {
             fs::create_directories(target_ + "/sys/usr");
             fs::create_symlink("sys/usr", target_ + "/usr");
             ASSERT_EQ(::lchown((target_ + "/usr").c_str(), 65534, 65534), 0);
         }},
        {"in a directory others may write to",
         [&] {
             fs::create_directories(target_ + "/shared/sys/usr");
             ::chmod((target_ + "/shared").c_str(), 01777);
             fs::create_symlink("sys/usr", target_ + "/shared/usr");
             fs::create_symlink("shared/usr", target_ + "/usr");
         }},
        {"in a directory a user owns",
         [&] {
             fs::create_directories(target_ + "/home/sys/usr");
             ASSERT_EQ(::chown((target_ + "/home").c_str(), 65534, 65534), 0);
             fs::create_symlink("sys/usr", target_ + "/home/usr");
             fs::create_symlink("home/usr", target_ + "/usr");
         }},
        {"leading out of the target", [&] { fs::create_symlink(outside, target_ + "/usr"); }},
        {"leading out through ..", [&] { fs::create_symlink("../outside", target_ + "/usr"); }},
    };
    for (const Case& c : refused) {
        fs::remove_all(target_);
        fs::create_directories(target_);
        c.prepare();
        std::set<std::string> before;
        for (const auto& e : fs::recursive_directory_iterator(target_)) {
            before.insert(e.path().string());
        }
        EXPECT_NE(install(pkg), 0) << c.what;
        std::set<std::string> after;
        for (const auto& e : fs::recursive_directory_iterator(target_)) {
            after.insert(e.path().string());
        }
        EXPECT_EQ(before, after) << c.what;
        EXPECT_TRUE(fs::is_empty(outside)) << c.what;
    }
}

// A payload (or scripts archive) in a format this installer does not read is
// refused with an error that names the format; nothing is written.
TEST_F(InstallerTest, PayloadInAnotherFormatIsNamed) {
    const std::vector<Entry> entries = {{"./f", S_IFREG | 0644, "f"}};
    struct Case {
        std::string name;
        std::string payload;
        std::string named;
    };
    std::string pbzx("pbzx\0\0\0\0\0\x10\0\0", 12);
    pbzx += std::string(64, 'z');
    const std::vector<Case> cases = {
        {"pbzx.pkg", pbzx, "pbzx"},
        {"xz.pkg", makeCpio(entries, Format::XzCpio), "xz-compressed"},
        {"tar.pkg", makeCpio(entries, Format::GzipTar),
         "gzip-compressed data that is a tar archive"},
        {"zip.pkg", std::string("PK\x03\x04", 4) + std::string(40, '\0'), "zip archive"},
        {"text.pkg", "plain text, no archive", "no known format (first bytes 70 6c 61 69"},
    };
    for (const Case& c : cases) {
        std::string payload = write(c.name + ".payload", c.payload);
        std::string pkg =
            package(c.name, {"--extra-member", "Payload=" + payload, "--extra-encoding", "none"});
        Run r = installWithoutScripts(pkg, target_);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_NE(r.output.find("the Payload of the package is "), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.named), std::string::npos) << c.name << ": " << r.output;
        EXPECT_TRUE(targetIsEmpty()) << c.name;
    }
    // The test-only option is the test build's alone.
    process::Result shipped = process::run(
        {INSTALLER_PATH, {"-pkg", "x.pkg", "-target", target_, "-test-skip-scripts"}, false});
    EXPECT_EQ(shipped.terminationStatus, 2);
}

}  // namespace

namespace {

// The other two stand-ins the daemon starts: launchctl and the test sudo.
TEST(LaunchctlStandIn, RefusesBadInvocationsAndIsHarmlessWithoutSystemd) {
    auto status = [](const std::vector<std::string>& args) {
        process::Result r = process::run({LAUNCHCTL_PATH, args, false});
        return r.exited ? r.terminationStatus : -1;
    };
    EXPECT_EQ(status({}), 2);
    EXPECT_EQ(status({"remove"}), 2);
    EXPECT_EQ(status({"load", "lx.pelk.XQSipLocationHelper"}), 2);
    EXPECT_EQ(status({"remove", "--now"}), 2);  // never an option for systemctl
    EXPECT_EQ(status({"remove", "../../etc/x"}), 2);
    EXPECT_EQ(status({"remove", "a b"}), 2);
    struct stat st;
    if (::lstat("/run/systemd/system", &st) == 0) {
        GTEST_SKIP() << "systemd is running here; not touching its units";
    }
    EXPECT_EQ(status({"remove", "lx.pelk.XQSipLocationHelper"}), 0);
}

TEST(TestSudo, LogsItsArgumentsThenRunsThem) {
    char templ[] = "/tmp/xq-testsudo.XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    const std::string dir = templ;
    const std::string log = dir + "/sudo.log";
    ::setenv("XQ_TESTSUDO_LOG", log.c_str(), 1);
    process::Result r =
        process::run({TESTSUDO_PATH, {"/bin/sh", "-c", "exit 7", "with \"quotes\""}, false});
    process::Result missing = process::run({TESTSUDO_PATH, {dir + "/no-such-tool"}, false});
    ::unsetenv("XQ_TESTSUDO_LOG");
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.terminationStatus, 7);
    EXPECT_EQ(missing.terminationStatus, 1);
    EXPECT_EQ(readAll(log), "[\"/bin/sh\",\"-c\",\"exit 7\",\"with \\\"quotes\\\"\"]\n[\"" + dir +
                                "/no-such-tool\"]\n");
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace

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
            what += readAll(path);
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
            const int fd = ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            const std::span bytes(reinterpret_cast<const unsigned char*>(payload.data()),
                                  payload.size());
            const auto checked = installer::checkPayload(bytes, fd, target, "opt");
            results[memory] = memory != 0
                                  ? installer::installPayload(bytes, fd, target, "opt", true)
                                  : installer::installPayload(file, fd, target, "opt", true);
            ::close(fd);
            if (checked) {
                EXPECT_EQ(results[memory], checked);
                // Nothing written but the (empty) destination.
                EXPECT_LE(describeTree(target).size(), 1u);
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
