#pragma once

// What the stores share, whatever holds their rows: how a client's address is kept, and the
// columns of a submission.

#include <string>
#include <string_view>

#include "service/Store.h"

namespace vettrix::service {

// The key a client's address is counted under: useless outside the store that salts it.
std::string ClientKey(std::string_view salt, std::string_view client);

// "SELECT <a column for each of kSubmissionFields> FROM submissions ", the whole numbers (id,
// received) followed by `integerAs` (PostgreSQL gives them as text: "::text").
std::string SelectSubmissions(std::string_view integerAs = {});

// The submission in a row of those columns, which `integer(i)` and `text(i)` read.
template <typename Integer, typename Text>
Submission SubmissionOf(const Integer& integer, const Text& text) {
  return {integer(0),
          text(1),
          text(2),
          text(3),
          text(4),
          text(5),
          StatusNamed(text(6)).value_or(Status::Pending),
          integer(7)};
}

}  // namespace vettrix::service
