#include "service/Published.h"

#include <cassert>
#include <new>
#include <stdexcept>
#include <utility>

#include "db/Database.h"
#include "service/Digest.h"
#include "service/Http.h"
#include "service/Log.h"
#include "update/UpdateDatabase.h"

namespace vettrix::service {

Result<std::shared_ptr<const Published>> MakePublished(Publication publication) {
  auto next = std::make_shared<Published>();
  next->id = publication.id;
  const bool truncated = next->table.Assign(std::move(publication.bytes));
  if (Result<void> usable = CheckDatabase(next->table, truncated); !usable)
    return Fail(std::move(usable).error());
  next->sha256 = Sha256Hex(next->table.Contents());
  next->etag = "\"" + next->sha256 + "\"";
  next->versionText = VersionTextOf(next->table.Line(next->table.LineCount()));
  next->versionNumber = VersionNumberOf(next->versionText);
  next->devices = next->table.LineCount() - 1;
  next->published = publication.published;
  next->lastModified = HttpDate(publication.published);
  next->publishedText = Rfc3339(publication.published);
  return std::shared_ptr<const Published>(std::move(next));
}

Result<void> MayReplace(const Published& next, const Published* current, bool force) {
  if (current == nullptr || force) return {};
  const auto version = VersionOrder(next.versionText);
  const auto published = VersionOrder(current->versionText);
  if (version && published && *version > *published) return {};
  return Fail("its version " + next.versionText + " (" + next.versionNumber +
              ") is not newer than the published " + current->versionText + " (" +
              current->versionNumber + "); --force publishes it all the same");
}

Result<std::shared_ptr<const Published>> PublishDatabase(Store& store, std::string bytes,
                                                         bool force, std::int64_t now) {
  // What a client cannot install is of no use published.
  if (std::cmp_greater(bytes.size(), kDatabaseMaxBytes))
    return Fail("it has " + std::to_string(bytes.size()) + " bytes, more than the " +
                std::to_string(kDatabaseMaxBytes >> 20) +
                " MiB that vettrix and vettrix-cli install");
  Result<std::shared_ptr<const Published>> next = MakePublished({{}, std::move(bytes), now});
  if (!next) return Fail("not a database: " + next.error());
  Result<void> published = store.Publish(
      (*next)->table.Contents(), now, [&](std::optional<Publication> publication) -> Result<void> {
        if (!publication || force) return {};
        const auto current = MakePublished(std::move(*publication));
        if (!current)
          return Fail("the published database cannot be read as one (" + current.error() +
                      "); --force publishes it all the same");
        return MayReplace(**next, current->get(), force);
      });
  if (!published) return Fail(std::move(published).error());
  return next;
}

Snapshots::Snapshots(Store& store) : store_(store) {
  std::optional<Publication> publication;
  try {
    publication = store.Newer({});
  } catch (const StoreError& e) {
    throw std::runtime_error(std::string("the published database cannot be read: ") + e.what());
  }
  if (!publication) throw std::runtime_error("no published database");
  const PublicationId id = publication->id;
  auto serving = MakePublished(std::move(*publication));
  if (!serving) throw std::runtime_error("the published database cannot serve: " + serving.error());
  state_.store(std::make_shared<const State>(State{std::move(*serving), id, {}}));
}

Snapshots::~Snapshots() {
  {
    std::lock_guard lock(wake_);
    stopping_ = true;
  }
  poked_.notify_all();
  announcements_.reset();  // its thread joined: it pokes no more
  if (looker_.joinable()) looker_.join();
}

std::shared_ptr<const Published> Snapshots::Current() {
  const std::shared_ptr<const State> state = state_.load();
  assert(state->serving != nullptr);  // from the constructor on, something always serves
  if (watching_ && store_.MayHaveChanged(state->examined)) Poke();
  return state->serving;
}

void Snapshots::Poke() {
  {
    std::lock_guard lock(wake_);
    wanted_ = true;
  }
  poked_.notify_one();
}

void Snapshots::Watch(std::chrono::milliseconds every) {
  assert(!looker_.joinable());  // one looker, stopped by the destructor
  watching_ = true;
  announcements_ = store_.WatchPublications([this] { Poke(); });
  looker_ = std::thread([this, every] { Look(every); });
}

void Snapshots::Look(std::chrono::milliseconds every) {
  std::unique_lock lock(wake_);
  while (!stopping_) {
    poked_.wait_for(lock, every, [this] { return wanted_ || stopping_; });
    if (stopping_) break;
    wanted_ = false;
    lock.unlock();
    try {
      Refresh();
    } catch (const std::exception& e) {
      // Out of memory, most likely: the database served goes on being served.
      Log(std::string("a look for a new database failed: ") + e.what());
    }
    lock.lock();
  }
}

void Snapshots::Refresh() {
  // Looked at again next time, when memory may be found.
  static constexpr std::string_view kNoMemory =
      "a new database was published but there is not memory enough to load it";
  std::lock_guard lock(refresh_);
  const std::shared_ptr<const State> state = state_.load();
  std::optional<Publication> newer;
  std::string problem;
  try {
    newer = store_.Newer(state->examined);
  } catch (const StoreError& e) {
    problem = e.what();
  } catch (const std::bad_alloc&) {
    problem = kNoMemory;
  }
  if (!newer && (problem.empty() || problem == state->problem)) return;
  State next{state->serving, newer ? newer->id : state->examined, problem};
  if (newer) {
    std::optional<Result<std::shared_ptr<const Published>>> published;
    try {
      published.emplace(MakePublished(std::move(*newer)));
    } catch (const std::bad_alloc&) {
      next.examined = state->examined;
      next.problem = kNoMemory;
    }
    if (published && *published) {
      next.serving = std::move(**published);
      Log("serving the database " + next.serving->versionText + " (" +
          std::to_string(next.serving->devices) + " devices)");
    } else if (published) {
      next.problem = "a new database was published but cannot serve: " + published->error();
    }
  }
  if (!next.problem.empty() && next.problem != state->problem)
    Log(next.problem + "; still serving " + next.serving->versionText);
  state_.store(std::make_shared<const State>(std::move(next)));
}

}  // namespace vettrix::service
