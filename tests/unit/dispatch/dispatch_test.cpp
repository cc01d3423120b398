#include "platform/dispatch/dispatch.h"
#include "tests/support/harness.h"

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

size_t threadCount() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return 0;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

using xqtest::eventually;

TEST(SerialQueue, RunsTasksOneAtATimeInSubmissionOrder) {
    dispatch::QueuePtr queue = dispatch::queue_create("test.serial");
    ASSERT_TRUE(queue);
    EXPECT_EQ(queue->label(), "test.serial");
    EXPECT_TRUE(queue->isSerial());

    constexpr int kTasks = 2000;
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<int> maxRunning{0};
    // Submitted from several threads at once; order must hold per submitter
    // and the tasks must never overlap.
    std::vector<std::thread> submitters;
    std::mutex orderMutex;
    for (int t = 0; t < 4; ++t) {
        submitters.emplace_back([&, t] {
            for (int i = 0; i < kTasks / 4; ++i) {
                dispatch::async(queue, [&, value = t * 100000 + i] {
                    const int now = ++running;
                    int seen = maxRunning.load();
                    while (now > seen && !maxRunning.compare_exchange_weak(seen, now)) {
                    }
                    {
                        std::lock_guard lock(orderMutex);
                        order.push_back(value);
                    }
                    --running;
                });
            }
        });
    }
    for (auto& s : submitters) {
        s.join();
    }
    dispatch::sync(queue, [] {});
    ASSERT_EQ(order.size(), static_cast<size_t>(kTasks));
    EXPECT_EQ(maxRunning.load(), 1);
    std::vector<int> last(4, -1);
    for (int value : order) {
        const int submitter = value / 100000;
        const int index = value % 100000;
        EXPECT_EQ(index, last[submitter] + 1)
            << "task of submitter " << submitter << " out of order";
        last[submitter] = index;
    }
}

TEST(SerialQueue, SyncWaitsForEarlierTasksAndRunsInlineOnItsOwnQueue) {
    dispatch::QueuePtr queue = dispatch::queue_create("test.sync");
    std::atomic<bool> slowDone{false};
    dispatch::async(queue, [&] {
        std::this_thread::sleep_for(50ms);
        slowDone = true;
    });
    bool sawSlowDone = false;
    dispatch::sync(queue, [&] { sawSlowDone = slowDone.load(); });
    EXPECT_TRUE(sawSlowDone);

    // A sync onto the queue one is running on must not wait for itself.
    std::atomic<bool> innerRan{false};
    std::atomic<bool> outerDone{false};
    dispatch::async(queue, [&] {
        EXPECT_EQ(dispatch::current_serial_queue(), queue.get());
        dispatch::sync(queue, [&] { innerRan = true; });
        outerDone = true;
    });
    EXPECT_TRUE(eventually([&] { return outerDone.load(); }));
    EXPECT_TRUE(innerRan);
    EXPECT_EQ(dispatch::current_serial_queue(), nullptr);
}

TEST(SerialQueue, WorkSubmittedBeforeTheLastHandleIsDroppedStillRuns) {
    std::atomic<int> ran{0};
    {
        dispatch::QueuePtr queue = dispatch::queue_create(nullptr);
        EXPECT_EQ(queue->label(), "");
        for (int i = 0; i < 10; ++i) {
            dispatch::async(queue, [&] {
                std::this_thread::sleep_for(1ms);
                ++ran;
            });
        }
    }
    EXPECT_TRUE(eventually([&] { return ran.load() == 10; }));
}

TEST(SerialQueue, DifferentQueuesRunAtTheSameTime) {
    dispatch::QueuePtr a = dispatch::queue_create("test.a");
    dispatch::QueuePtr b = dispatch::queue_create("test.b");
    std::atomic<bool> bRan{false};
    std::atomic<bool> release{false};
    dispatch::async(a, [&] { eventually([&] { return release.load(); }); });
    dispatch::async(b, [&] { bRan = true; });
    EXPECT_TRUE(eventually([&] { return bRan.load(); })) << "a blocked queue held up another one";
    release = true;
    dispatch::sync(a, [] {});
}

