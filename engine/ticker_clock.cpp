#include "engine/ticker_clock.h"

#include <ctime>

namespace orv {

namespace {
scoped_ticker_clock* current_override = nullptr;
}

std::int64_t ticker_now() {
  if (current_override) return current_override->now();
  return static_cast<std::int64_t>(std::time(nullptr));
}

scoped_ticker_clock::scoped_ticker_clock(std::int64_t start) : now_(start), previous_(current_override) {
  current_override = this;
}

scoped_ticker_clock::~scoped_ticker_clock() { current_override = previous_; }

}  // namespace orv
