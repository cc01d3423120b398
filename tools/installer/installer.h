// The installer stand-in: installs a flat component package or a product
// archive into a target directory, as `installer -pkg P -target T` does.
//
// What it guarantees: every archive member it reads passes its checksums
// (through platform/xar); each component's Payload (cpio, gzip) is checked
// whole before anything is written, and no entry, hard-link target or path
// through a symbolic link may leave the destination; owners, modes and times
// of new files are kept, directories that already exist keep theirs; the
// preinstall script runs before the payload and the postinstall script after
// it, each with the package path, the destination, the target volume and "/"
// as arguments. Any failure stops the install with a non-zero status; 0 means
// every component was installed and every script succeeded.
#pragma once

#include <string>
#include <vector>

namespace installer {

// The tool's main; returns the exit status (0 only on success).
int installerMain(const std::vector<std::string>& arguments);

// Checks one payload entry name and returns it relative to the destination
// ("./a/b" and "a/b" give "a/b"; "." and "./" give ""). False for an absolute
// name, a ".." component, or a NUL byte.
bool normalizeEntryName(const std::string& name, std::string& relative);

}  // namespace installer
