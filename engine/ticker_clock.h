#pragma once

#include <cstdint>

namespace orv {

// Seconds of the wall clock. Group timing (rounds, intervals, expiry) reads "now" only
// through this, so tests can move time without waiting.
std::int64_t ticker_now();

// Replaces the clock while it lives; the previous clock comes back on destruction.
class scoped_ticker_clock {
 public:
  explicit scoped_ticker_clock(std::int64_t start);
  ~scoped_ticker_clock();
  scoped_ticker_clock(const scoped_ticker_clock&) = delete;
  scoped_ticker_clock& operator=(const scoped_ticker_clock&) = delete;

  void set(std::int64_t now) { now_ = now; }
  void advance(std::int64_t seconds) { now_ += seconds; }
  std::int64_t now() const { return now_; }

 private:
  std::int64_t now_;
  scoped_ticker_clock* previous_;
};

}  // namespace orv
