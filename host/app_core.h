#pragma once

#include <memory>

#include "runtime/asyncore.h"
#include "runtime/logger_base.h"

namespace orv {

class event_server_base;
class ticker_manager;
class tickertalk_factory;

// What the running service consists of. Created once at start-up and held by shared handle;
// the registry and the tickertalk side are filled in after it exists, because both refer to it.
struct app_core {
  app_core(std::shared_ptr<vorn::asyncore> loop, std::shared_ptr<event_server_base> events,
           std::shared_ptr<vorn::logger_base> root_logger, int tickertalk_port, bool ignore_inactive_groups)
      : event_server(std::move(events)),
        asyncore(std::move(loop)),
        logger(std::move(root_logger)),
        port(tickertalk_port),
        ignore_inactive(ignore_inactive_groups) {}

  // The log listeners' server; empty while the service runs without one.
  std::shared_ptr<orv::event_server_base> event_server;
  std::shared_ptr<orv::ticker_manager> ticker_manager;
  // Empty until the tickertalk listener is set up; events are dropped meanwhile.
  std::shared_ptr<orv::tickertalk_factory> tickertalk_factory;
  std::shared_ptr<vorn::asyncore> asyncore;
  std::shared_ptr<vorn::logger_base> logger;
  int port;
  bool ignore_inactive;
};

// The core of the running process; weak, so that it never keeps the core alive by itself.
extern std::weak_ptr<app_core> current_app_core;

}  // namespace orv
