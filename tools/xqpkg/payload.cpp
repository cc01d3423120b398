#include "tools/xqpkg/payload.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "platform/base/handle.h"

namespace xqpkg {
namespace {

namespace fs = std::filesystem;

la_ssize_t append_cb(struct archive*, void* ud, const void* buf, size_t len) {
    auto* out = static_cast<Bytes*>(ud);
    const auto* p = static_cast<const uint8_t*>(buf);
    out->insert(out->end(), p, p + len);
    return la_ssize_t(len);
}

using WriteArchivePtr = base::Handle<struct archive, archive_write_free>;
using EntryPtr = base::Handle<struct archive_entry, archive_entry_free>;

}  // namespace

bool make_cpio_gzip(const std::string& dir, Bytes* out, std::string* err, uint64_t* files,
                    uint64_t* kbytes) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        *err = dir + " is not a directory";
        return false;
    }
    std::vector<fs::path> paths;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        paths.push_back(it->path());
    }
    if (ec) {
        *err = "cannot walk " + dir + ": " + ec.message();
        return false;
    }
    std::sort(paths.begin(), paths.end());
    paths.insert(paths.begin(), fs::path(dir));

    out->clear();
    WriteArchivePtr a(archive_write_new());
    if (!a || archive_write_set_format_cpio_odc(a.get()) != ARCHIVE_OK ||
        archive_write_add_filter_gzip(a.get()) != ARCHIVE_OK ||
        archive_write_set_bytes_in_last_block(a.get(), 1) != ARCHIVE_OK ||
        archive_write_open2(a.get(), out, nullptr, append_cb, nullptr, nullptr) != ARCHIVE_OK) {
        *err = std::string("libarchive: ") + (a ? archive_error_string(a.get()) : "no memory");
        return false;
    }
    uint64_t nfiles = 0, bytes = 0;
    for (const fs::path& p : paths) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0) {
            *err = "cannot stat " + p.string();
            return false;
        }
        std::string rel = p.lexically_relative(dir).string();
        std::string name = rel == "." ? "." : "./" + rel;
        EntryPtr e(archive_entry_new());
        archive_entry_copy_pathname(e.get(), name.c_str());
        archive_entry_set_mode(e.get(), st.st_mode);
        archive_entry_set_uid(e.get(), 0);
        archive_entry_set_gid(e.get(), 0);
        archive_entry_set_mtime(e.get(), st.st_mtime, 0);
        archive_entry_set_nlink(e.get(), 1);
        std::string content;
        if (S_ISREG(st.st_mode)) {
            std::ifstream in(p, std::ios::binary);
            content.assign(std::istreambuf_iterator<char>(in), {});
            if (!in.good() && !in.eof()) {
                *err = "cannot read " + p.string();
                return false;
            }
            archive_entry_set_size(e.get(), la_int64_t(content.size()));
            ++nfiles;
            bytes += content.size();
        } else if (S_ISLNK(st.st_mode)) {
            std::string target = fs::read_symlink(p, ec).string();
            if (ec) {
                *err = "cannot read link " + p.string();
                return false;
            }
            archive_entry_copy_symlink(e.get(), target.c_str());
            archive_entry_set_size(e.get(), 0);
        } else if (!S_ISDIR(st.st_mode)) {
            continue;  // sockets, FIFOs and devices have no place in a payload
        } else {
            archive_entry_set_size(e.get(), 0);
        }
        if (archive_write_header(a.get(), e.get()) != ARCHIVE_OK ||
            (!content.empty() && archive_write_data(a.get(), content.data(), content.size()) !=
                                     la_ssize_t(content.size()))) {
            *err = std::string("libarchive: ") + archive_error_string(a.get());
            return false;
        }
    }
    if (archive_write_close(a.get()) != ARCHIVE_OK) {
        *err = std::string("libarchive: ") + archive_error_string(a.get());
        return false;
    }
    if (files) {
        *files = nfiles;
    }
    if (kbytes) {
        *kbytes = (bytes + 1023) / 1024;
    }
    return true;
}

}  // namespace xqpkg
