#include "host/ExtensionModule.h"

#include <dlfcn.h>

namespace host {

std::unique_ptr<ExtensionModule> ExtensionModule::Load(const std::string& path, std::string& error) {
  // A path without a slash would make the loader search the library path.
  const std::string load_path = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(load_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = "cannot load module " + path + ": " + (reason != nullptr ? reason : "unknown error");
    return nullptr;
  }
  std::unique_ptr<ExtensionModule> module(new ExtensionModule(handle));
  module->GetExtensionVersion =
      reinterpret_cast<QX_GetExtensionVersionFn>(dlsym(handle, "GetExtensionVersion"));
  module->HttpExtensionProc =
      reinterpret_cast<QX_HttpExtensionProcFn>(dlsym(handle, "HttpExtensionProc"));
  module->TerminateExtension =
      reinterpret_cast<QX_TerminateExtensionFn>(dlsym(handle, "TerminateExtension"));
  module->GetPoolStatsEntry = reinterpret_cast<QX_PoolStatsEntryFn>(dlsym(handle, "GetPoolStatsEntry"));
  module->GetSSLPoolStatsEntry = reinterpret_cast<QX_PoolStatsEntryFn>(dlsym(handle, "GetSSLPoolStatsEntry"));
  module->GetHeartbeatStatusEntry =
      reinterpret_cast<QX_HeartbeatStatusEntryFn>(dlsym(handle, "GetHeartbeatStatusEntry"));
  module->GetErrorPageCountsEntry =
      reinterpret_cast<QX_ErrorPageCountsEntryFn>(dlsym(handle, "GetErrorPageCountsEntry"));
  module->ReopenTraceFile = reinterpret_cast<int (*)()>(dlsym(handle, "ReopenTraceFile"));
  std::string missing;
  if (!module->GetExtensionVersion) missing += " GetExtensionVersion";
  if (!module->HttpExtensionProc) missing += " HttpExtensionProc";
  if (!module->TerminateExtension) missing += " TerminateExtension";
  if (!missing.empty()) {
    error = "module " + path + " lacks the entry point(s)" + missing;
    return nullptr;
  }
  const auto slash = path.find_last_of('/');
  module->file_name_ = slash == std::string::npos ? path : path.substr(slash + 1);
  return module;
}

ExtensionModule::~ExtensionModule() { dlclose(handle_); }

}  // namespace host
