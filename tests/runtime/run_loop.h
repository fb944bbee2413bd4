#pragma once

#include <chrono>

#include "runtime/asyncore.h"

namespace orv::testing {

// Runs the loop until done() holds; false when it did not within the limit.
template <class Predicate>
bool run_until(vorn::asyncore& core, Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(2)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    core.process(20);
  }
  return true;
}

}  // namespace orv::testing
