// Copying a regular file's bytes from one descriptor to another inside the
// kernel, so that they never pass through this process's memory: a reflink
// (FICLONE) where the file system can share the blocks, else the source's data
// ranges (SEEK_DATA / SEEK_HOLE) through copy_file_range, then sendfile, and
// only where neither works a small bounded buffer. Holes stay holes.
#pragma once

#include <cstdint>

namespace copy {

// Copies the first `size` bytes of the regular file `src` into the empty
// regular file `dst`, which ends with exactly `size` bytes. The descriptors'
// file positions may move. False on an error; `dst` then holds part of the
// bytes. A source shorter than `size` is not always an error here: what is
// missing at its end may read as a hole (zeros) in the copy, so a caller
// that must have the whole file checks fileEndsAt afterwards.
[[nodiscard]] bool copyFileContent(int src, int dst, uint64_t size);

// True when the file behind `fd` still has exactly `size` bytes: its size has
// not changed and nothing can be read at that offset. A copy that must be the
// whole file checks this after copyFileContent, so that a source that grew
// meanwhile (or one whose size does not tell its length, as in procfs) is
// refused.
[[nodiscard]] bool fileEndsAt(int fd, uint64_t size);

}  // namespace copy
