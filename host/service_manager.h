#pragma once

#include <string>

namespace orv {

// The service manager of a service start: systemd, reached through
// $NOTIFY_SOCKET for state reports and the journal for events. On a console
// start there is none, and events go to standard output.
class service_manager {
 public:
  // True when systemd started this process and listens for its reports.
  static bool present();

  explicit service_manager(bool is_service) : is_service_(is_service) {}

  bool is_service() const { return is_service_; }
  // A state report ("STATUS=...", "READY=1", "STOPPING=1"); nothing outside a
  // service.
  void report(const std::string& state) const;
  // One event line: the journal (identifier OrvTicker, priority info) in a
  // service, standard output otherwise. At most 255 characters are kept.
  void event(const std::string& text) const;

 private:
  bool is_service_;
};

}  // namespace orv
