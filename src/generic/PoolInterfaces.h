// The interfaces of the generic object pool: how objects are made and
// disposed of, and what a pool offers its borrowers.
#pragma once

#include <memory>

#include "net/PoolStatistics.h"

namespace Generic {

// Bounds of a pool. Owned by whoever builds the pool and outlives it.
class PoolOptions {
 public:
  virtual ~PoolOptions() = default;
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
  // Null after about ten seconds without an object. from_back: take the least
  // recently used object instead of the most recent one.
  virtual T* Get(bool from_back) = 0;
  [[nodiscard]] virtual bool Free(T* object) = 0;
  [[nodiscard]] virtual bool Fail(T* object) = 0;
  virtual PoolStatisticsBlock GetStats() const = 0;
};

template <typename Object, typename Factory>
struct PoolType {
  using ObjectType = Object;
  using FactoryType = Factory;
};

}  // namespace Generic
