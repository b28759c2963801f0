// The whole product as a test drives it from outside: vekacs-sim, a copy of
// the built site (QUORVIX_SITE_DIR) pointed at it, and quorvix-host serving
// that copy. Each test gets its own three, stopped and checked at its end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/HostProcess.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"

class SiteTest : public ::testing::Test {
 protected:
  // host_options: what the host is started with.
  explicit SiteTest(std::vector<std::string> host_options = {"--no-access-log"})
      : host_options_(std::move(host_options)) {}

  void SetUp() override {
    ASSERT_TRUE(sim_.ready());
    sim_.InstallSite(QUORVIX_SITE_DIR, site_.path());
    PrepareSite();
    host_ = HostProcess::ForSite(site_.path(), host_options_);
    ASSERT_TRUE(host_->ready()) << host_->process().Output();
  }
  void TearDown() override {
    if (host_) {
      EXPECT_EQ(host_->Stop(), 0) << host_->process().Output();
    }
    EXPECT_EQ(sim_.Stop(), 0);
  }

  // Changes to the installed site before the host starts.
  virtual void PrepareSite() {}

  SimProcess sim_;
  TempDir site_;
  std::unique_ptr<HostProcess> host_;

 private:
  std::vector<std::string> host_options_;
};
