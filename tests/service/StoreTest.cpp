// What every store must do, whatever holds it: the same cases run against each implementation.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "core/FakePlatform.h"
#include "service/Published.h"
#include "service/StoreTest.h"

namespace vettrix::service {

namespace {

Submission Device(std::string tac, std::string model, std::int64_t received = 1000) {
  return {0, std::move(tac), "Acme", std::move(model), "a box", "", Status::Pending, received};
}

}  // namespace

TEST_P(StoreTest, SubmissionsAreKeptOnceAndDecidedOnce) {
  Store& store = Open();
  const Store::Stored first = store.Submit(Device("11111111", "One"));
  const Store::Stored second = store.Submit(Device("22222222", "Two"));
  EXPECT_TRUE(first.isNew && second.isNew);
  EXPECT_LT(first.id, second.id);
  const Store::Stored again = store.Submit(Device("11111111", "One"));
  EXPECT_EQ(again.id, first.id);
  EXPECT_FALSE(again.isNew);
  EXPECT_TRUE(store.Submit(Device("11111111", "Other name")).isNew);

  EXPECT_EQ(store.Decide(first.id, Status::Accepted), Store::Review::Done);
  EXPECT_EQ(store.Decide(first.id, Status::Rejected), Store::Review::AlreadyDecided);
  EXPECT_EQ(store.Decide(999'999, Status::Rejected), Store::Review::NotFound);
  // Decided, the same device may come again.
  EXPECT_TRUE(store.Submit(Device("11111111", "One")).isNew);

  const std::optional<Submission> found = store.Find(first.id);
  ASSERT_TRUE(found);
  EXPECT_EQ(std::tuple(found->tac, found->manufacturer, found->model, found->source, found->status,
                       found->received),
            std::tuple("11111111", "Acme", "One", "a box", Status::Accepted, 1000));
  EXPECT_FALSE(store.Find(999'999));
  EXPECT_EQ(store.List(std::nullopt).size(), 4u);
  EXPECT_EQ(store.List(Status::Accepted).size(), 1u);
  EXPECT_EQ(store.List(Status::Pending).size(), 3u);
  EXPECT_EQ(store.List(Status::Pending).front().id, second.id);  // in the order received
  // Texts are kept byte for byte.
  Submission odd = Device("33333333", "\xC3\xBC\r\n'\"; DROP TABLE submissions;--");
  odd.note = std::string("a\0b", 3);
  const Store::Stored stored = store.Submit(odd);
  EXPECT_EQ(store.Find(stored.id)->model, odd.model);
  EXPECT_EQ(store.Find(stored.id)->note, odd.note);
}

TEST_P(StoreTest, AnAddressIsAdmittedSoOftenWithinAnHour) {
  Store& store = Open();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(*store.Admit("192.0.2.1", 10'000 + i * 100, 3), i + 1);
  EXPECT_EQ(store.Admit("192.0.2.1", 10'300, 3).error().wait, 3600 - 300);
  EXPECT_EQ(*store.Admit("192.0.2.2", 10'300, 3), 1);
  EXPECT_EQ(store.Admit("192.0.2.1", 13'599, 3).error().wait, 1);
  EXPECT_EQ(*store.Admit("192.0.2.1", 13'600, 3), 3);  // the first attempt is an hour old
}

TEST_P(StoreTest, APublicationIsFoundWholeAndOnlyWhenNew) {
  Store& store = Open();
  ASSERT_TRUE(store.Publish("first\r\n", 1'000, [](auto) { return Result<void>(); }));
  std::optional<Publication> first = store.Newer({});
  ASSERT_TRUE(first);
  EXPECT_EQ(first->bytes, "first\r\n");
  EXPECT_FALSE(store.Newer(first->id));
  ASSERT_TRUE(store.Publish("second\r\n", 2'000, [](auto) { return Result<void>(); }));
  const std::optional<Publication> second = store.Newer(first->id);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->bytes, "second\r\n");
  EXPECT_FALSE(second->id == first->id);
  EXPECT_GE(second->published, first->published);
}

TEST_P(StoreTest, OfConcurrentPublishesTheNewestWinsAndNoneGoesBack) {
  // Rounds of eight operators who publish at once, each through a store of their own.
  for (int round = 1; round <= 3; ++round) {
    std::vector<std::string> faults(8);
    std::vector<std::thread> threads;
    for (int n = 0; n < 8; ++n)
      threads.emplace_back([&, n] {
        const std::string version = "v1.00." + std::to_string(1000 + round * 10 + n);
        faults[static_cast<std::size_t>(n)] = FaultOf(PublishDatabase(
            *Another(), "35209900,Alcatel,One\r\nVERSION_," + version + ",x\r\n", false, 1'000));
      });
    for (std::thread& t : threads) t.join();
    const auto newest = MakePublished(*Open().Newer({}));
    ASSERT_TRUE(newest) << newest.error();
    EXPECT_EQ((*newest)->versionText, "v1.00." + std::to_string(1000 + round * 10 + 7));
    EXPECT_EQ(faults[7], "");
    for (const std::string& refused : faults) {
      if (!refused.empty()) {
        EXPECT_NE(refused.find("is not newer than the published"), std::string::npos) << refused;
      }
    }
  }
}

TEST_P(StoreTest, ConcurrentSubmissionsAreAllKeptUnderTheirOwnNumbers) {
  Store& store = Open();
  std::vector<std::thread> threads;
  std::vector<std::vector<std::int64_t>> ids(4);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i)
        ids[static_cast<std::size_t>(t)].push_back(
            store.Submit(Device(std::to_string(10'000'000 + t * 100 + i), "M")).id);
    });
  for (std::thread& t : threads) t.join();
  std::set<std::int64_t> unique;
  for (const auto& list : ids) unique.insert(list.begin(), list.end());
  EXPECT_EQ(unique.size(), 100u);
  const std::vector<Submission> listed = store.List(std::nullopt);
  EXPECT_EQ(listed.size(), 100u);
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end(),
                             [](const auto& a, const auto& b) { return a.id < b.id; }));
}

TEST_P(StoreTest, WhatWasCommittedIsThereWhenTheStoreOpensAgain) {
  const std::int64_t id = Open().Submit(Device("44444444", "Kept")).id;
  Reopen();
  ASSERT_TRUE(Open().Find(id));
  EXPECT_EQ(Open().Find(id)->model, "Kept");
}

}  // namespace vettrix::service
