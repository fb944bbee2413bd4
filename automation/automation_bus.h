#pragma once

#include <chrono>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "automation/automation_objects.h"
#include "runtime/logger_base.h"

namespace orv {

// Which bus the automation objects are offered on and how long an abandoned object is kept.
struct automation_settings {
  // "system", "session", "none" or a bus address.
  std::string bus;
  // How long an object outlives the connection that made it, counted from its last call.
  std::chrono::milliseconds lease{60000};

  // The system bus for root, the session bus otherwise; ORV_TICKER_BUS overrides that, and
  // ORV_TICKER_LEASE_MS shortens the lease for tests.
  static automation_settings from_environment();
};

class automation_bus;

// Connects to the bus, offers the registry object under the name "OrvTicker.OrvTickers" and
// serves calls on the loop of io. Returns null, after one level-20 line on log, when the
// settings say "none" or the bus cannot be reached; a name the bus refuses later ends the
// service's automation the same way. Everything runs on the loop: no thread, no blocking call.
std::shared_ptr<automation_bus> serve_automation(boost::asio::io_context& io, const automation_settings& settings,
                                                 COrvTickers::binder bind, std::shared_ptr<vorn::logger_base> log);

}  // namespace orv
