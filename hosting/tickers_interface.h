#pragma once

#include <memory>
#include <string>

#include "engine/ticker_control_interface.h"
#include "hosting/ticker_result.h"

namespace orv {

// The registry of named tickers, as the control protocols see it.
class tickers_interface {
 public:
  virtual ticker_result AddTicker(const std::string& name) = 0;
  virtual ticker_result DeleteTicker(const std::string& name) = 0;
  // Empty when no ticker has that name.
  virtual std::shared_ptr<ticker_control_interface> GetTicker(const std::string& name) = 0;
  // Every name followed by "\n", in byte-wise order.
  virtual ticker_result ListTickers() = 0;

  virtual ~tickers_interface() = default;
};

}  // namespace orv
