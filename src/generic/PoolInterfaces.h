// The interfaces of the generic object pool: how objects are made and
// disposed of, and what a pool offers its borrowers.
#pragma once

#include <memory>
#include <utility>

#include "net/PoolStatistics.h"

namespace Generic {

// Bounds of a pool; the pool keeps a copy.
struct PoolOptions {
  int minPool = 10;
  int maxPool = 20;
};

// Makes and disposes of pooled objects. Create may run on several threads at
// once and may throw; the pool treats a throw like null.
template <typename T>
class FactoryInterface {
 public:
  virtual ~FactoryInterface() = default;
  virtual std::unique_ptr<T> Create() = 0;
  virtual void Destroy(std::unique_ptr<T> object) = 0;
};

// What borrowers see. A borrowed object goes back exactly once, with Free when
// it is fine or Fail when it is suspect; both refuse objects the pool did not
// lend (the caller then still owns it).
template <typename T>
class PoolInterface {
 public:
  virtual ~PoolInterface() = default;
  // Null when no object could be had for ten seconds (a waiter looks every two,
  // so up to twelve, less once the module stops). from_back: take the least
  // recently used object instead of the most recent one.
  virtual T* Get(bool from_back) = 0;
  [[nodiscard]] virtual bool Free(T* object) = 0;
  [[nodiscard]] virtual bool Fail(T* object) = 0;
  virtual PoolStatisticsBlock GetStats() const = 0;
};

// A borrowed object that goes back to its pool exactly once, on every path:
// Release gives it back as sound; anything else (Fail, or the lease ending
// without either) gives it back as broken, since a borrower that did not say
// it is sound may have left it mid-exchange. The lease shares ownership of the
// pool, so the pool lives until its last lent object is back, whoever built it.
template <typename T>
class Lease {
 public:
  Lease() = default;
  Lease(std::shared_ptr<PoolInterface<T>> pool, T* object) : pool_(std::move(pool)), object_(object) {}
  Lease(Lease&& other) noexcept
      : pool_(std::move(other.pool_)), object_(std::exchange(other.object_, nullptr)) {}
  Lease& operator=(Lease&& other) noexcept {
    if (this != &other) {
      GiveBack(false);
      pool_ = std::move(other.pool_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  ~Lease() { GiveBack(false); }

  T* get() const { return object_; }
  T& operator*() const { return *object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Gives the object back as sound or as broken; the lease is empty after.
  // False when the pool refused it (it was never lent by this pool).
  bool Release() { return GiveBack(true); }
  bool Fail() { return GiveBack(false); }

 private:
  bool GiveBack(bool sound) {
    if (object_ == nullptr) return true;
    T* object = std::exchange(object_, nullptr);
    const bool taken = sound ? pool_->Free(object) : pool_->Fail(object);
    pool_.reset();
    return taken;
  }

  std::shared_ptr<PoolInterface<T>> pool_;
  T* object_ = nullptr;
};

// Borrows from pool as a lease; empty when no object could be had.
template <typename T>
Lease<T> Borrow(const std::shared_ptr<PoolInterface<T>>& pool, bool from_back) {
  if (!pool) return {};
  T* object = pool->Get(from_back);
  return object == nullptr ? Lease<T>() : Lease<T>(pool, object);
}

template <typename Object>
struct PoolType {
  using ObjectType = Object;
};

}  // namespace Generic
