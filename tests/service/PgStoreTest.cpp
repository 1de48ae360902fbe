// The store suite on PostgreSQL: a database of its own per test in the test cluster that
// tools/pg-test-cluster starts (see tests/CMakeLists.txt), reached over TCP with a password.

#include <libpq-fe.h>

#include <fstream>
#include <iterator>
#include <random>

#include "service/PgStore.h"
#include "service/StoreTest.h"

namespace vettrix::service {
namespace {

std::string Read(const std::string& name) {
  std::ifstream in(std::string(VETTRIX_TEST_POSTGRES) + "/" + name);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// Runs `sql` as the cluster's superuser.
void AsSuperuser(const std::string& sql) {
  PGconn* connection = PQconnectdb(Read("uri").c_str());
  ASSERT_EQ(PQstatus(connection), CONNECTION_OK) << PQerrorMessage(connection);
  PGresult* result = PQexec(connection, sql.c_str());
  EXPECT_NE(PQresultStatus(result), PGRES_FATAL_ERROR) << PQresultErrorMessage(result);
  PQclear(result);
  PQfinish(connection);
}

// A database of its own, migrated, dropped when the last store maker over it goes.
struct PgDatabase {
  PgDatabase() {
    name = "store_" + std::to_string(std::random_device{}());
    AsSuperuser("CREATE DATABASE " + name + " OWNER vettrix");
    const std::string tcp = Read("tcp-uri");
    address = tcp.substr(0, tcp.rfind('/') + 1) + name;
    PgStore(address, Read("password"), true).Migrate();
  }
  ~PgDatabase() { AsSuperuser("DROP DATABASE " + name + " WITH (FORCE)"); }
  std::unique_ptr<Store> Make() const {
    return std::make_unique<PgStore>(address, Read("password"));
  }
  std::string name, address;
};

StoreMaker PgPlace() {
  auto database = std::make_shared<PgDatabase>();
  return [database] { return database->Make(); };
}
INSTANTIATE_TEST_SUITE_P(PostgreSQL, StoreTest, ::testing::Values(StoreKind{"PostgreSQL", PgPlace}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PgStoreTest, AConnectionLostBetweenOperationsIsMadeAgainUnnoticed) {
  PgDatabase database;
  const std::unique_ptr<Store> store = database.Make();
  const auto stored = store->Submit({0, "11111111", "Acme", "One", "box", "", Status::Pending, 1});
  // As a server restart does: every connection of the store's is closed under it.
  AsSuperuser("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
              database.name + "'");
  EXPECT_EQ(store->Find(stored.id)->model, "One");
  EXPECT_TRUE(store->Submit({0, "22222222", "Acme", "Two", "box", "", Status::Pending, 1}).isNew);
}

TEST(PgStoreTest, AStoreItCannotUseIsRefusedWithTheReason) {
  const std::string tcp = Read("tcp-uri");
  const std::string host = tcp.substr(0, tcp.rfind('/') + 1);
  const std::string unmigrated = "bare_" + std::to_string(std::random_device{}());
  AsSuperuser("CREATE DATABASE " + unmigrated + " OWNER vettrix");
  const struct {
    std::string address, password, reason;
  } cases[] = {
      {host + "mobidex", "wrong", "password authentication failed"},
      {"postgresql://vettrix@127.0.0.1:1/mobidex", Read("password"), "PostgreSQL is unreachable"},
      {host + unmigrated, Read("password"),
       "the database's schema is at version 0, this program's at 1: run vettrix-service migrate"},
  };
  for (const auto& c : cases) {
    try {
      PgStore store(c.address, c.password);
      ADD_FAILURE() << c.address;
    } catch (const StoreError& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
  }
  AsSuperuser("DROP DATABASE " + unmigrated);
  for (const char* address : {"postgresql://u:secret@h/d", "host=h password=secret"})
    EXPECT_TRUE(HoldsPassword(address)) << address;
  for (const char* address :
       {"postgresql://vettrix@127.0.0.1:5432/mobidex", "host=/run/x dbname=m"})
    EXPECT_FALSE(HoldsPassword(address)) << address;
}

}  // namespace
}  // namespace vettrix::service
