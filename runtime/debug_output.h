#pragma once

#include <string_view>

namespace vorn {

// True while a debugger (any tracer) is attached to this process, as seen at most a second ago.
bool debugger_attached();

// The debugger's output channel: text goes to standard error while a debugger is attached
// and is dropped otherwise, so an unattended service never fills its console with it.
void debug_output(std::string_view text);

}  // namespace vorn
