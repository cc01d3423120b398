// Payload and Scripts archives: cpio streams, plain or gzip-compressed,
// checked whole (every header read and bounded by this program) before
// libarchive writes them below the target.
#pragma once

#include <optional>
#include <string>

#include "tools/installer/failure.h"
#include "tools/installer/format.h"
#include "tools/installer/target.h"

namespace installer {

// One archive of a component (its Payload or its Scripts) below
// `destination`: its format named if it is not one this tool reads, then
// checked whole: nothing when it may be written.
std::optional<Failure> checkArchive(const std::string& what, const PayloadSource& source,
                                    const Target& target, const std::string& destination,
                                    bool allowLinks);
// The same, then written.
std::optional<Failure> unpackArchive(const std::string& what, const PayloadSource& source,
                                     const Target& target, const std::string& destination,
                                     bool allowLinks, bool keepOwners);

}  // namespace installer
