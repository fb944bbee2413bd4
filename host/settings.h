#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace orv {

using settings = std::map<std::string, std::string>;

// Reads key/value lines from file_name, found as resolve_settings_file says. A line is split
// at every separator character with empty pieces dropped: the first piece is the key, the
// second the value. Lines without a separator are skipped, nothing is trimmed, and the first
// occurrence of a key wins. Throws std::runtime_error when the file cannot be opened.
settings read_settings(const std::string& file_name, const std::string& separator);
settings read_settings(const std::string& file_name, const std::string& separator,
                       const std::filesystem::path& executable_dir);

// The value, or "" when the key is absent.
std::string setting_value(const settings& values, const std::string& key);

// "ProductVersion" from ticker.ini; "0.0.0" when the file cannot be found or read.
std::string product_version();
std::string product_version(const std::filesystem::path& executable_dir);

}  // namespace orv
