#pragma once

// Timing of round trips for the benches that set the service against a floor.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <vector>

namespace orv::bench {

// Round trips of one kind, in microseconds, and the time their blocks took.
struct samples {
  std::vector<double> micros;
  double seconds = 0;

  double percentile(double p) const {
    std::vector<double> sorted = micros;
    std::sort(sorted.begin(), sorted.end());
    // Nearest rank: the smallest sample with at least p of them at or below it.
    const auto rank = static_cast<std::size_t>(p * static_cast<double>(sorted.size()) + 0.999999);
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
  }
};

// count round trips, each timed from the end of the one before; false at the first failure.
template <class RoundTrip>
bool run_block(int count, samples& out, RoundTrip round_trip) {
  using clock = std::chrono::steady_clock;
  const auto block_start = clock::now();
  auto last = block_start;
  for (int i = 0; i < count; ++i) {
    if (!round_trip()) return false;
    const auto now = clock::now();
    out.micros.push_back(std::chrono::duration<double, std::micro>(now - last).count());
    last = now;
  }
  out.seconds += std::chrono::duration<double>(last - block_start).count();
  return true;
}

// Removed after the processes that write into it are gone: declare it before them.
struct scratch_folder {
  std::filesystem::path path;
  ~scratch_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace orv::bench
