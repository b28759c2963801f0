// A factory of numbered objects for pool tests: it can be told to fail, and
// it counts what it made and what came back to it.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include <stdexcept>
#include <thread>

#include "generic/Pool.h"

struct Widget {
  int serial;
};

class FakeFactory : public Generic::FactoryInterface<Widget> {
 public:
  std::unique_ptr<Widget> Create() override {
    ++attempts;
    std::this_thread::sleep_for(create_time.load());  // a back end slow to answer
    if (!available) return nullptr;
    if (throw_on_create) throw std::runtime_error("cannot create");
    ++created;
    return std::make_unique<Widget>(Widget{created.load()});
  }
  void Destroy(std::unique_ptr<Widget> widget) override {
    if (widget) ++destroyed;
  }
  std::atomic<bool> available{true};
  std::atomic<bool> throw_on_create{false};
  std::atomic<std::chrono::milliseconds> create_time{std::chrono::milliseconds(0)};
  std::atomic<int> attempts{0};  // every call, whether it made one or not
  std::atomic<int> created{0};
  std::atomic<int> destroyed{0};
};

using WidgetPool = Generic::Pool<Generic::PoolType<Widget>>;
