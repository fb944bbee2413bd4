#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orv::web {

// A JSON string literal of text. Element texts are bytes as a feed or client sent them, so
// bytes that are not UTF-8 become U+FFFD (a browser drops a WebSocket whose text frame is not
// UTF-8), and <, > and & are escaped so the text can never close a script or markup context.
std::string json_string(std::string_view text);
void append_json_string(std::string& out, std::string_view text);
std::string json_strings(const std::vector<std::string>& texts);

}  // namespace orv::web
