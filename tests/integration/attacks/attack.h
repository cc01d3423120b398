// Pieces shared by the attack programs: a raw connection, one request on it
// in the service's wire format, what the service does with it, and the one
// line each program prints ("tries N served M ...") for the test to read.
#pragma once

#include <sys/types.h>

#include <string>

namespace attack {

// A connected Unix stream socket, or -1 (errno set).
int connectTo(const std::string& path);
// Writes one "runLocationHelperWithReply:" request; false if the write failed.
bool sendRun(int fd, unsigned seq);

enum class Outcome {
    Served,  // a reply came
    Closed,  // the service closed the connection without a reply
    Silent,  // neither within the time
};
Outcome awaitOutcome(int fd, int milliseconds);
const char* describe(Outcome outcome);

// Prints "tries N served M" and any extra words, on one line.
void report(int tries, int served, const std::string& extra = "");

// A child process that keeps turning the symbolic link `link` between
// `first` and `second` (atomically, by a rename over it), pausing
// `pauseMicros` between turns, until it is stopped or this process ends.
// Returns its pid, or -1.
pid_t startLinkFlipper(const std::string& link, const std::string& first, const std::string& second,
                       unsigned pauseMicros);
// Kills and reaps what startLinkFlipper started.
void stopLinkFlipper(pid_t flipper);

}  // namespace attack
