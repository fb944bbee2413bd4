#include "host/startup_report.h"

#include <system_error>

#include "host/paths.h"

namespace orv {

void print_startup_report(const startup_facts& facts, std::ostream& out) {
  out << "Version: " << facts.version << '\n' << "Tickertalk port: " << facts.tickertalk_port << '\n';
  if (facts.log_event_port != 0)
    out << "Log event port: " << facts.log_event_port << '\n';
  else
    out << "Log event port: not served (" << facts.log_event_failure << ")\n";
  out << "Log file: " << facts.log_file.string() << std::endl;
}

std::string settings_file_for_banner(const std::string& file_name) {
  try {
    const auto path = resolve_settings_file(file_name);
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) return path.string();
  } catch (const std::exception&) {
  }
  return file_name + " (not found)";
}

}  // namespace orv
