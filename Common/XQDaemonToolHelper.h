// File-system helpers of the installation path: a fresh private directory for
// each staging or extraction, the link tests that the install command applies
// to a staged copy, and the staging copy itself. The class holds no state of
// its own beyond the locks on the private directories this process made, and
// every member runs on the calling thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/base/fd.h"
#include "platform/base/proc.h"

class XQDaemonToolHelper {
  public:
    XQDaemonToolHelper() = delete;

    // The largest package that staging copies (2 GiB). A larger one is refused
    // before anything is created: the signature covers only the table of
    // contents, so bytes appended to a signed package would otherwise cost
    // that much root-owned disk space for nothing.
    static constexpr uint64_t kMaxStagedFileSize = uint64_t{2} << 30;

    // Creates a new directory, mode 0700 for the running user, named after the
    // main bundle's CFBundleIdentifier ("lx.pelk.tmp" when there is none)
    // followed by a dot and eight random characters (letters and digits, from
    // getrandom), inside the process's temporary directory; a name that
    // exists already is drawn again. Returns its path, or nullopt when the
    // path does not fit the 1024-byte template buffer or the directory cannot
    // be made. The caller owns the directory and removes it, through
    // removePrivateDirectory() or removeStagedFile(). Until then this process
    // holds a lock on it, so that removeAbandonedPrivateDirectories() in
    // another process leaves it alone; the lock goes with the process.
    static std::optional<std::string> getRandomlyDirectory();

    // Removes a private directory made by getRandomlyDirectory() with
    // everything in it (a symbolic link inside is removed, never followed) and
    // drops this process's lock on it. Errors are ignored.
    static void removePrivateDirectory(const std::string& directory);

    // Makes the process's temporary directory, mode 0700, if it is missing
    // (the service manager makes it for the service; a daemon started by hand
    // makes its own). False if it is not there afterwards.
    static bool makeTemporaryDirectoryIfMissing();

    // Removes, from the process's temporary directory, the private directories
    // of this process's name prefix that no living process holds: those an
    // earlier process left when it crashed or was killed. Directories that
    // another process is using are left alone. Returns how many were removed.
    static size_t removeAbandonedPrivateDirectories();

    // True when the item at `path` is itself a symbolic link whose target
    // exists. Anything that cannot be examined (nothing there, a dangling
    // link, an error) is not a link.
    static bool isSymbolicLinkWithPath(const std::string& path);

    // True when the item at `path` (not following a final symbolic link) is a
    // regular file with two or more hard links. A directory or any other type
    // is never a hard link; anything that cannot be examined is not one.
    static bool isHardLinkWithPath(const std::string& path);

    // Opens the regular file at `path` for reading as `user` would open it
    // (the user's own, real, ids and supplementary groups, never this
    // process's): the path is resolved, a final symbolic link followed and
    // the file's read permission checked under that identity alone, on a
    // thread of its own that takes it for the open and ends with it, so no
    // other thread ever runs with it. First the path is only looked up
    // (O_PATH, which reads nothing and opens no FIFO or device), and only a
    // regular file is then opened for reading (O_NONBLOCK: a lease or lock
    // cannot hold the open), through that very lookup, so the file checked is
    // the file opened. Invalid when the user could not open it, or it is no
    // regular file: a missing file, one the user may not read, one in a
    // folder the user may not search, a directory, a FIFO and a device all
    // fail alike, with no other work done for one than for another.
    static base::UniqueFd openRegularFileAs(const std::string& path, const base::ProcessUser& user);

    // Stages the regular file open at `sourceFd`: confirms on the descriptor
    // that it is a regular file of at most kMaxStagedFileSize bytes, and
    // copies its bytes from it into a new file named after the last path
    // component of `dstFileName` inside a fresh private directory, owned by
    // user 0 and group 0 with mode 0700. The copy runs in the kernel (a
    // reflink where the file system has one, else copy_file_range or
    // sendfile, holes kept as holes): the package never passes through this
    // process's memory. A FIFO, a device, a socket or a directory is refused
    // without being read, as is a file over the size cap or whose size
    // changes while it is copied. Returns the staged file's path, or nullopt;
    // a failure leaves nothing behind. The descriptor stays the caller's.
    static std::optional<std::string> copyRegularFileToPrivateDirectory(
        int sourceFd, const std::string& dstFileName);

    // The same for the file at `sourcePath`, opened with this process's own
    // rights as openRegularFileAs opens it (a final symbolic link is
    // followed; a FIFO or device is never opened).
    static std::optional<std::string> copyRegularFileToPrivateDirectory(
        const std::string& sourcePath, const std::string& dstFileName);

    // Removes a staged file and, when it is then empty, the private directory
    // holding it, dropping this process's lock on that directory. Errors are
    // ignored.
    static void removeStagedFile(const std::string& stagedPath);
};
