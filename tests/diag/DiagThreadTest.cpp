// Reports, heartbeats and the diagnostics thread against vekacs-sim.
#include "diag/DiagThread.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/ExtensionFixture.h"
#include "support/SimProcess.h"

namespace {

using namespace std::chrono_literals;

class DiagThreadTest : public SimExtensionFixture<> {
 protected:
  void TearDown() override {
    Stop();
    for (int i = 0; i < 500 && diag::DiagThread::RunningThreads() > 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(diag::DiagThread::RunningThreads(), 0);
    SimExtensionFixture::TearDown();
  }
  // Started with a thread that stays quiet unless timing says otherwise.
  CRAVOExtension& StartWithSim(const std::string& extra = {}) {
    return Start(sim_.IniSettings(1, 4) + "DebugOutput=1\n" + extra);
  }
  std::shared_ptr<diag::DiagList> List() { return diag::CurrentDiagList(); }
  void AddRecords(int count) {
    for (int i = 1; i <= count; ++i) ASSERT_EQ(List()->Add(diag::DiagEntry(105, "r" + std::to_string(i), "ISAPI", i, 0)), 1);
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const auto& entry : List()->Snapshot()) texts.push_back(entry.text);
    return texts;
  }
  int Count(const std::string& verb, const std::string& needle) {
    int count = 0;
    for (const auto& line : sim_.ControlLines(verb)) count += line.find(needle) != std::string::npos ? 1 : 0;
    return count;
  }
};

TEST_F(DiagThreadTest, AcceptedReportEmptiesTheList) {
  auto& extension = StartWithSim("[DIAGSETTINGS]\nTHRESHOLD=105\n");
  List()->Trim(1000);  // nothing to trim; keeps the start record reportable
  AddRecords(3);
  EXPECT_EQ(diag::SendDiagReport(&extension, List(), 100), 1);
  EXPECT_EQ(List()->Count(), 0u);
  const auto reports = sim_.ControlLines("reports");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("WARN | "), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("::r3::ISAPI::3"), std::string::npos) << reports[0];
}

TEST_F(DiagThreadTest, NoRecordsNoTraffic) {
  auto& extension = StartWithSim("[DIAGSETTINGS]\nTHRESHOLD=106\n");
  ASSERT_EQ(List()->Count(), 0u);
  EXPECT_EQ(diag::SendDiagReport(&extension, List(), 100), 1);
  EXPECT_EQ(Count("log", "type=90"), 0);
  EXPECT_EQ(diag::SendDiagReport(nullptr, List(), 100), -100);
}

TEST_F(DiagThreadTest, UndeliverableReportDropsItsRecords) {
  auto& extension = StartWithSim("[DIAGSETTINGS]\nTHRESHOLD=105\n");
  AddRecords(4);
  ASSERT_EQ(sim_.Control("fault close"), "");
  EXPECT_EQ(diag::SendDiagReport(&extension, List(), 100), -1);
  const auto texts = Texts();
  for (const auto& dropped : {"r1", "r2", "r3", "r4"}) {
    EXPECT_EQ(std::find(texts.begin(), texts.end(), dropped), texts.end()) << dropped;
  }
  EXPECT_NE(std::find(texts.begin(), texts.end(), "0 bytes received - Socket closed - Protocol Error!"), texts.end())
      << "the exchange's own record, added meanwhile, stays";
}

TEST_F(DiagThreadTest, RefusedReportKeepsTheNewestUnderANotice) {
  auto& extension = StartWithSim("[DIAGSETTINGS]\nTHRESHOLD=105\nMAX_MEMORY=5\n");
  AddRecords(8);
  ASSERT_EQ(sim_.Control("fault refuse-diag"), "");
  EXPECT_EQ(diag::SendDiagReport(&extension, List(), 5), -1);
  EXPECT_EQ(Texts(), (std::vector<std::string>{std::string(diag::kTrimNotice), "r6", "r7", "r8",
                                                "Diag Report Failed"}));
  EXPECT_EQ(diag::SendDiagReport(&extension, List(), 5), 1) << "the kept records go out with the next report";
  EXPECT_EQ(List()->Count(), 0u);
}

TEST_F(DiagThreadTest, HeartbeatsGoOverThePoolsTheServicesUse) {
  struct Case {
    std::string ssl;
    int plain_heartbeats;
    int result;
  };
  const std::vector<Case> cases = {
      {"", 1, 0},
      {"ChatUsesSSL=true\nCallbackUsesSSL=true\nVoiceXMLUsesSSL=true\n", 0, -1},
      {"CallbackUsesSSL=true\n", 1, -1},
  };
  for (const auto& c : cases) {
    const int before = Count("heartbeats", "web|app|");
    auto& extension = StartWithSim(c.ssl + "SSLPort=4999\n");
    EXPECT_EQ(extension.SendHeartbeat("web", "app"), c.result) << c.ssl;
    EXPECT_EQ(Count("heartbeats", "web|app|" + std::to_string(sim_.port())) - before, c.plain_heartbeats) << c.ssl;
    Stop();
    const bool tls_tried = dir_.Read("debug.txt").find("Getting socket from SSL pool") != std::string::npos;
    EXPECT_EQ(tls_tried, c.result == -1) << c.ssl;
    dir_.Write("debug.txt", "");
  }
}

TEST_F(DiagThreadTest, ThreadSendsHeartbeatsAndReportsAndSaysGoodbye) {
  diag_timing_.firstDelay = 50ms;
  diag_timing_.pass = 20ms;
  diag_timing_.finalReport = true;
  StartWithSim("[DIAGSETTINGS]\nTHRESHOLD=104\n");
  for (int i = 0; i < 300 && Count("reports", "Starting DiagThread...") == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(Count("reports", "Starting DiagThread...::Diags::653"), 1);
  EXPECT_EQ(Count("heartbeats", "Unknown|Unknown|"), 1) << "no request seen yet";
  Stop();
  EXPECT_EQ(Count("reports", "Finishing DiagThread...::Diags::448"), 1);
  EXPECT_NE(dir_.Read("debug.txt").find("DiagThread::Run: a heart beat sent.WebServerName=Unknown, WebAppName=Unknown,iRC=0\n"),
            std::string::npos);
}

TEST_F(DiagThreadTest, StopReturnsWithinItsLimitWhileAnExchangeHangs) {
  diag_timing_.firstDelay = 10ms;
  diag_timing_.stopLimit = 300ms;
  ASSERT_EQ(sim_.Control("fault delay 2000"), "");
  StartWithSim();
  std::this_thread::sleep_for(200ms);  // the heartbeat is now waiting for its answer
  const auto start = std::chrono::steady_clock::now();
  extension_->TerminateExtension(QX_TERM_MUST_UNLOAD);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_NE(dir_.Read("debug.txt").find("left to finish on its own"), std::string::npos);
  // The detached thread still uses the extension until its exchange ends.
  for (int i = 0; i < 500 && diag::DiagThread::RunningThreads() > 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(diag::DiagThread::RunningThreads(), 0);
  extension_.reset();
}

}  // namespace
