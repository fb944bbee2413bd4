#pragma once

#include <string>

#include "runtime/logger_base.h"

namespace orv {

// "Orv Ticker Service version " followed by version.
std::string console_title(const std::string& version);

// Shows title in the terminal's title bar when standard output is a terminal; a failed
// write is logged at level 20.
void set_console_title(const std::string& title, vorn::logger_base& log);

}  // namespace orv
