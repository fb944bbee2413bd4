#include "host/service_manager.h"

#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <cstdlib>
#include <iostream>

namespace orv {

bool service_manager::present() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket && *socket;
}

void service_manager::report(const std::string& state) const {
  if (is_service_) sd_notify(0, state.c_str());
}

void service_manager::event(const std::string& text) const {
  const std::string line = text.substr(0, 255);
  if (is_service_)
    sd_journal_send("MESSAGE=%s", line.c_str(), "SYSLOG_IDENTIFIER=OrvTicker", "PRIORITY=6", nullptr);
  else
    std::cout << line << std::endl;
}

}  // namespace orv
