// Reports, heartbeats and the diagnostics thread: against a fake back-end
// link where the test must decide what the back end does and when, and
// against vekacs-sim through the extension where the wire matters.
#include "diag/DiagThread.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "diag/TraceLog.h"
#include "support/ExtensionFixture.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

// A back end the test scripts: names and results are the test's, every call
// is recorded, and heartbeats can be held until the test releases them.
class FakeLink : public diag::BackendLink {
 public:
  ServerNames DiagServerNames() const override {
    std::lock_guard lock(mutex_);
    return names_;
  }
  int SendDiagHeartbeat(const std::string& web_server, const std::string& web_application) override {
    std::unique_lock lock(mutex_);
    heartbeats_.push_back(web_server + "|" + web_application);
    changed_.notify_all();
    changed_.wait(lock, [this] { return !hold_heartbeats_; });
    return heartbeat_result_;
  }
  ReportResult SendDiagRecords(std::span<const std::string> fields) override {
    std::function<void()> meanwhile;
    ReportResult result;
    {
      std::lock_guard lock(mutex_);
      reports_.emplace_back(fields.begin(), fields.end());
      meanwhile = during_report_;
      result = report_result_;
    }
    changed_.notify_all();
    if (meanwhile) meanwhile();
    return result;
  }

  void SetNames(ServerNames names) {
    std::lock_guard lock(mutex_);
    names_ = std::move(names);
  }
  void SetHeartbeatResult(int result) {
    std::lock_guard lock(mutex_);
    heartbeat_result_ = result;
  }
  // Runs during every report, as the exchange's own records would come.
  void SetReportResult(ReportResult result, std::function<void()> during_report = {}) {
    std::lock_guard lock(mutex_);
    report_result_ = result;
    during_report_ = std::move(during_report);
  }
  void HoldHeartbeats(bool hold) {
    {
      std::lock_guard lock(mutex_);
      hold_heartbeats_ = hold;
    }
    changed_.notify_all();
  }
  bool WaitForHeartbeats(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return heartbeats_.size() >= count; });
  }
  bool WaitForReports(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return reports_.size() >= count; });
  }
  std::vector<std::string> Heartbeats() const {
    std::lock_guard lock(mutex_);
    return heartbeats_;
  }
  std::vector<std::vector<std::string>> Reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  ServerNames names_;                              // guarded by mutex_
  int heartbeat_result_ = 0;                       // guarded by mutex_
  bool hold_heartbeats_ = false;                   // guarded by mutex_
  ReportResult report_result_{true, 0};            // guarded by mutex_
  std::function<void()> during_report_;            // guarded by mutex_
  std::vector<std::string> heartbeats_;            // guarded by mutex_
  std::vector<std::vector<std::string>> reports_;  // guarded by mutex_
};

// The diagnostics module as the extension sets it up, on a FakeLink, with
// the trace file in a folder of the test's own.
class DiagLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(diag::Trace().Open(dir_.path() + "debug.txt"));
    diag::SetDiagEnabled(true);
    diag::InstallDiagList(list_);
  }
  void TearDown() override {
    // The thread ends only once diagnostics are off, as at unload.
    diag::SetDiagEnabled(false);
    link_.HoldHeartbeats(false);
    thread_.reset();
    // A thread left to finish on its own still uses link_.
    EXPECT_TRUE(WaitUntil([] { return diag::DiagThread::RunningThreads() == 0; }));
    diag::InstallDiagList(nullptr);
    diag::Trace().Close();
  }
  void Start(diag::DiagThread::Timing timing, std::size_t record_limit) {
    thread_ = diag::DiagThread::StartThread(link_, 1 << 30, record_limit, timing);
    ASSERT_NE(thread_, nullptr);
  }
  diag::DiagEntry Record(const std::string& text, int line) const {
    return diag::DiagEntry(diag::kLevelWarn, text, "ISAPI", line, 0);
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& entry : list_->Snapshot()) texts.push_back(entry.text);
    return texts;
  }

  TempDir dir_;
  FakeLink link_;
  const std::shared_ptr<diag::DiagList> list_ = std::make_shared<diag::DiagList>(diag::kLevelInfo);
  std::unique_ptr<diag::DiagThread> thread_;
};

TEST_F(DiagLinkTest, NoRecordsNoTraffic) {
  EXPECT_EQ(diag::SendDiagReport(&link_, list_, 100), 1);
  EXPECT_TRUE(link_.Reports().empty());
  ASSERT_EQ(list_->Add(Record("kept", 1)), diag::kDiagAdded);
  EXPECT_EQ(diag::SendDiagReport(nullptr, list_, 100), -100);
  EXPECT_EQ(diag::SendDiagReport(&link_, nullptr, 100), -100);
  EXPECT_TRUE(link_.Reports().empty());
  EXPECT_EQ(Texts(), std::vector<std::string>{"kept"}) << "nothing was collected for a report";
}

TEST_F(DiagLinkTest, EachRecordGoesOutAsLevelAndTextAndAnUndeliveredReportDropsOnlyThose) {
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(list_->Add(Record("r" + std::to_string(i), i)), diag::kDiagAdded);
  link_.SetReportResult({false, 0}, [this] { (void)list_->Add(Record("meanwhile", 9)); });
  EXPECT_EQ(diag::SendDiagReport(&link_, list_, 100), -1);
  const auto reports = link_.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], (std::vector<std::string>{"WARN", Record("r1", 1).TextForm(), "WARN", Record("r2", 2).TextForm(),
                                                  "WARN", Record("r3", 3).TextForm()}));
  EXPECT_EQ(Texts(), std::vector<std::string>{"meanwhile"});
}

