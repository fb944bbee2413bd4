#pragma once

#include <string>

namespace orv {

// The interface description in OrvTicker.xml, compiled in.
extern const char interface_description[];

// The <interface> element of that name from the description, as written there; empty when absent.
std::string interface_element(const std::string& name);

}  // namespace orv
