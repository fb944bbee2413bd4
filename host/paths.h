#pragma once

#include <filesystem>
#include <string>

namespace orv {

// The running executable's full path. Throws std::runtime_error when it cannot be read.
std::filesystem::path executable_path();

// file_name beside the executable when it exists there, otherwise in the companion
// application's folder "../stagewright" next to it (not tested; opening reports that).
std::filesystem::path resolve_settings_file(const std::string& file_name);
std::filesystem::path resolve_settings_file(const std::string& file_name, const std::filesystem::path& executable_dir);

// The folder shared by all users for application data: $ORV_TICKER_APPDATA_DIR when set,
// /var/log for root, otherwise $XDG_STATE_HOME or ~/.local/state. Empty when none is known.
std::filesystem::path common_appdata_folder();

// base/company/product, each created when missing. Empty names add no folder; an empty base
// gives the working directory at process start. Filesystem errors propagate.
std::filesystem::path log_directory(const std::filesystem::path& base, const std::string& company,
                                    const std::string& product);
std::filesystem::path log_directory(const std::string& company, const std::string& product);

}  // namespace orv
