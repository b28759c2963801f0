// The threads that carry pending requests: every job runs once and at once,
// idle threads are reused or retire, and Stop leaves nothing behind that
// could touch the pool once it is gone.
#include "backend/WorkerThreads.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <latch>
#include <memory>
#include <set>
#include <vector>

#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

// A thread leaves /proc/self/task only after its last instruction, so its
// entry's absence proves it ended. Counting all entries would not do: the
// sanitizer runtimes start helper threads of their own.
bool ThreadEnded(pid_t tid) { return !std::filesystem::exists("/proc/self/task/" + std::to_string(tid)); }

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
    ASSERT_TRUE(WaitUntil([&] { return workers.IdleCount() == kBurst; }));
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
  std::atomic<pid_t> first_thread{0};
  ASSERT_TRUE(workers.Run([&] {
    first_thread = gettid();
    ran.fetch_add(1);
  }));
  ASSERT_TRUE(WaitUntil([&] { return workers.IdleCount() == 1; }));
  // Past the idle limit the thread leaves its slot and ends by itself.
  ASSERT_TRUE(WaitUntil([&] { return workers.IdleCount() == 0 && ThreadEnded(first_thread); }));
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
  WorkerThreads workers;
  std::atomic<bool> stopping{false};
  std::latch release(1);
  std::atomic<int> finished{0};
  std::atomic<pid_t> stuck_thread{0};
  std::latch started(2);
  ASSERT_TRUE(workers.Run([&] {
    started.count_down();
    stopping.wait(false);  // busy until Stop is under way
    finished.fetch_add(1);
  }));
  ASSERT_TRUE(workers.Run([&] {
    stuck_thread = gettid();
    started.count_down();
    release.wait();
    finished.fetch_add(1);
  }));
  started.wait();
  stopping = true;
  stopping.notify_all();
  EXPECT_EQ(workers.Stop(500ms), 1);  // the short job ended within the limit
  EXPECT_EQ(finished.load(), 1);
  release.count_down();
  // The pool works again after a Stop.
  std::promise<void> done;
  ASSERT_TRUE(workers.Run([&] { done.set_value(); }));
  EXPECT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(workers.Stop(10s), 0);
  // The detached job ends, and its thread with it.
  EXPECT_TRUE(WaitUntil([&] { return finished.load() == 2 && ThreadEnded(stuck_thread); }));
}

TEST(WorkerThreadsTest, AJobThatOutlivesStopAndThePoolEndsWithoutTouchingThePool) {
  // Co-owned by the job: the thread's exit, which is all this test can
  // observe, orders nothing for the sanitizers.
  struct Gate {
    std::atomic<pid_t> thread{0};
    std::latch started{1};
    std::latch release{1};
  };
  const auto gate = std::make_shared<Gate>();
  auto workers = std::make_unique<WorkerThreads>();
  ASSERT_TRUE(workers->Run([gate] {
    gate->thread = gettid();
    gate->started.count_down();
    gate->release.wait();
  }));
  gate->started.wait();
  EXPECT_EQ(workers->Stop(10ms), 1);
  workers.reset();
  // The thread Stop gave up on now finishes its job and leaves: with the pool
  // gone, whatever it touches on the way out must still be there.
  gate->release.count_down();
  EXPECT_TRUE(WaitUntil([&] { return ThreadEnded(gate->thread); }));
}

}  // namespace
