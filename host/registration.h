#pragma once

#include <filesystem>
#include <ostream>
#include <string>

#include "host/registry_store.h"

namespace orv {

// What registering the service writes, below the registry root:
//  - the registry keys of the server (its AppID, class, ProgIDs and type
//  library),
//  - the interface description as usr/share/dbus-1/interfaces/OrvTicker.xml,
//  - the bus activation file and the system bus policy for the name
//  "OrvTicker.OrvTickers",
//  - for a service, the systemd unit "OrvTicker.service" with its network
//  drop-in.
struct registration {
  std::filesystem::path root;    // "/" normally
  std::filesystem::path module;  // the executable the files name
  std::ostream& notes;           // what was done or skipped, and the service manager's failures

  // The three commands. Each returns 0 or the error code of the step that
  // failed.
  int register_server();
  int register_service();
  int unregister();

 private:
  int register_with(bool as_service);
  void install_service();
  void remove_service();
  void write_class_files(bool as_service);
  void remove_class_files();
  // systemctl, only when the root is "/" and systemd runs; otherwise says it
  // skipped.
  void systemctl(const std::string& verb, const std::string& unit = {});
  std::filesystem::path under_root(const std::filesystem::path& absolute) const;
};

// Registry keys and values the start-up reads.
extern const char* const module_appid_key;  // "HKEY_CLASSES_ROOT\AppID\{...}"
extern const char* const appid_root_key;    // "HKEY_CLASSES_ROOT\AppID"
constexpr const char* service_name = "OrvTicker";

// The words after "-", "--" or "/" that select a registration command, any
// case; empty when argv holds none.
std::string registration_command(int argc, char** argv);

}  // namespace orv
