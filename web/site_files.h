#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace orv::web {

struct site_file {
  std::string content_type;
  std::string body;
};

// The pages, scripts and styles, read once at start so that serving them never touches the
// disk: the built-in ones from one folder, the station's templates from another.
class site_files {
 public:
  static constexpr std::size_t max_file_size = std::size_t{1} << 20;
  static constexpr std::size_t max_files = 256;

  // Throws std::runtime_error when static_dir holds no index.html.
  site_files(const std::filesystem::path& static_dir, const std::filesystem::path& templates_dir);

  const site_file* built_in(const std::string& name) const { return find(built_in_, name); }
  const site_file* template_file(const std::string& name) const { return find(templates_, name); }

 private:
  static const site_file* find(const std::map<std::string, site_file>& files, const std::string& name);
  static std::map<std::string, site_file> load(const std::filesystem::path& dir);

  std::map<std::string, site_file> built_in_;
  std::map<std::string, site_file> templates_;
};

}  // namespace orv::web
