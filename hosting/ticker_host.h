#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/asyncore.h"
#include "runtime/logger_base.h"

namespace orv {

class event_server_base;

// What the ticker registry and its tickers use of the process around them. The process core
// provides it, so this layer needs nothing from the layers that serve clients.
struct ticker_host {
  ticker_host(std::shared_ptr<vorn::asyncore> loop, std::shared_ptr<event_server_base> events,
              std::shared_ptr<vorn::logger_base> root_logger, bool ignore_inactive_groups)
      : event_server(std::move(events)),
        asyncore(std::move(loop)),
        logger(std::move(root_logger)),
        ignore_inactive(ignore_inactive_groups) {}
  virtual ~ticker_host() = default;

  // Sends fields to the tickertalk clients that want events; false while there is nobody to
  // send them through (before the tickertalk listener exists, or without one).
  virtual bool broadcast_event(const std::vector<std::string>& fields) = 0;

  // The log listeners' server; empty while the service runs without one.
  std::shared_ptr<event_server_base> event_server;
  // Empty for a registry used on its own: its tickers then get no renderer side.
  std::shared_ptr<vorn::asyncore> asyncore;
  std::shared_ptr<vorn::logger_base> logger;
  bool ignore_inactive;
};

}  // namespace orv
