#include <gtest/gtest.h>

#include <cstring>

#include "diag/TraceLog.h"
#include "net/Winsock.h"
#include "support/ExtensionFixture.h"

namespace {

using LifecycleTest = ExtensionFixture<>;

TEST_F(LifecycleTest, VersionRecordCarriesVersionSixAndTheDescription) {
  CRAVOExtension extension(dir_.path() + "quorvix.so");
  extension.SetDiagTiming(QuietDiagTiming());
  QX_VERSION_INFO version;
  std::memset(&version, 'x', sizeof version);
  EXPECT_TRUE(extension.GetExtensionVersion(&version));
  EXPECT_EQ(version.dwExtensionVersion, 0x00060000u);
  EXPECT_STREQ(version.lpszExtensionDesc, "TALVERO ISAPI Extension");
  EXPECT_TRUE(extension.TerminateExtension(QX_TERM_MUST_UNLOAD));
}

TEST_F(LifecycleTest, StopWritesOneLinePerKindOfFlagAndClosesTheTrace) {
  for (const std::uint32_t flags : {1u, 2u, 7u}) {
    Start("[VEKASETTINGS]\nDebugOutput=1\n");
    Stop(flags);
    EXPECT_FALSE(diag::TraceOn());
  }
  const auto trace = dir_.Read("debug.txt");
  EXPECT_NE(trace.find("\nCRAVOExtension::TerminateExtension: the server wants to unload the "
                       "extension,which can return false if the server should not unload the "
                       "extension; \n"),
            std::string::npos);
  EXPECT_NE(trace.find("\nCRAVOExtension::TerminateExtension: the server is about to unload the "
                       "extension, which cannot refuse.\n"),
            std::string::npos);
  EXPECT_NE(trace.find("\nCRAVOExtension::TerminateExtension: TerminateExtension called. dwFlag =7\n"),
            std::string::npos);
}

TEST_F(LifecycleTest, StartTracesThePoolsItNeeds) {
  Start("[VEKASETTINGS]\nDebugOutput=1\nPort=4000\nMinSockets=2\nMaxSockets=3\n");
  Stop();
  auto trace = dir_.Read("debug.txt");
  EXPECT_NE(trace.find(" CRAVOExtension::GetExtensionVersion: Starting non-SSL socket pool\n"),
            std::string::npos);
  EXPECT_NE(trace.find(" CRAVOExtension::GetExtensionVersion: non-SSL socket pool parms: port=4000, "
                       "minsockets=2, maxsockets=3\n"),
            std::string::npos);
  EXPECT_EQ(trace.find("Starting SSL socket pool"), std::string::npos);

  dir_.Write("debug.txt", "");
  Start("[VEKASETTINGS]\nDebugOutput=1\nSSLPort=4001\nChatUsesSSL=true\nCallbackUsesSSL=true\n"
        "VoiceXMLUsesSSL=true\n");
  Stop();
  trace = dir_.Read("debug.txt");
  EXPECT_EQ(trace.find("non-SSL"), std::string::npos) << "all services use TLS";
  EXPECT_NE(trace.find(" CRAVOExtension::GetExtensionVersion: SSL socket pool parms: port=4001, "
                       "minsockets=100, maxsockets=200\n"),
            std::string::npos);
  EXPECT_NE(trace.find(" CRAVOExtension::GetExtensionVersion: pool created! \n"), std::string::npos);
}

TEST_F(LifecycleTest, NetworkIsStartedByThePlainPoolAndTheTlsLayerAndReleasedAtUnload) {
  const int before = net::NetworkStartCount();
  Start("[VEKASETTINGS]\nChatUsesSSL=true\n");
  EXPECT_EQ(net::NetworkStartCount(), before + 2);
  Stop();
  EXPECT_EQ(net::NetworkStartCount(), before);
  Start("[VEKASETTINGS]\nChatUsesSSL=true\nCallbackUsesSSL=true\nVoiceXMLUsesSSL=true\n");
  EXPECT_EQ(net::NetworkStartCount(), before + 1) << "only the TLS layer starts it";
  Stop();
  EXPECT_EQ(net::NetworkStartCount(), before);
}

TEST_F(LifecycleTest, DiagnosticsCollectFromStartAndStopAtStop) {
  Start("[DIAGSETTINGS]\nTHRESHOLD=103\n");
  ASSERT_TRUE(diag::DiagEnabled());
  ASSERT_NE(diag::CurrentDiagList(), nullptr);
  EXPECT_EQ(diag::CurrentDiagList()->MinimumLevel(), 103);
  auto request = FakeRequest::Get("varUserRequest=nothing");
  extension_->HttpExtensionProc(request.ecb());
  const auto records = RecordTexts();
  EXPECT_NE(std::find(records.begin(), records.end(), "CRAVOExtension::CallFunction entering"),
            records.end());
  EXPECT_NE(std::find(records.begin(), records.end(), "CRAVOExtension::ExtractWebVar leaving"),
            records.end());
  extension_->TerminateExtension(QX_TERM_MUST_UNLOAD);
  EXPECT_FALSE(diag::DiagEnabled());
  EXPECT_EQ(diag::AddDiag(106, "after stop", "ISAPI", 1), 0);
  extension_.reset();
  EXPECT_EQ(diag::CurrentDiagList(), nullptr);
}

TEST_F(LifecycleTest, RequestIdsFollowTheStartTime) {
  const auto before = static_cast<std::uint32_t>(std::time(nullptr));
  auto& extension = Start();
  const auto first = extension.NextRequestId();
  EXPECT_GE(first, before + 1);
  EXPECT_LE(first, static_cast<std::uint32_t>(std::time(nullptr)) + 1);
  EXPECT_EQ(extension.NextRequestId(), first + 1);
  EXPECT_EQ(extension.VersionString(), "10.04.00.0009");
}

TEST_F(LifecycleTest, StatisticsExportsCopyAFreshBlockOrLeaveTheBufferAlone) {
  // No back end listens on port 1: the plain pool exists but stays empty.
  auto& extension = Start("[VEKASETTINGS]\nAddress=127.0.0.1\nPort=1\nMinSockets=1\n");
  unsigned char buffer[64];
  std::memset(buffer, 0xAB, sizeof buffer);
  extension.CopyPoolStatistics(true, buffer);
  for (const auto byte : buffer) ASSERT_EQ(byte, 0xAB) << "no TLS pool: untouched";
  extension.CopyPoolStatistics(false, buffer);
  PoolStatisticsBlock block;
  std::memcpy(&block, buffer, sizeof block);
  EXPECT_EQ(block.retrieved, 0);
  EXPECT_EQ(block.reserved, 0);
  EXPECT_EQ(block.minAvailable, 10000);
  EXPECT_EQ(block.firstTime, 0);
  EXPECT_EQ(CRAVOExtension::Instance(), &extension);
}

}  // namespace
