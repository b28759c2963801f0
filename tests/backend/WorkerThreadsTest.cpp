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
  constexpr int kBurst = 8;
  std::mutex mutex;
  std::set<std::thread::id> threads;
  const auto burst = [&] {
    std::latch together(kBurst);
    for (int i = 0; i < kBurst; ++i) {
      ASSERT_TRUE(workers.Run([&] {
        {
          std::lock_guard lock(mutex);
          threads.insert(std::this_thread::get_id());
        }
        together.count_down();
        together.wait();
      }));
    }
    while (workers.IdleCount() < kBurst) std::this_thread::sleep_for(1ms);
  };
  burst();
  burst();
  EXPECT_EQ(threads.size(), static_cast<std::size_t>(kBurst));
  EXPECT_EQ(workers.Stop(10s), 0);
  EXPECT_EQ(workers.IdleCount(), 0);
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
