// Memory for the handler of one operation at a time, kept by the object the
// operation belongs to (a connection's read, its write; a wait's timer).
// A loop runs one handler per run_one, and Asio's own per-thread cache of
// handler memory lasts only as long as that call, so each operation would
// otherwise cost a malloc and a free. A second operation while the memory is
// in use, or a larger one, gets its memory from the heap as before.
//
// Threads: the loop of the object that keeps it.
#pragma once

#include <cstddef>
#include <new>

namespace host {

class HandlerMemory {
 public:
  HandlerMemory() = default;
  HandlerMemory(const HandlerMemory&) = delete;
  HandlerMemory& operator=(const HandlerMemory&) = delete;

  void* Allocate(std::size_t size) {
    if (!in_use_ && size <= sizeof storage_) {
      in_use_ = true;
      return storage_;
    }
    return ::operator new(size);
  }

  void Deallocate(void* pointer) {
    if (pointer == storage_) {
      in_use_ = false;
    } else {
      ::operator delete(pointer);
    }
  }

 private:
  alignas(std::max_align_t) unsigned char storage_[256];
  bool in_use_ = false;
};

// The allocator Asio takes from a handler bound to it (boost::asio::bind_allocator).
template <typename T>
class HandlerAllocator {
 public:
  using value_type = T;

  explicit HandlerAllocator(HandlerMemory& memory) : memory_(&memory) {}
  template <typename U>
  HandlerAllocator(const HandlerAllocator<U>& other) noexcept : memory_(other.memory_) {}

  T* allocate(std::size_t count) { return static_cast<T*>(memory_->Allocate(sizeof(T) * count)); }
  void deallocate(T* pointer, std::size_t) { memory_->Deallocate(pointer); }

  template <typename U>
  bool operator==(const HandlerAllocator<U>& other) const noexcept {
    return memory_ == other.memory_;
  }

 private:
  template <typename>
  friend class HandlerAllocator;
  HandlerMemory* memory_;
};

}  // namespace host
