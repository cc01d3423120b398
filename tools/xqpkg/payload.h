// Payload and Scripts archives of a component package: cpio (odc, as the
// original tools write it) compressed with gzip, made with libarchive.
#pragma once

#include <string>

#include "tools/xqpkg/xar_writer.h"

namespace xqpkg {

// Archives every file, directory and symbolic link under dir, entries named
// "." and "./relative/path" in sorted order, owned by root. False with a
// message on error. Counts regular files and their kilobytes for PackageInfo.
bool make_cpio_gzip(const std::string& dir, Bytes* out, std::string* err, uint64_t* files = nullptr,
                    uint64_t* kbytes = nullptr);

}  // namespace xqpkg
