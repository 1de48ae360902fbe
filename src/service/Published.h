#pragma once

// The published device database as the service serves it: an immutable snapshot of the file's
// bytes, its digest, its table and its version. A publication replaces the snapshot as a whole;
// a request holds the one it started with, so no answer mixes two versions and no reader waits.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/DeviceTable.h"
#include "seam/Result.h"
#include "service/Store.h"

namespace vettrix::service {

struct Published {
  PublicationId id;
  DeviceTable table;          // its Contents() are the bytes published
  std::string sha256;         // of the bytes, hexadecimal
  std::string etag;           // strong, from the digest
  std::string versionText;    // "v1.26.1206"
  std::string versionNumber;  // "1261206", as the window forms it
  int devices = 0;
  std::int64_t published = 0;
  std::string lastModified;   // HTTP date of `published`
  std::string publishedText;  // RFC 3339
};

// The publication read as a database and checked, or why it is none.
Result<std::shared_ptr<const Published>> MakePublished(Publication publication);

// Whether `next` may replace `current` (null: nothing published yet), or why not: its version
// must be newer (the first digit of its version text, then its version number), unless `force`.
Result<void> MayReplace(const Published& next, const Published* current, bool force);

// Checks `bytes` (a database, no larger than the clients install) and publishes them in `store`,
// in one step with the check against what is published: what it published, or why it refused.
Result<std::shared_ptr<const Published>> PublishDatabase(Store& store, std::string bytes,
                                                         bool force, std::int64_t now);

// Whatever the store has published. Requests take the snapshot being served and never wait: a
// new publication is read, checked and hashed in the background, and served once it is whole.
class Snapshots {
 public:
  // Loads the store's publication; throws std::runtime_error with the reason when there is none
  // that serves.
  explicit Snapshots(Store& store);
  // Stops the watch before anything it uses goes.
  ~Snapshots();
  Snapshots(const Snapshots&) = delete;
  Snapshots& operator=(const Snapshots&) = delete;

  // The newest publication that serves (a newer one that does not is logged and passed over).
  std::shared_ptr<const Published> Current();
  // Looks for a newer publication now, on the caller's thread, and serves it when it serves.
  void Refresh();
  // Looks in the background from now on: when the store announces a publication, when a request
  // finds one may have been made, and every `every` whatever the announcements do.
  void Watch(std::chrono::milliseconds every);

 private:
  struct State {
    std::shared_ptr<const Published> serving;
    PublicationId examined;  // the newest publication looked at, served or not
    std::string problem;     // why it is not served, when it is not
  };
  void Look(std::chrono::milliseconds every);
  void Poke();

  Store& store_;
  std::atomic<std::shared_ptr<const State>> state_;
  std::mutex refresh_;  // one look at a time
  std::mutex wake_;
  std::condition_variable poked_;
  bool wanted_ = false, stopping_ = false;  // guarded by wake_
  std::atomic<bool> watching_{false};
  std::unique_ptr<Store::Watch> announcements_;
  std::thread looker_;
};

}  // namespace vettrix::service
