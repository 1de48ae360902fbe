#pragma once

#include <time.h>

#include <cstdint>

namespace vettrix {

// Milliseconds since system start from the kernel's coarse monotonic clock: a few nanoseconds a
// read instead of a few tens, at the resolution of the scheduler tick (1 to 4 ms). Generation
// reads it for every candidate; a tick counter of that resolution is all its timings need.
inline std::int64_t MonotonicMilliseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

}  // namespace vettrix
