// Work queues in the manner of libdispatch, for code written against it.
//
// - get_global_queue(): a concurrent queue on which a task never waits for
//   another task to finish. Every task starts at once on a thread of its own
//   (an idle pooled thread or a new one; the pool grows without bound), so a
//   task may block for minutes without delaying anything else. Threads that
//   stay idle for kIdleThreadLifetime end.
// - queue_create(label): a serial queue. Its tasks run one after another, in
//   the order they were submitted, each finishing before the next starts. It
//   borrows a pooled thread only while it has work, so an idle serial queue
//   costs no thread; it lives as long as someone holds it or it has work.
// - get_main_queue(): a serial queue drained by the thread that runs the run
//   loop (main() or run_main_loop_until()), normally the process's main thread.
//   Nothing runs its tasks while no thread runs the loop.
// - once(): runs a task exactly once per once_t, other callers waiting until
//   it has finished.
//
// A task that throws ends the process (std::terminate), as an uncaught
// exception on any thread does.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace dispatch {

using Task = std::function<void()>;

// Priorities accepted by get_global_queue(). All name the same queue: every
// task gets a thread at once, so there is nothing to order by priority.
constexpr long QUEUE_PRIORITY_HIGH = 2;
constexpr long QUEUE_PRIORITY_DEFAULT = 0;
constexpr long QUEUE_PRIORITY_LOW = -2;
constexpr long QUEUE_PRIORITY_BACKGROUND = -32768;

// How long a pooled thread waits for new work before it ends.
constexpr std::chrono::milliseconds kIdleThreadLifetime{2000};

class Queue {
  public:
    virtual ~Queue() = default;
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    const std::string& label() const { return label_; }
    // True for a queue that runs its tasks one at a time.
    virtual bool isSerial() const = 0;

    // Submits a task and returns at once.
    virtual void async(Task task) = 0;
    // Submits a task and returns when it has run. On a serial queue the task
    // runs after the tasks submitted before it. Called from a task of the same
    // serial queue (which would wait for itself for ever under libdispatch),
    // the task runs at once on the calling thread.
    virtual void sync(const Task& task) = 0;

  protected:
    explicit Queue(std::string label) : label_(std::move(label)) {}

  private:
    std::string label_;
};

using QueuePtr = std::shared_ptr<Queue>;

// The one global concurrent queue; priority and flags are accepted for
// compatibility and do not change anything.
QueuePtr get_global_queue(long priority, unsigned long flags);

// A new serial queue. A null label gives an empty one.
QueuePtr queue_create(const char* label);

// The main queue: serial, label "com.apple.main-thread" as on the original.
QueuePtr get_main_queue();

// Submit to a queue; a null queue is a programming error and ends the process.
void async(const QueuePtr& queue, Task task);
void sync(const QueuePtr& queue, const Task& task);

// The label of the serial queue whose task is running on the calling thread,
// or nullptr when the thread runs no serial queue's task.
const Queue* current_serial_queue();

// Runs the main queue's tasks on the calling thread for ever.
[[noreturn]] void main();

// The bounded form of the run loop, for tests and for callers that must stop:
// drains the main queue until `done` returns true (checked after each task and
// every few milliseconds while idle) or `deadline` passes. Returns the last value of `done`.
bool run_main_loop_until(const std::function<bool()>& done,
                         std::chrono::steady_clock::time_point deadline);

using once_t = std::once_flag;
void once(once_t& predicate, const Task& task);

}  // namespace dispatch
