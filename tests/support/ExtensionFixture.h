// An extension started from a folder of the test's own, as the host would
// start the module from its installation folder, and stopped at the end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "diag/Diags.h"
#include "extension/Dispatch.h"
#include "extension/RAVO.h"
#include "support/FakeControlBlock.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"

// Records which handler dispatch chose and with which values, instead of
// running it.
class RecordingExtension : public CRAVOExtension {
 public:
  using CRAVOExtension::CRAVOExtension;

  struct Call {
    std::string handler;
    std::vector<std::string> arguments;
  };
  std::vector<Call> calls;
  int result = 0;
  bool throw_from_handler = false;

 protected:
  int InvokeHandler(const DispatchRow& row, CHttpServerContext*,
                    const std::vector<std::string>& arguments) override {
    calls.push_back({std::string(row.handlerName), arguments});
    if (throw_from_handler) throw std::runtime_error("handler failed");
    return result;
  }
};

template <typename Extension = CRAVOExtension>
class ExtensionFixture : public ::testing::Test {
 protected:
  // Starts the extension with ini as RAVO.ini (none when empty).
  Extension& Start(const std::string& ini = {}) {
    if (!ini.empty()) dir_.Write("RAVO.ini", ini);
    extension_ = std::make_unique<Extension>(dir_.path() + "quorvix.so");
    extension_->SetDiagTiming(diag_timing_);
    QX_VERSION_INFO version{};
    EXPECT_TRUE(extension_->GetExtensionVersion(&version));
    return *extension_;
  }

  void Stop(std::uint32_t flags = QX_TERM_MUST_UNLOAD) {
    if (!extension_) return;
    extension_->TerminateExtension(flags);
    extension_.reset();
  }

  void TearDown() override { Stop(); }

  // The records collected so far, texts only.
  static std::vector<std::string> RecordTexts() {
    std::vector<std::string> texts;
    if (const auto list = diag::CurrentDiagList()) {
      for (const auto& entry : list->Snapshot()) texts.push_back(entry.text);
    }
    return texts;
  }

  // Most tests have no back end: the diagnostics thread's last report would
  // wait for the pool's ten seconds.
  static diag::DiagThread::Timing QuietDiagTiming() {
    diag::DiagThread::Timing timing;
    timing.firstDelay = std::chrono::hours(1);  // no heartbeat unless a test asks
    timing.finalReport = false;
    return timing;
  }

  TempDir dir_;
  diag::DiagThread::Timing diag_timing_ = QuietDiagTiming();
  std::unique_ptr<Extension> extension_;
};

// The same, with a vekacs-sim of the test's own as back end.
template <typename Extension = CRAVOExtension>
class SimExtensionFixture : public ExtensionFixture<Extension> {
 protected:
  void SetUp() override { ASSERT_TRUE(sim_.ready()) << sim_.process().Output(); }
  void TearDown() override {
    ExtensionFixture<Extension>::TearDown();
    EXPECT_EQ(sim_.Stop(), 0);
  }
  SimProcess sim_;
};
