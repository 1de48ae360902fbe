#pragma once

// The store suite: each implementation of the store gives a factory and runs the same cases.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "service/Store.h"

namespace vettrix::service {

// Makes stores over one place (a folder, a database); a store made again sees what the last kept.
struct StoreFactory {
  virtual ~StoreFactory() = default;
  virtual std::unique_ptr<Store> Make() = 0;
};

struct StoreKind {
  const char* name;
  std::function<std::unique_ptr<StoreFactory>()> factory;
};

// Why `result` failed, or "" when it did not.
template <typename T>
std::string FaultOf(const Result<T>& result) {
  return result ? std::string() : result.error();
}

class StoreTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  void SetUp() override { factory_ = GetParam().factory(); }
  Store& Open() {
    if (!store_) store_ = factory_->Make();
    return *store_;
  }
  void Reopen() { store_.reset(); }
  // Another store over the same place, as another process would open it.
  std::unique_ptr<Store> Another() { return factory_->Make(); }

 private:
  std::unique_ptr<StoreFactory> factory_;
  std::unique_ptr<Store> store_;
};

}  // namespace vettrix::service
