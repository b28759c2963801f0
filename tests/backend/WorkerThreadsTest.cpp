// The threads that carry pending requests: every job runs once and at once,
// idle threads are reused or retire, and Stop leaves nothing behind.
#include "backend/WorkerThreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <set>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(WorkerThreadsTest, ConcurrentJobsEachRunOnceAndNoneWaitsForAnother) {
  WorkerThreads workers;
  constexpr int kJobs = 64;
  std::latch all_started(kJobs);
  std::atomic<int> ran{0};
  std::vector<std::thread> submitters;
  for (int s = 0; s < 4; ++s) {
    submitters.emplace_back([&] {
      for (int i = 0; i < kJobs / 4; ++i) {
        ASSERT_TRUE(workers.Run([&] {
          // Every job blocks until all have started: a job queued behind
          // another would deadlock here.
          all_started.count_down();
          all_started.wait();
          ran.fetch_add(1);
        }));
      }
    });
  }
  for (auto& submitter : submitters) submitter.join();
  EXPECT_EQ(workers.Stop(10s), 0);
  EXPECT_EQ(ran.load(), kJobs);
}

TEST(WorkerThreadsTest, IdleThreadsAreReusedForLaterJobs) {
  WorkerThreads workers;
  std::mutex mutex;
  std::set<std::thread::id> threads;
  for (int i = 0; i < 200; ++i) {
    std::promise<void> done;
    ASSERT_TRUE(workers.Run([&] {
      {
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
      }
      done.set_value();
    }));
    done.get_future().wait();
  }
  EXPECT_EQ(workers.Stop(10s), 0);
  // A job may be handed over before the previous thread has parked, so a
  // second thread is possible, but not one per job.
  EXPECT_LE(threads.size(), 3u);
}

TEST(WorkerThreadsTest, IdleThreadsRetireAndNewJobsStillRun) {
  WorkerThreads workers(1s);
  std::atomic<int> ran{0};
  ASSERT_TRUE(workers.Run([&] { ran.fetch_add(1); }));
  std::this_thread::sleep_for(1500ms);  // past the idle limit: the thread ended
  std::promise<void> done;
  ASSERT_TRUE(workers.Run([&] {
    ran.fetch_add(1);
    done.set_value();
  }));
  EXPECT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(workers.Stop(10s), 0);
  EXPECT_EQ(ran.load(), 2);
}

TEST(WorkerThreadsTest, StopWaitsForBusyJobsAndReportsThoseOverTheLimit) {
  // Outlives the test: the detached thread still passes through it after its job.
  static WorkerThreads& workers = *new WorkerThreads;
  std::atomic<bool> release{false};
  std::atomic<int> finished{0};
  std::latch started(2);
  ASSERT_TRUE(workers.Run([&] {
    started.count_down();
    std::this_thread::sleep_for(100ms);
    finished.fetch_add(1);
  }));
  ASSERT_TRUE(workers.Run([&] {
    started.count_down();
    while (!release.load()) std::this_thread::sleep_for(5ms);
    finished.fetch_add(1);
  }));
  started.wait();
  EXPECT_EQ(workers.Stop(500ms), 1);  // the short job ended within the limit
  EXPECT_EQ(finished.load(), 1);
  release = true;
  // The pool works again after a Stop.
  std::promise<void> done;
  ASSERT_TRUE(workers.Run([&] { done.set_value(); }));
  EXPECT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(workers.Stop(10s), 0);
  while (finished.load() < 2) std::this_thread::sleep_for(5ms);  // the detached job ends
}

}  // namespace
