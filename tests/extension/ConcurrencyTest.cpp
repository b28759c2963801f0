// Requests on many host threads at once, with the trace file open and
// diagnostics collecting: run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <thread>

#include "support/ExtensionFixture.h"

namespace {

using ConcurrencyTest = ExtensionFixture<>;

TEST_F(ConcurrencyTest, ManyThreadsCallFunctionAndAddDiag) {
  auto& extension = Start("[VEKASETTINGS]\nDebugOutput=1\n[DIAGSETTINGS]\nTHRESHOLD=101\n");
  constexpr int kThreads = 8;
  constexpr int kRequests = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&extension, t] {
      for (int i = 0; i < kRequests; ++i) {
        auto request = FakeRequest::Get("varUserRequest=" + std::string(i % 2 ? "REQ_WEBCHAT_MAIN" : "x") +
                                        "&varSessionID=" + std::to_string(t * 1000 + i) +
                                        "&Order=" + std::to_string(i));
        EXPECT_EQ(extension.HttpExtensionProc(request.ecb()), static_cast<std::uint32_t>(QX_STATUS_SUCCESS));
        diag::AddDiag(diag::kLevelWarn, "thread " + std::to_string(t), "ISAPI", i);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  Stop();
  const auto trace = dir_.Read("debug.txt");
  std::size_t returning = 0;
  for (auto at = trace.find("CallFunction: returning 0\n"); at != std::string::npos;
       at = trace.find("CallFunction: returning 0\n", at + 1)) {
    ++returning;
  }
  EXPECT_EQ(returning, static_cast<std::size_t>(kThreads * kRequests));
}

}  // namespace
