#include "host/settings.h"

#include <fstream>
#include <stdexcept>

#include <boost/tokenizer.hpp>

#include "host/paths.h"

namespace orv {

namespace {

settings parse(std::istream& in, const std::string& separator) {
  settings values;
  boost::char_separator<char> split(separator.c_str());
  std::string line;
  while (std::getline(in, line)) {
    // Files written on Windows end their lines in CR LF; the CR is not part of the value.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_of(separator) == std::string::npos) continue;
    boost::tokenizer<boost::char_separator<char>> pieces(line, split);
    auto piece = pieces.begin();
    if (piece == pieces.end()) continue;
    std::string key = *piece++;
    std::string value = piece == pieces.end() ? "" : *piece;
    values.emplace(std::move(key), std::move(value));
  }
  return values;
}

}  // namespace

settings read_settings(const std::string& file_name, const std::string& separator) {
  return read_settings(file_name, separator, executable_path().parent_path());
}

settings read_settings(const std::string& file_name, const std::string& separator,
                       const std::filesystem::path& executable_dir) {
  std::ifstream in(resolve_settings_file(file_name, executable_dir));
  if (!in) throw std::runtime_error("Unable to open ini file '" + file_name + "'");
  return parse(in, separator);
}

std::string setting_value(const settings& values, const std::string& key) {
  auto found = values.find(key);
  return found == values.end() ? "" : found->second;
}

std::string product_version() {
  try {
    return product_version(executable_path().parent_path());
  } catch (const std::exception&) {
    return "0.0.0";
  }
}

std::string product_version(const std::filesystem::path& executable_dir) {
  try {
    return setting_value(read_settings("ticker.ini", "=", executable_dir), "ProductVersion");
  } catch (const std::exception&) {
    return "0.0.0";
  }
}

}  // namespace orv
