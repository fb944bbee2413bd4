#pragma once

#include <string>

namespace orv {

// The outcome of a registry operation or of one ticker command, as a client sees it.
struct ticker_result {
  bool success = false;
  std::string message;
};

}  // namespace orv
