#pragma once

#include <filesystem>
#include <ostream>
#include <string>

namespace orv {

// Where a started service can be reached and where it writes, printed after the banner so that
// a person starting it need not guess.
struct startup_facts {
  std::string version;
  int tickertalk_port = 0;
  int log_event_port = 0;            // 0: not served
  std::string log_event_failure;     // why not, when not served
  std::filesystem::path log_file;
};

void print_startup_report(const startup_facts& facts, std::ostream& out);

// The settings file as the banner names it: its path, or its name and "(not found)".
std::string settings_file_for_banner(const std::string& file_name);

}  // namespace orv
