#include "tests/unit/installer/installer_fixture.h"

#include <archive.h>
#include <archive_entry.h>

namespace installer_test {

std::string makeCpio(const std::vector<Entry>& entries, Format format) {
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

}  // namespace installer_test
