#include "platform/ModulePath.h"

#include <dlfcn.h>

namespace platform {

std::string ModuleFileName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&ModuleFileName), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  return info.dli_fname;
}

}  // namespace platform
