// xqpkg: builds, signs and inspects installer packages (XAR archives).
#pragma once

#include <string>
#include <vector>

#include "tools/xqpkg/xar_writer.h"

namespace xqpkg {

// The command line tool; returns its exit status.
int xqpkg_main(int argc, char** argv);

// Reads every member of the archive at path, in archive order, through the
// platform reader (so member checksums are verified). Paths get prefix
// ("dir/") in front. Payload and Scripts keep no further encoding (they are
// gzip files already); other members are stored zlib-compressed.
bool load_members(const std::string& path, const std::string& prefix, std::vector<Member>* out,
                  std::string* err);

}  // namespace xqpkg
