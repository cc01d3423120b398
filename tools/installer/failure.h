// How a step of the install fails: with the reason, for the one line the
// tool prints.
#pragma once

#include <string>

namespace installer {

// The reason an install failed, for the one line the tool prints.
struct Failure {
    std::string reason;
};

}  // namespace installer
