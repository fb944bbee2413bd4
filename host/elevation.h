#pragma once

#include <string>
#include <vector>

namespace orv {

// Registration needs root. A user who is not root gets the same command again
// through sudo, with " --elevated" appended so that the copy does the work
// itself; sudo drops the environment, so ORV_TICKER_REGISTRY_ROOT and
// ORV_TICKER_BUS travel on its command line. Returns the copy's exit code;
// throws vorn::win32_error when it cannot be started or its exit code cannot be
// read.
int relaunch_elevated(const std::string& module, const std::vector<std::string>& arguments);

// The words sudo is given: [env NAME=value ...] module arguments... --elevated.
std::vector<std::string> elevated_command(const std::string& module, const std::vector<std::string>& arguments);

}  // namespace orv
