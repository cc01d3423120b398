// The system package tool that the report check runs. Its path is not this
// library's to choose: each executable links the definition of its path
// profile (the original platform's "/usr/sbin/pkgutil", the Linux stand-in,
// or the test build's).
#pragma once

namespace pkg_verify {

extern const char* const kPkgutilPath;

}  // namespace pkg_verify
