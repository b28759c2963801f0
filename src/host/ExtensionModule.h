// The loaded extension module and its entry points.
#pragma once

#include <memory>
#include <string>

#include "isapi/httpext.h"

namespace host {

class ExtensionModule {
 public:
  // Loads path; on failure returns null and sets error to a one-line reason.
  static std::unique_ptr<ExtensionModule> Load(const std::string& path, std::string& error);
  ~ExtensionModule();
  ExtensionModule(const ExtensionModule&) = delete;
  ExtensionModule& operator=(const ExtensionModule&) = delete;

  const std::string& FileName() const { return file_name_; }

  QX_GetExtensionVersionFn GetExtensionVersion = nullptr;
  QX_HttpExtensionProcFn HttpExtensionProc = nullptr;
  QX_TerminateExtensionFn TerminateExtension = nullptr;
  // Optional: null when the module does not export them.
  QX_PoolStatsEntryFn GetPoolStatsEntry = nullptr;
  QX_PoolStatsEntryFn GetSSLPoolStatsEntry = nullptr;
  QX_HeartbeatStatusEntryFn GetHeartbeatStatusEntry = nullptr;
  QX_ErrorPageCountsEntryFn GetErrorPageCountsEntry = nullptr;
  // Optional: reopens the module's own log files by their names, so that
  // log rotation can rename them; 0 when one could not be reopened. Null
  // when the module has no such export.
  int (*ReopenTraceFile)() = nullptr;

 private:
  explicit ExtensionModule(void* handle) : handle_(handle) {}
  void* handle_;
  std::string file_name_;
};

}  // namespace host
