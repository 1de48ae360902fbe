#include "service/Store.h"

namespace vettrix::service {

std::string_view StatusName(Status status) {
  switch (status) {
    case Status::Accepted:
      return "accepted";
    case Status::Rejected:
      return "rejected";
    default:
      return "pending";
  }
}

std::optional<Status> StatusNamed(std::string_view name) {
  for (const Status s : {Status::Pending, Status::Accepted, Status::Rejected})
    if (StatusName(s) == name) return s;
  return std::nullopt;
}

}  // namespace vettrix::service
