#include "platform/dispatch/dispatch.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <thread>

namespace dispatch {
namespace {

thread_local const Queue* tCurrentSerialQueue = nullptr;

constexpr std::chrono::milliseconds kConditionPoll{5};

// Sets the calling thread's current serial queue for the life of a scope.
class CurrentQueueScope {
  public:
    explicit CurrentQueueScope(const Queue* queue) : saved_(tCurrentSerialQueue) {
        tCurrentSerialQueue = queue;
    }
    ~CurrentQueueScope() { tCurrentSerialQueue = saved_; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

  private:
    const Queue* saved_;
};

// Threads for the global queue and for draining serial queues. A task is
// handed to an idle thread when there is one and to a new thread otherwise,
// so no task ever waits for another; a thread idle for kIdleThreadLifetime
// ends.
//
// Invariant under mutex_: idle_ == (threads waiting for work) - tasks_.size(),
// so every queued task has a waiting thread that will take it.
class ThreadPool {
  public:
    void submit(Task task) {
        std::unique_lock lock(mutex_);
        if (idle_ > 0) {
            --idle_;
            tasks_.push_back(std::move(task));
            lock.unlock();
            wake_.notify_one();
            return;
        }
        lock.unlock();
        std::thread(&ThreadPool::work, this, std::move(task)).detach();
    }

  private:
    void work(Task task) {
        for (;;) {
            task();
            task = nullptr;  // release what the task captured before idling
            std::unique_lock lock(mutex_);
            ++idle_;
            if (!wake_.wait_for(lock, kIdleThreadLifetime, [this] { return !tasks_.empty(); })) {
                --idle_;
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    size_t idle_ = 0;
};

// Never destroyed: detached pool threads may still be waiting on it while the
// process exits.
ThreadPool& pool() {
    static ThreadPool* const instance = new ThreadPool;
    return *instance;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "dispatch: %s\n", what);
    std::abort();
}

class GlobalQueue final : public Queue {
  public:
    GlobalQueue() : Queue("com.apple.root.default-qos") {}
    bool isSerial() const override { return false; }
    void async(Task task) override { pool().submit(std::move(task)); }
    // A concurrent queue would start the task at once; the calling thread is
    // as good a thread as any.
    void sync(const Task& task) override { task(); }
};

// Waits for one task submitted with async() on another queue.
void runAndWait(Queue& queue, const Task& task) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    queue.async([&] {
        task();
        std::lock_guard lock(mutex);
        done = true;
        finished.notify_one();
    });
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] { return done; });
}

class SerialQueue final : public Queue, public std::enable_shared_from_this<SerialQueue> {
  public:
    explicit SerialQueue(std::string label) : Queue(std::move(label)) {}
    bool isSerial() const override { return true; }

    void async(Task task) override {
        std::unique_lock lock(mutex_);
        tasks_.push_back(std::move(task));
        if (draining_) {
            return;
        }
        draining_ = true;
        lock.unlock();
        // The drain holds the queue, so work submitted by someone who then
        // drops the queue still runs.
        pool().submit([self = shared_from_this()] { self->drain(); });
    }

    void sync(const Task& task) override {
        if (tCurrentSerialQueue == this) {
            task();
            return;
        }
        runAndWait(*this, task);
    }

  private:
    void drain() {
        CurrentQueueScope scope(this);
        for (;;) {
            Task task;
            {
                std::lock_guard lock(mutex_);
                if (tasks_.empty()) {
                    draining_ = false;
                    return;
                }
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }

    std::mutex mutex_;
    std::deque<Task> tasks_;
    bool draining_ = false;
};

class MainQueue final : public Queue {
  public:
    MainQueue() : Queue("com.apple.main-thread") {}
    bool isSerial() const override { return true; }

    void async(Task task) override {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        ready_.notify_one();
    }

    void sync(const Task& task) override {
        // On the loop's own thread, or on the process's main thread outside
        // the loop, waiting would never end.
        if (tCurrentSerialQueue == this || gettid() == getpid()) {
            CurrentQueueScope scope(this);
            task();
            return;
        }
        runAndWait(*this, task);
    }

    bool runUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline,
                  bool forever) {
        CurrentQueueScope scope(this);
        for (;;) {
            if (done && done()) {
                return true;
            }
            Task task;
            {
                std::unique_lock lock(mutex_);
                if (forever) {
                    ready_.wait(lock, [this] { return !tasks_.empty(); });
                } else {
                    // The condition may also change on other threads, so it is
                    // looked at again every kConditionPoll while idle.
                    const auto now = std::chrono::steady_clock::now();
                    if (now >= deadline) {
                        lock.unlock();
                        return done && done();
                    }
                    if (!ready_.wait_until(lock, std::min(deadline, now + kConditionPoll),
                                           [this] { return !tasks_.empty(); })) {
                        continue;
                    }
                }
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Task> tasks_;
};

MainQueue& mainQueue() {
    static MainQueue* const instance = new MainQueue;
    return *instance;
}

}  // namespace

QueuePtr get_global_queue(long /*priority*/, unsigned long /*flags*/) {
    static const QueuePtr* const instance = new QueuePtr(std::make_shared<GlobalQueue>());
    return *instance;
}

QueuePtr queue_create(const char* label) {
    return std::make_shared<SerialQueue>(label ? label : "");
}

QueuePtr get_main_queue() {
    // An owning handle that never frees the queue.
    static const QueuePtr* const instance = new QueuePtr(&mainQueue(), [](Queue*) {});
    return *instance;
}

void async(const QueuePtr& queue, Task task) {
    if (!queue) {
        fail("async on a null queue");
    }
    queue->async(std::move(task));
}

void sync(const QueuePtr& queue, const Task& task) {
    if (!queue) {
        fail("sync on a null queue");
    }
    queue->sync(task);
}

const Queue* current_serial_queue() {
    return tCurrentSerialQueue;
}

void main() {
    mainQueue().runUntil(nullptr, {}, true);
    fail("main queue loop ended");
}

bool run_main_loop_until(const std::function<bool()>& done,
                         std::chrono::steady_clock::time_point deadline) {
    return mainQueue().runUntil(done, deadline, false);
}

void once(once_t& predicate, const Task& task) {
    std::call_once(predicate, task);
}

}  // namespace dispatch
