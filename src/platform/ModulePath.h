// Where the module lives on disk.
#pragma once

#include <string>

namespace platform {

// Full path of the shared object (or executable) that contains this code, as
// the dynamic loader knows it; empty when the loader cannot tell.
std::string ModuleFileName();

}  // namespace platform
