#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "isapi/httpext.h"
#include "support/FakeControlBlock.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"

namespace {

TEST(ModuleTest, LoadsFromItsFolderAnswersAndStops) {
  TempDir dir;
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  std::filesystem::copy_file(QUORVIX_MODULE_PATH, dir.path() + "quorvix.so");
  dir.Write("RAVO.ini", sim.IniSettings(1, 2) + "DebugOutput=1\n");

  void* module = dlopen((dir.path() + "quorvix.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto start = reinterpret_cast<QX_GetExtensionVersionFn>(dlsym(module, "GetExtensionVersion"));
  auto handle = reinterpret_cast<QX_HttpExtensionProcFn>(dlsym(module, "HttpExtensionProc"));
  auto stop = reinterpret_cast<QX_TerminateExtensionFn>(dlsym(module, "TerminateExtension"));
  auto stats = reinterpret_cast<QX_PoolStatsEntryFn>(dlsym(module, "GetPoolStatsEntry"));
  ASSERT_TRUE(start && handle && stop && stats);

  QX_VERSION_INFO version{};
  EXPECT_TRUE(start(&version));
  EXPECT_EQ(version.dwExtensionVersion, 0x00060000u);
  EXPECT_STREQ(version.lpszExtensionDesc, "TALVERO ISAPI Extension");

  auto request = FakeRequest::Get("varUserRequest=REQ_NO_SUCH_THING");
  EXPECT_EQ(handle(request.ecb()), static_cast<std::uint32_t>(QX_STATUS_SUCCESS));
  EXPECT_EQ(request.status(), 200u);
  // The error page went out as 200; only the module's counts tell.
  auto error_pages = reinterpret_cast<QX_ErrorPageCountsEntryFn>(dlsym(module, "GetErrorPageCountsEntry"));
  ASSERT_NE(error_pages, nullptr);
  QX_ERROR_PAGE_COUNT counts[QX_ERROR_PAGE_CODES_KEPT + 1]{};
  ASSERT_EQ(error_pages(counts, QX_ERROR_PAGE_CODES_KEPT + 1), 1u);
  EXPECT_STREQ(counts[0].code, "1010");
  EXPECT_EQ(counts[0].count, 1u);
  EXPECT_STREQ(request.ecb()->lpszLogData, "1010") << "for the host's access log";

  auto ssl_stats = reinterpret_cast<QX_PoolStatsEntryFn>(dlsym(module, "GetSSLPoolStatsEntry"));
  unsigned char buffer[64];
  std::memset(buffer, 0x5A, sizeof buffer);
  ssl_stats(buffer);
  EXPECT_EQ(buffer[0], 0x5A) << "no TLS pool";
  stats(buffer);
  EXPECT_EQ(buffer[52] | buffer[53] << 8, 10000) << "the plain pool's block: nothing lent yet";

  EXPECT_TRUE(stop(QX_TERM_MUST_UNLOAD));
  EXPECT_EQ(dlclose(module), 0);
  EXPECT_EQ(sim.Stop(), 0);

  const auto trace = dir.Read("debug.txt");
  EXPECT_NE(trace.find(" ISAPI DLL started at "), std::string::npos) << trace;
  EXPECT_NE(trace.find(" from " + dir.path() + "\n"), std::string::npos) << "module path via the loader";
  EXPECT_NE(trace.find("the server is about to unload the extension, which cannot refuse.\n"),
            std::string::npos);
  EXPECT_NE(trace.find("\nRegular Socket Pool Statistics\n----------------------\n"), std::string::npos)
      << "statistics written at stop";
}

}  // namespace
