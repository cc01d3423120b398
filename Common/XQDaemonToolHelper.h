// File-system helpers of the installation path: a fresh private directory for
// each staging or extraction, the link tests that the install command applies
// to a staged copy, and the staging copy itself. The class holds no state and
// every member runs on the calling thread.
#pragma once

#include <optional>
#include <string>

class XQDaemonToolHelper {
  public:
    XQDaemonToolHelper() = delete;

    // Creates a new directory, mode 0700 for the running user, named after the
    // main bundle's CFBundleIdentifier ("lx.pelk.tmp" when there is none)
    // followed by a dot and eight generated characters, inside the process's
    // temporary directory. Returns its path, or nullopt when the path does not
    // fit the 1024-byte template buffer or mkdtemp fails. The caller owns the
    // directory and removes it.
    static std::optional<std::string> getRandomlyDirectory();

    // True when the item at `path` is itself a symbolic link whose target
    // exists. Anything that cannot be examined (nothing there, a dangling
    // link, an error) is not a link.
    static bool isSymbolicLinkWithPath(const std::string& path);

    // True when the item at `path` (not following a final symbolic link) is a
    // regular file with two or more hard links. A directory or any other type
    // is never a hard link; anything that cannot be examined is not one.
    static bool isHardLinkWithPath(const std::string& path);

    // Stages the regular file at `sourcePath`: opens it once (a final symbolic
    // link is followed), confirms on the open descriptor that it is a regular
    // file, reads its bytes from that descriptor into memory, then writes them
    // to a new file named after the last path component of `dstFileName`
    // inside a fresh private directory, owned by user 0 and group 0 with mode
    // 0700. A FIFO, a device, a socket or a directory is refused without being
    // read, as is a file whose size changes while it is read. Returns the
    // staged file's path, or nullopt; a failure leaves no directory behind.
    static std::optional<std::string> copyRegularFileToPrivateDirectory(
        const std::string& sourcePath, const std::string& dstFileName);

    // Removes a staged file and, when it is then empty, the private directory
    // holding it. Errors are ignored.
    static void removeStagedFile(const std::string& stagedPath);
};
