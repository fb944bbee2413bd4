#include "host/app_core.h"

namespace orv {

std::weak_ptr<app_core> current_app_core;

}  // namespace orv
