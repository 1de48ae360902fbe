#include "service/Published.h"

#include <stdexcept>

#include "db/Mobidex.h"
#include "service/Http.h"
#include "service/Log.h"
#include "service/SqliteStore.h"
#include "update/CheckUpdate.h"

namespace vettrix::service {

std::shared_ptr<const Published> MakePublished(Publication publication, std::string& fault) {
  auto next = std::make_shared<Published>();
  next->id = publication.id;
  const bool truncated = next->table.Assign(std::move(publication.bytes));
  fault = DatabaseFault(next->table, truncated);
  if (!fault.empty()) return nullptr;
  next->sha256 = Sha256Hex(next->table.Contents());
  next->etag = "\"" + next->sha256 + "\"";
  next->versionText = VersionTextOf(next->table.Line(next->table.LineCount()));
  next->versionNumber = VersionNumberOf(next->versionText);
  next->devices = next->table.LineCount() - 1;
  next->published = publication.published;
  next->lastModified = HttpDate(publication.published);
  next->publishedText = Rfc3339(publication.published);
  return next;
}

std::string PublishFault(const Published& next, const Published* current, bool force) {
  if (current == nullptr || force) return {};
  const auto version = DatabaseVersionValue(next.versionNumber);
  const auto published = DatabaseVersionValue(current->versionNumber);
  if (version && published && *version > *published) return {};
  return "its version " + next.versionText + " (" + next.versionNumber +
         ") is not newer than the published " + current->versionText + " (" +
         current->versionNumber + "); --force publishes it all the same";
}

std::string PublishDatabase(Store& store, std::string bytes, bool force, std::int64_t now) {
  std::string fault;
  const auto next = MakePublished({{}, std::move(bytes), now}, fault);
  if (next == nullptr) return "not a database: " + fault;
  std::shared_ptr<const Published> current;
  try {
    if (auto publication = store.Newer({})) current = MakePublished(std::move(*publication), fault);
  } catch (const StoreError&) {
    // Nothing published yet (or nothing readable): anything goes.
  }
  fault = PublishFault(*next, current.get(), force);
  if (!fault.empty()) return fault;
  store.Publish(next->table.Contents(), now);
  return {};
}

Snapshots::Snapshots(Store& store) : store_(store) {
  std::optional<Publication> publication;
  try {
    publication = store.Newer({});
  } catch (const StoreError& e) {
    throw std::runtime_error(std::string("no published database: ") + e.what());
  }
  if (!publication) throw std::runtime_error("no published database");
  const PublicationId id = publication->id;
  std::string fault;
  auto serving = MakePublished(std::move(*publication), fault);
  if (serving == nullptr) throw std::runtime_error("the published database cannot serve: " + fault);
  state_.store(std::make_shared<const State>(State{std::move(serving), id, {}}));
}

std::shared_ptr<const Published> Snapshots::Current() {
  std::shared_ptr<const State> state = state_.load();
  if (!store_.MayHaveChanged(state->examined)) return state->serving;

  // One request reads the new publication; the others wait for it rather than read it too.
  std::lock_guard lock(reload_);
  state = state_.load();
  std::optional<Publication> newer;
  std::string problem;
  try {
    newer = store_.Newer(state->examined);
  } catch (const StoreError& e) {
    problem = e.what();
  }
  if (!newer && (problem.empty() || problem == state->problem)) return state->serving;
  State next{state->serving, newer ? newer->id : state->examined, problem};
  if (newer) {
    std::string fault;
    auto published = MakePublished(std::move(*newer), fault);
    if (published != nullptr) {
      next.serving = std::move(published);
      Log("serving the database " + next.serving->versionText + " (" +
          std::to_string(next.serving->devices) + " devices)");
    } else {
      next.problem = "a new database was published but cannot serve: " + fault;
    }
  }
  if (!next.problem.empty() && next.problem != state->problem)
    Log(next.problem + "; still serving " + next.serving->versionText);
  state_.store(std::make_shared<const State>(std::move(next)));
  return state_.load()->serving;
}

}  // namespace vettrix::service
