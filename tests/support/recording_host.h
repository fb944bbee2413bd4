#pragma once

#include <string>
#include <vector>

#include "hosting/ticker_host.h"

namespace orv::testing {

// A process core for a registry under test: keeps what the registry broadcasts, once listening.
struct recording_host : ticker_host {
  using ticker_host::ticker_host;
  bool broadcast_event(const std::vector<std::string>& fields) override {
    if (listening) sent.push_back(fields);
    return listening;
  }
  bool listening = false;
  std::vector<std::vector<std::string>> sent;
};

}  // namespace orv::testing
