#include "host/app_core.h"

#include "control/tickertalk.h"

namespace orv {

std::weak_ptr<app_core> current_app_core;

bool app_core::broadcast_event(const std::vector<std::string>& fields) {
  if (!tickertalk_factory) return false;
  tickertalk_factory->broadcast_event(fields);
  return true;
}

}  // namespace orv
