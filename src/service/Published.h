#pragma once

// The published device database as the service serves it: an immutable snapshot of the file's
// bytes, its digest, its table and its version. A publication replaces the snapshot as a whole;
// a request holds the one it started with, so no answer mixes two versions and no reader waits.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "app/DeviceTable.h"
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

// The publication read as a database and checked; null with the reason in `fault` when it is
// none.
std::shared_ptr<const Published> MakePublished(Publication publication, std::string& fault);

// Why `next` may not replace `current` (null: nothing published yet): its version number must
// be greater, unless `force`.
std::string PublishFault(const Published& next, const Published* current, bool force);

// Checks `bytes` and publishes them in `store`; the reason it refused, or "".
std::string PublishDatabase(Store& store, std::string bytes, bool force, std::int64_t now);

// Whatever the store has published, as of each request.
class Snapshots {
 public:
  // Loads the store's publication; throws std::runtime_error with the reason when there is none
  // that serves.
  explicit Snapshots(Store& store);

  // The newest publication that serves (a newer one that does not is logged and passed over).
  std::shared_ptr<const Published> Current();

 private:
  struct State {
    std::shared_ptr<const Published> serving;
    PublicationId examined;  // the newest publication looked at, served or not
    std::string problem;     // why it is not served, when it is not
  };
  Store& store_;
  std::atomic<std::shared_ptr<const State>> state_;
  std::mutex reload_;
};

}  // namespace vettrix::service
