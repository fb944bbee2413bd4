#pragma once

#include <memory>

#include "hosting/ticker_host.h"

namespace orv {

class ticker_manager;
class tickertalk_factory;

// What the running service consists of. Created once at start-up and held by shared handle;
// the registry and the tickertalk side are filled in after it exists, because both refer to it.
struct app_core : ticker_host {
  app_core(std::shared_ptr<vorn::asyncore> loop, std::shared_ptr<event_server_base> events,
           std::shared_ptr<vorn::logger_base> root_logger, int tickertalk_port, bool ignore_inactive_groups)
      : ticker_host(std::move(loop), std::move(events), std::move(root_logger), ignore_inactive_groups),
        port(tickertalk_port) {}

  bool broadcast_event(const std::vector<std::string>& fields) override;

  std::shared_ptr<orv::ticker_manager> ticker_manager;
  // Empty until the tickertalk listener is set up; events are dropped meanwhile.
  std::shared_ptr<orv::tickertalk_factory> tickertalk_factory;
  int port;
};

// The core of the running process; weak, so that it never keeps the core alive by itself.
extern std::weak_ptr<app_core> current_app_core;

}  // namespace orv
