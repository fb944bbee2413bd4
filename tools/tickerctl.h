#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace orv::tickerctl {

// Exit codes of orv_tickerctl.
enum exit_code { replied_ok = 0, replied_error = 1, not_sent = 2, no_reply = 3 };

// The reply's fields after the tag, one per line; a field that ends in a line feed gets no
// second one.
void print_reply(const std::vector<std::string>& reply, std::ostream& out);

// ok or error from a reply: the first status field, after the "Created ticker" pair that
// "on_ticker" puts in front when it had to create the ticker. Other replies count as ok.
exit_code reply_status(const std::vector<std::string>& reply);

// An event's fields after "*", separated by tabs; tab, CR, LF and backslash inside a field
// are written as \t, \r, \n and \\ so that each event stays one line.
std::string event_line(const std::vector<std::string>& event);

// "@FILE" becomes the file's bytes, "@-" standard input, "@@..." the text after the first "@";
// anything else stays. Empty when a file cannot be read.
std::optional<std::string> expand_argument(const std::string& argument, std::istream& standard_input);

// True when word index of a command (the words after the options, tag not included) is the
// group XML of an "on_ticker" sub-command.
bool is_group_xml_argument(const std::vector<std::string>& command, std::size_t index);

// Why the service's XML parser would refuse text: "line L, column C: " and the parser's
// message; empty when the text is well-formed.
std::optional<std::string> xml_problem(const std::string& text);

}  // namespace orv::tickerctl