TEST(GlobalQueue, NoTaskWaitsForAnotherToFinish) {
    dispatch::QueuePtr global = dispatch::get_global_queue(dispatch::QUEUE_PRIORITY_DEFAULT, 0);
    ASSERT_TRUE(global);
    EXPECT_FALSE(global->isSerial());
    EXPECT_EQ(global, dispatch::get_global_queue(dispatch::QUEUE_PRIORITY_HIGH, 0));

    // Every task blocks until all of them have started: only possible if each
    // got a thread of its own at once. Far more tasks than cores.
    constexpr int kTasks = 100;
    std::mutex mutex;
    std::condition_variable allStarted;
    int started = 0;
    std::atomic<int> sawAll{0};
    std::atomic<int> finished{0};
    for (int i = 0; i < kTasks; ++i) {
        dispatch::async(global, [&] {
            std::unique_lock lock(mutex);
            if (++started == kTasks) {
                allStarted.notify_all();
            }
            if (allStarted.wait_for(lock, 20s, [&] { return started == kTasks; })) {
                ++sawAll;
            }
            ++finished;
        });
    }
    ASSERT_TRUE(eventually([&] { return finished.load() == kTasks; }, 30s));
    EXPECT_EQ(sawAll.load(), kTasks);
}

TEST(GlobalQueue, ThreadsOfFinishedTasksEnd) {
    dispatch::QueuePtr global = dispatch::get_global_queue(dispatch::QUEUE_PRIORITY_DEFAULT, 0);
    // Earlier tests' pooled threads end first; then only this thread is left.
    constexpr size_t before = 1;
    ASSERT_TRUE(
        eventually([&] { return threadCount() == before; }, dispatch::kIdleThreadLifetime + 5s))
        << threadCount() << " threads before the test";
    std::atomic<int> finished{0};
    std::atomic<bool> release{false};
    constexpr int kTasks = 30;
    for (int i = 0; i < kTasks; ++i) {
        dispatch::async(global, [&] {
            eventually([&] { return release.load(); });
            ++finished;
        });
    }
    EXPECT_TRUE(eventually([&] { return threadCount() >= before + kTasks; }));
    release = true;
    ASSERT_TRUE(eventually([&] { return finished.load() == kTasks; }));
    EXPECT_TRUE(
        eventually([&] { return threadCount() <= before; }, dispatch::kIdleThreadLifetime + 5s))
        << threadCount() << " threads, " << before << " before";
}

TEST(GlobalQueue, SyncRunsTheTask) {
    int value = 0;
    dispatch::sync(dispatch::get_global_queue(0, 0), [&] { value = 42; });
    EXPECT_EQ(value, 42);
}

TEST(MainQueue, DrainedOnlyByTheThreadRunningTheLoop) {
    dispatch::QueuePtr main = dispatch::get_main_queue();
    ASSERT_TRUE(main);
    EXPECT_TRUE(main->isSerial());
    EXPECT_EQ(main, dispatch::get_main_queue());

    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::thread producer([&] {
        for (int i = 0; i < 50; ++i) {
            dispatch::async(main, [&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
        }
    });
    producer.join();
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(order.empty()) << "main queue ran without a run loop";

    const bool done = dispatch::run_main_loop_until([&] { return order.size() == 50; },
                                                    std::chrono::steady_clock::now() + 10s);
    ASSERT_TRUE(done);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(order[i], i);
        EXPECT_EQ(threads[i], std::this_thread::get_id());
    }
}

TEST(MainQueue, BoundedLoopReturnsAtItsDeadline) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(dispatch::run_main_loop_until([] { return false; }, start + 100ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

TEST(MainQueue, SyncFromAnotherThreadRunsOnTheLoopThread) {
    std::thread::id ranOn;
    std::atomic<bool> done{false};
    std::thread other([&] {
        dispatch::sync(dispatch::get_main_queue(), [&] { ranOn = std::this_thread::get_id(); });
        done = true;
    });
    EXPECT_TRUE(dispatch::run_main_loop_until([&] { return done.load(); },
                                              std::chrono::steady_clock::now() + 10s));
    other.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(MainQueueDeathTest, MainRunsTheLoopForEver) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The loop only ends through a task that ends the process.
    EXPECT_EXIT(
        {
            std::thread([] {
                std::this_thread::sleep_for(20ms);
                dispatch::async(dispatch::get_main_queue(), [] { std::_Exit(7); });
            }).detach();
            dispatch::main();
        },
        ::testing::ExitedWithCode(7), "");
}

TEST(Once, RunsExactlyOnceAndOthersWaitForIt) {
    static dispatch::once_t predicate;
    std::atomic<int> runs{0};
    std::atomic<bool> finished{false};
    std::vector<std::thread> threads;
    std::atomic<int> sawUnfinished{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            dispatch::once(predicate, [&] {
                ++runs;
                std::this_thread::sleep_for(50ms);
                finished = true;
            });
            if (!finished) {
                ++sawUnfinished;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(sawUnfinished.load(), 0);
    dispatch::once(predicate, [&] { ++runs; });
    EXPECT_EQ(runs.load(), 1);
}

}  // namespace
