// Path helpers: joining a name to a directory, asking whether anything is at a
// path, removing a tree. Every caller in the product uses these.
#pragma once

#include <string>

namespace base {

// `dir` and `name` with one "/" between them ("a/" + "b" is "a/b").
[[nodiscard]] std::string joinPath(const std::string& dir, const std::string& name);

// True when anything is at `path`, following a final symbolic link (so a
// dangling link is nothing); false for the empty path and on any error.
[[nodiscard]] bool pathExists(const std::string& path);

// Removes whatever is at `path`, a directory with everything in it; a
// symbolic link is removed, never followed. Nothing there is no error, and
// errors are ignored.
void removeTree(const std::string& path);

}  // namespace base
