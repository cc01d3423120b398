// Child processes, as the helper starts its system tools: the program runs with
// this process's environment, working directory and standard streams, except
// that standard output can be captured through a pipe. There is no time limit:
// run() returns when the child has exited.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/base/fd.h"

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

// A child that start() launched and no one has waited for yet, so that the
// caller can do other work while it runs. finish() collects it as run() does.
// A child that is never finished is waited for when its owner goes away (its
// output unread), so none is left behind as a zombie.
class Running {
  public:
    Running() = default;
    Running(Running&& other) noexcept;
    Running& operator=(Running&& other) noexcept;
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    ~Running();

    // Reads the captured output to end of file, then waits for the child.
    // Only the first call collects; later ones return an unlaunched result.
    [[nodiscard]] Result finish();

  private:
    friend Running start(const Task& task);
    void release();

    Result result_;          // launched and launchError, once start() has run
    pid_t pid_ = -1;         // the child, until it is waited for
    base::UniqueFd output_;  // read end of its standard output pipe, if captured
};

[[nodiscard]] Running start(const Task& task);

// start(task).finish().
[[nodiscard]] Result run(const Task& task);

}  // namespace process
