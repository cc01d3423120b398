// The installer stand-in: installs a flat component package or a product
// archive into a target directory, as `installer -pkg P -target T` does.
//
// What it guarantees: every archive member it reads passes its checksums
// (through platform/xar); a directory member, with children or without, is a
// directory; each component's Payload and Scripts must be cpio archives,
// plain or compressed with gzip (any other format is refused with an error
// that names it), and are checked whole before anything is written. No
// entry, hard-link target or path through a symbolic link may leave the
// target: a symbolic link is crossed only when the system put it there
// (owned by root, in a directory owned by root that no one else may write
// to, like Debian's /bin -> usr/bin) and it leads to a place inside the
// target; never one that the payload itself made or that a user could have
// planted. Owners, modes and times of new files are kept, directories that
// already exist keep theirs; the preinstall script runs before the payload
// and the postinstall script after it, each with the package path, the
// destination, the target volume and "/" as arguments. Any failure stops the
// install with a non-zero status; 0 means every component was installed and
// every script succeeded.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace installer {

// Which executable runs the tool: the shipped `installer` takes only the
// system installer's arguments; the test build `installer-test` also takes
// "-test-skip-scripts", which checks and unpacks the Scripts archives but
// runs no script (tests install real packages into a scratch target).
enum class Build { Shipped, Test };

// The tool's main; returns the exit status (0 only on success).
int installerMain(const std::vector<std::string>& arguments, Build build = Build::Shipped);

// Checks one payload archive and writes it below `destination` (relative to
// the target, made if missing) of the target directory open at `targetFd`,
// whose path is `targetPath`. Returns the reason it was refused or failed,
// or nullopt once everything was written. A refusal found by the check
// leaves the target untouched.
std::optional<std::string> installPayload(const std::string& archivePath, int targetFd,
                                          const std::string& targetPath,
                                          const std::string& destination, bool keepOwners);

// The same, for a payload archive held in memory.
std::optional<std::string> installPayload(std::span<const unsigned char> archive, int targetFd,
                                          const std::string& targetPath,
                                          const std::string& destination, bool keepOwners);

// Only the checks that installPayload makes before it writes anything (the
// format, every entry's name, type and path through the target): the reason
// it would refuse the archive, or nullopt when it would go on to write it.
// Reads the target, never writes to it.
std::optional<std::string> checkPayload(std::span<const unsigned char> archive, int targetFd,
                                        const std::string& targetPath,
                                        const std::string& destination);

// Checks one payload entry name and returns it relative to the destination
// ("./a/b" and "a/b" give "a/b"; "." and "./" give ""). False for an absolute
// name, a ".." component, or a NUL byte.
bool normalizeEntryName(const std::string& name, std::string& relative);

}  // namespace installer
