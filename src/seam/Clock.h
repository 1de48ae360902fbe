#pragma once

#include <cstdint>

namespace vettrix {

// Local calendar date and time, as the wall clock shows it.
struct DateTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;   // 0..23
  int minute = 0;
  int second = 0;
};

// The system's clocks.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since system start, from a monotonic clock.
  virtual std::int64_t TickCount() = 0;
  virtual DateTime Now() = 0;
  // Seconds since local midnight, with fraction.
  virtual double SecondsSinceMidnight() = 0;
};

}  // namespace vettrix