TEST_F(DiagLinkTest, ThreadHeartbeatsReportsOverItsLimitAndSendsItsGoodbye) {
  link_.SetNames({"", "shop"});
  link_.SetHeartbeatResult(7);
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(list_->Add(Record("r" + std::to_string(i), i)), diag::kDiagAdded);
  diag::DiagThread::Timing timing;
  timing.firstDelay = 0ms;
  timing.pass = 10ms;
  Start(timing, 2);  // with its start record, one over the limit
  ASSERT_TRUE(link_.WaitForReports(1));
  auto report = link_.Reports()[0];
  ASSERT_EQ(report.size(), 8u);
  EXPECT_EQ(report[4], "WARN");
  EXPECT_EQ(report[5], Record("r3", 3).TextForm());
  EXPECT_EQ(report[6], "INFO");
  EXPECT_TRUE(report[7].ends_with("::Starting DiagThread...::Diags::653")) << report[7];
  ASSERT_TRUE(WaitUntil([this] { return list_->Count() == 0; }));

  diag::SetDiagEnabled(false);
  thread_.reset();
  EXPECT_EQ(diag::DiagThread::RunningThreads(), 0) << "joined within its limit";
  const auto reports = link_.Reports();
  ASSERT_EQ(reports.size(), 2u);
  ASSERT_EQ(reports[1].size(), 2u);
  EXPECT_EQ(reports[1][0], "SEVR");
  EXPECT_TRUE(reports[1][1].ends_with("::Finishing DiagThread...::Diags::448")) << reports[1][1];
  EXPECT_EQ(link_.Heartbeats(), std::vector<std::string>{"Unknown|shop"}) << "one per 30 seconds";
  EXPECT_NE(dir_.Read("debug.txt").find("DiagThread::Run: a heart beat sent.WebServerName=Unknown, WebAppName=shop,iRC=7\n"),
            std::string::npos);
}

TEST_F(DiagLinkTest, StopGivesUpOnAHungHeartbeatAtItsLimitAndTheThreadFinishesLater) {
  link_.HoldHeartbeats(true);
  diag::DiagThread::Timing timing;
  timing.firstDelay = 0ms;
  timing.stopLimit = 300ms;
  Start(timing, 100);
  ASSERT_TRUE(link_.WaitForHeartbeats(1));
  diag::SetDiagEnabled(false);
  const auto start = std::chrono::steady_clock::now();
  thread_.reset();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 1500ms);
  EXPECT_NE(dir_.Read("debug.txt").find("DiagThread::~DiagThread: thread did not end within 300 ms; left to finish on its own\n"),
            std::string::npos);
  EXPECT_EQ(diag::DiagThread::RunningThreads(), 1);
  // Released, the thread finishes on its own and says goodbye over the link.
  link_.HoldHeartbeats(false);
  EXPECT_TRUE(WaitUntil([] { return diag::DiagThread::RunningThreads() == 0; }));
  const auto reports = link_.Reports();
  ASSERT_FALSE(reports.empty());
  EXPECT_TRUE(reports.back().back().ends_with("::Finishing DiagThread...::Diags::448"));
}

// A last report that runs a little past the stop's deadline, as on a busy
// machine: the stop waits for the thread, which a web server would otherwise
// unload the module under.
TEST_F(DiagLinkTest, StopWaitsForALastReportJustPastItsDeadline) {
  diag::DiagThread::Timing timing;
  timing.firstDelay = 0ms;
  Start(timing, 100);
  ASSERT_TRUE(link_.WaitForHeartbeats(1));
  const auto deadline = std::chrono::steady_clock::now() + 100ms;
  link_.SetReportResult({false, 0}, [deadline] { std::this_thread::sleep_until(deadline + 300ms); });
  thread_->FinishBy(deadline);
  diag::SetDiagEnabled(false);
  thread_.reset();
  EXPECT_EQ(diag::DiagThread::RunningThreads(), 0) << "joined, not left running";
  EXPECT_EQ(dir_.Read("debug.txt").find("did not end within"), std::string::npos);
}

class DiagThreadTest : public SimExtensionFixture<> {
 protected:
  void TearDown() override {
    Stop();
    EXPECT_TRUE(WaitUntil([] { return diag::DiagThread::RunningThreads() == 0; }));
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
  ASSERT_TRUE(WaitUntil([this] { return Count("reports", "Starting DiagThread...") > 0; }));
  EXPECT_EQ(Count("reports", "Starting DiagThread...::Diags::653"), 1);
  EXPECT_EQ(Count("heartbeats", "Unknown|Unknown|"), 1) << "no request seen yet";
  Stop();
  EXPECT_EQ(Count("reports", "Finishing DiagThread...::Diags::448"), 1);
  EXPECT_NE(dir_.Read("debug.txt").find("DiagThread::Run: a heart beat sent.WebServerName=Unknown, WebAppName=Unknown,iRC=0\n"),
            std::string::npos);
}

TEST_F(DiagThreadTest, StopCutsAnExchangeUnderWayShortAndStillSendsTheLastReport) {
  diag_timing_.firstDelay = 10ms;
  diag_timing_.finalReport = true;
  ASSERT_EQ(sim_.Control("fault delay 20000"), "");
  StartWithSim();
  // The back end records a heartbeat before it holds back the answer.
  ASSERT_TRUE(WaitUntil([this] { return Count("heartbeats", "Unknown|Unknown|") > 0; }));
  const auto start = std::chrono::steady_clock::now();
  extension_->TerminateExtension(QX_TERM_MUST_UNLOAD);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_EQ(diag::DiagThread::RunningThreads(), 0) << "ended, not left behind";
  EXPECT_EQ(Count("reports", "Finishing DiagThread...::Diags::448"), 1);
  EXPECT_EQ(dir_.Read("debug.txt").find("not sent"), std::string::npos);
  extension_.reset();
}

}  // namespace
