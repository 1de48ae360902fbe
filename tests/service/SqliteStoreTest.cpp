// The store suite on SQLite and a folder.

#include "core/FakePlatform.h"
#include "service/SqliteStore.h"
#include "service/StoreTest.h"

namespace vettrix::service {
namespace {

struct SqliteFactory : StoreFactory {
  test::TempFolder folder;
  std::unique_ptr<Store> Make() override { return std::make_unique<SqliteStore>(folder.str()); }
};

INSTANTIATE_TEST_SUITE_P(Sqlite, StoreTest,
                         ::testing::Values(StoreKind{
                             "SQLite",
                             [] { return std::unique_ptr<StoreFactory>(new SqliteFactory); }}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vettrix::service
