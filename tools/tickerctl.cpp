#include "tools/tickerctl.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>

#include "engine/expat_document.h"

namespace orv::tickerctl {

void print_reply(const std::vector<std::string>& reply, std::ostream& out) {
  for (std::size_t i = 1; i < reply.size(); ++i) {
    out << reply[i];
    if (reply[i].empty() || reply[i].back() != '\n') out << '\n';
  }
}

exit_code reply_status(const std::vector<std::string>& reply) {
  std::size_t status = 1;
  if (reply.size() > 3 && reply[1] == "ok" && reply[2].rfind("Created ticker: '", 0) == 0) status = 3;
  if (status < reply.size() && reply[status] == "error") return replied_error;
  return replied_ok;
}

std::string event_line(const std::vector<std::string>& event) {
  std::string line;
  for (std::size_t i = 1; i < event.size(); ++i) {
    if (i > 1) line += '\t';
    for (char c : event[i]) {
      switch (c) {
        case '\t': line += "\\t"; break;
        case '\r': line += "\\r"; break;
        case '\n': line += "\\n"; break;
        case '\\': line += "\\\\"; break;
        default: line += c;
      }
    }
  }
  return line;
}

std::optional<std::string> expand_argument(const std::string& argument, std::istream& standard_input) {
  if (argument.empty() || argument[0] != '@') return argument;
  if (argument.rfind("@@", 0) == 0) return argument.substr(1);
  std::ostringstream bytes;
  if (argument == "@-") {
    bytes << standard_input.rdbuf();
    return bytes.str();
  }
  const std::string path = argument.substr(1);
  if (std::filesystem::is_directory(path)) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  bytes << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return bytes.str();
}

bool is_group_xml_argument(const std::vector<std::string>& command, std::size_t index) {
  if (command.size() < 3 || command[0] != "on_ticker") return false;
  const std::string& sub = command[2];
  if (sub == "AddGroupAfterCurrent" || sub == "AddGroupToRunOncePriorityQueue") return index == 3;
  return sub == "AddGroupAfterGroup" && index == 4;
}

std::optional<std::string> xml_problem(const std::string& text) {
  const auto parser = make_expat_parser();
  if (parse_document(parser.get(), text)) return std::nullopt;
  return "line " + std::to_string(XML_GetCurrentLineNumber(parser.get())) + ", column " +
         std::to_string(XML_GetCurrentColumnNumber(parser.get()) + 1) + ": " +
         XML_ErrorString(XML_GetErrorCode(parser.get()));
}

}  // namespace orv::tickerctl
