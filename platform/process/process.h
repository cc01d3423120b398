// Child processes, as the helper starts its system tools: the program runs with
// this process's environment, working directory and standard streams, except
// that standard output can be captured through a pipe. There is no time limit:
// run() returns when the child has exited.
#pragma once

#include <string>
#include <vector>

namespace process {

struct Task {
    std::string launchPath;              // absolute path of the program
    std::vector<std::string> arguments;  // arguments after the program name
    bool pipeStandardOutput = false;     // capture standard output
};

struct Result {
    // False when the program could not be started at all (missing, not
    // executable, no resources); the other fields are then meaningless except
    // launchError.
    bool launched = false;
    int launchError = 0;  // errno of the failed start
    // True when the child called exit; false when a signal ended it.
    bool exited = false;
    // The exit status, or the number of the signal that ended the child.
    int terminationStatus = -1;
    // Everything the child wrote to standard output, read to end of file
    // before waiting for the child (so a large output cannot stall it).
    std::string standardOutput;
};

[[nodiscard]] Result run(const Task& task);

}  // namespace process
