#pragma once

#include <functional>

#include "host/service_manager.h"
#include "runtime/logger_base.h"

namespace orv {

// Registration mode: RegServer, Service or UnregServer from argv, run as root
// (a user who is not gets the command relaunched through sudo). Returns the
// result code, which is printed when it is not 0; -1 when the relaunch itself
// failed.
int registration_mode(int argc, char** argv);

// The start decision: unregistered, it returns 2 (not found) with a line saying
// what to run; registered as a service, it runs only under systemd; otherwise
// it runs in the console. run is the main part of the process and gets the
// service manager to report to.
int start_module(vorn::logger_base& log, const std::function<int(const service_manager&)>& run);

}  // namespace orv
