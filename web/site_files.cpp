#include "web/site_files.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace orv::web {

namespace {

std::optional<std::string> content_type_of(const std::filesystem::path& file) {
  static const std::map<std::string, std::string> types = {
      {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},   {".png", "image/png"},
      {".svg", "image/svg+xml"},             {".woff2", "font/woff2"}};
  auto found = types.find(file.extension().string());
  if (found == types.end()) return std::nullopt;
  return found->second;
}

}  // namespace

site_files::site_files(const std::filesystem::path& static_dir, const std::filesystem::path& templates_dir)
    : built_in_(load(static_dir)), templates_(templates_dir.empty() ? decltype(templates_){} : load(templates_dir)) {
  if (!built_in_.count("index.html"))
    throw std::runtime_error("No index.html in " + static_dir.string() + ": give the folder of the pages with --static");
}

const site_file* site_files::find(const std::map<std::string, site_file>& files, const std::string& name) {
  auto found = files.find(name);
  return found == files.end() ? nullptr : &found->second;
}

// Only plain files of known types directly in the folder: a name from a URL can then never
// reach anything else.
std::map<std::string, site_file> site_files::load(const std::filesystem::path& dir) {
  std::map<std::string, site_file> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    const auto type = content_type_of(entry.path());
    const auto name = entry.path().filename().string();
    if (!type || name.front() == '.' || !entry.is_regular_file() || entry.file_size() > max_file_size) continue;
    if (files.size() >= max_files) break;
    std::ostringstream bytes;
    bytes << std::ifstream(entry.path(), std::ios::binary).rdbuf();
    files[name] = site_file{*type, bytes.str()};
  }
  if (error) throw std::runtime_error("Can't read " + dir.string() + ": " + error.message());
  return files;
}

}  // namespace orv::web
