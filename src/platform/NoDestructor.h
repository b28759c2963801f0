// Storage for a module-wide object that must stay usable until the very end
// of the process or module: it is built on first use and never destroyed, so
// other statics may still reach it from their destructors. It lives in static
// storage, so unloading the module frees it with the module.
#pragma once

#include <new>
#include <utility>

namespace platform {

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T& operator*() { return *std::launder(reinterpret_cast<T*>(storage_)); }
  T* operator->() { return &**this; }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace platform
