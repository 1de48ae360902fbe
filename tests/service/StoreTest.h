#pragma once

// The store suite: each implementation of the store gives a factory and runs the same cases.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "service/Store.h"

namespace vettrix::service {

// Makes stores over one place (a folder, a database); a store made again sees what the last kept.
using StoreMaker = std::function<std::unique_ptr<Store>()>;

// An implementation: its name, and what makes a place of its own and the maker of stores over it.
struct StoreKind {
  const char* name;
  StoreMaker (*place)();
};

// Why `result` failed, or "" when it did not.
template <typename T>
std::string FaultOf(const Result<T>& result) {
  return result ? std::string() : result.error();
}

class StoreTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  void SetUp() override { make_ = GetParam().place(); }
  Store& Open() {
    if (!store_) store_ = make_();
    return *store_;
  }
  void Reopen() { store_.reset(); }
  // Another store over the same place, as another process would open it.
  std::unique_ptr<Store> Another() { return make_(); }

 private:
  StoreMaker make_;
  std::unique_ptr<Store> store_;
};

}  // namespace vettrix::service
