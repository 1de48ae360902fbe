#pragma once

// The one way a procedure says that it failed, where its caller can handle it: a Result holds
// either what it made or why it could not (by default the reason as the user is told it). The
// names are std::expected's, so that C++23 can take its place. Exceptions stay for what cannot
// be handled where it occurs (a store that stops answering in the middle of a request).

#include <cassert>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace vettrix {

// What a failed Result is made from: Fail("reason"), or Unexpected<E>{...} for another error.
template <typename E>
struct Unexpected {
  E error;
};

inline Unexpected<std::string> Fail(std::string reason) {
  return {std::move(reason)};
}

template <typename T, typename E = std::string>
class [[nodiscard]] Result {
 public:
  // Implicit, so that `return made;` and `return Fail(why);` both read plainly.
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Unexpected<E> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  // What it made; only when it has one.
  T& value() & {
    assert(has_value());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(has_value());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(has_value());
    return std::get<0>(std::move(state_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // Why it failed; only when it did.
  const E& error() const& {
    assert(!has_value());
    return std::get<1>(state_);
  }
  E&& error() && {
    assert(!has_value());
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, E> state_;
};

// Done, or why not.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(Unexpected<E> failure) : error_(std::move(failure.error)) {}

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }

  const E& error() const& {
    assert(!has_value());
    return *error_;
  }
  E&& error() && {
    assert(!has_value());
    return *std::move(error_);
  }

 private:
  std::optional<E> error_;
};

}  // namespace vettrix
