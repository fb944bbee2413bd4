#include "host/paths.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace orv {

namespace {

// Taken while static objects are built, before anything can change directory.
const std::filesystem::path initial_directory = [] {
  std::error_code ignored;
  return std::filesystem::current_path(ignored);
}();

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::filesystem::path executable_path() {
  char buffer[1024];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer)
    throw std::runtime_error("Couldn't get executable path");
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::filesystem::path resolve_settings_file(const std::string& file_name) {
  return resolve_settings_file(file_name, executable_path().parent_path());
}

std::filesystem::path resolve_settings_file(const std::string& file_name, const std::filesystem::path& executable_dir) {
  auto beside = executable_dir / file_name;
  if (std::filesystem::exists(beside)) return beside;
  return executable_dir / "../stagewright" / file_name;
}

std::filesystem::path common_appdata_folder() {
  if (auto chosen = environment("ORV_TICKER_APPDATA_DIR"); !chosen.empty()) return chosen;
  if (::geteuid() == 0) return "/var/log";
  if (auto state = environment("XDG_STATE_HOME"); !state.empty() && state.front() == '/') return state;
  if (auto home = environment("HOME"); !home.empty()) return std::filesystem::path(home) / ".local" / "state";
  return {};
}

std::filesystem::path log_directory(const std::filesystem::path& base, const std::string& company,
                                    const std::string& product) {
  if (base.empty()) return initial_directory;
  // A per-user state folder may not exist yet on a fresh account.
  std::filesystem::create_directories(base);
  auto directory = base;
  for (const auto& name : {company, product}) {
    if (name.empty()) continue;
    directory /= name;
    if (!std::filesystem::is_directory(directory)) std::filesystem::create_directory(directory);
  }
  return directory;
}

std::filesystem::path log_directory(const std::string& company, const std::string& product) {
  return log_directory(common_appdata_folder(), company, product);
}

}  // namespace orv
