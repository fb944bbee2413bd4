#include "host/registry_store.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <system_error>

namespace orv {

namespace {

using value_map = std::map<std::string, std::string>;

value_map read_values(const std::filesystem::path& file) {
  value_map values;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) values.emplace(line.substr(0, equals), line.substr(equals + 1));
  }
  return values;
}

// Written whole to a neighbour and renamed over the old file, so a reader never
// sees half.
void write_values(const std::filesystem::path& file, const value_map& values) {
  const auto temporary = std::filesystem::path(file) += ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    for (const auto& [name, text] : values) out << name << '=' << text << '\n';
    if (!out.flush()) throw std::system_error(errno ? errno : EIO, std::generic_category(), temporary.string());
  }
  std::filesystem::rename(temporary, file);
}

}  // namespace

registry_store::registry_store(std::filesystem::path root)
    : root_(std::move(root)), keys_(root_ / "etc" / "orv-ticker" / "registry") {}

std::filesystem::path registry_store::root_from_environment() {
  const char* root = std::getenv("ORV_TICKER_REGISTRY_ROOT");
  return root && *root ? root : "/";
}

std::filesystem::path registry_store::folder(const std::string& key) const {
  std::filesystem::path path = keys_;
  std::string part;
  for (char c : key + '\\') {
    if (c != '\\' && c != '/') {
      part += c;
    } else if (!part.empty()) {
      // Key names never climb out of the store.
      if (part == "." || part == "..") throw std::system_error(EINVAL, std::generic_category(), key);
      path /= part;
      part.clear();
    }
  }
  return path;
}

bool registry_store::key_exists(const std::string& key) const {
  std::error_code ignored;
  return std::filesystem::is_directory(folder(key), ignored);
}

void registry_store::create_key(const std::string& key) { std::filesystem::create_directories(folder(key)); }

void registry_store::remove_key(const std::string& key) { std::filesystem::remove_all(folder(key)); }

std::optional<std::string> registry_store::value(const std::string& key, const std::string& name) const {
  const auto values = read_values(folder(key) / "values");
  const auto found = values.find(name);
  if (found == values.end()) return std::nullopt;
  return found->second;
}

void registry_store::set_value(const std::string& key, const std::string& name, const std::string& text) {
  create_key(key);
  const auto file = folder(key) / "values";
  auto values = read_values(file);
  values[name] = text;
  write_values(file, values);
}

bool registry_store::delete_value(const std::string& key, const std::string& name) {
  const auto file = folder(key) / "values";
  auto values = read_values(file);
  if (values.erase(name) == 0) return false;
  write_values(file, values);
  return true;
}

}  // namespace orv
