// orv_tickerctl: sends one tickertalk command and prints the reply, or follows events.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include "tools/tickerctl.h"
#include "tools/tickertalk_client.h"

namespace po = boost::program_options;
using namespace orv::tickerctl;

namespace {

const char* const usage =
    "Usage: orv_tickerctl [--host H] [--port P] [--timeout S] COMMAND [ARG...]\n"
    "       orv_tickerctl [--host H] [--port P] --events\n"
    "\n"
    "Sends one tickertalk command to the Orv Ticker Service and prints the fields of its\n"
    "reply, one per line. An argument @FILE is replaced by the bytes of FILE, @- by standard\n"
    "input, and @@TEXT by @TEXT; group XML read that way is checked first, and a document the\n"
    "service would refuse is reported with its line and column instead of being sent. With\n"
    "--events it asks for event messages instead and prints each one as a line of\n"
    "tab-separated fields until it is interrupted. ORV_TICKER_HOST and ORV_TICKER_PORT set the\n"
    "defaults of --host and --port.\n"
    "\n"
    "Commands:\n"
    "  ListTickers | AddTicker NAME | DeleteTicker NAME | protocol [noevents]\n"
    "  on_ticker NAME SUBCOMMAND [ARG...]   (the ticker is created when missing)\n"
    "\n"
    "Sub-commands of on_ticker, with their arguments:\n"
    "  AddGroupAfterCurrent XML | AddGroupAfterGroup FOLLOW XML\n"
    "  AddGroupToRunOncePriorityQueue XML | AddPriorityGroup GROUP | SetNextGroup GROUP\n"
    "  DeleteGroupWhenInactive GROUP | Flush | ClearAll | set_loop yes|no\n"
    "  pause_ticker | continue_ticker | GetGroups | GetGroupsWithContent\n"
    "  AddGroupFromText FOLLOW GROUP TEXT TEXTDESIGN STARTDESIGN ENDDESIGN TEXTPART PADDING LOGMSG ONENTER\n"
    "  AddTTLGroupFromText  (as AddGroupFromText, then TTL)\n"
    "  AddIndGroupFromText INTERVAL GROUP TEXT DESIGN STARTDESIGN ENDDESIGN TEXTPART PADDING LOGMSG ONENTER\n"
    "  RunOnce TEXT DESIGN STARTDESIGN ENDDESIGN TEXTPART PADDING LOGMSG ONENTER\n"
    "  AddFlipGroupFromText FOLLOW GROUP TEXT DESIGN TEXTPART LOGMSG DURATION ONENTER ONEXIT\n"
    "  AddIndFlipGroupFromText INTERVAL GROUP TEXT DESIGN TEXTPART LOGMSG DURATION ONENTER ONEXIT\n"
    "docs/tickertalk.md describes each one, its replies and the wire format.\n"
    "\n"
    "Exit status: 0 when the service answered ok, 1 when it answered error, 2 when nothing\n"
    "was sent (no connection, an unreadable file, refused XML, bad usage), 3 when no reply came.\n"
    "\n"
    "Examples:\n"
    "  orv_tickerctl ListTickers\n"
    "  orv_tickerctl on_ticker T AddGroupAfterCurrent @group.xml\n"
    "  orv_tickerctl on_ticker T GetGroupsWithContent\n"
    "  orv_tickerctl --events\n";

std::string from_environment(const char* name, const char* otherwise) {
  const char* value = std::getenv(name);
  return value && *value ? value : otherwise;
}

// Options come before the command; everything from the command on is passed through, so
// arguments such as -1 are never taken for options.
std::size_t first_command_word(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--") return i + 1;
    if (word.empty() || word[0] != '-') return i;
    if (word == "--host" || word == "--port" || word == "--timeout") ++i;
  }
  return argc;
}

int follow_events(orv::tickertalk_client& client, const std::string& tag) {
  if (!client.send({tag, "protocol", "tickertalk"}) || !client.receive_reply(tag)) return no_reply;
  while (auto message = client.receive())
    if (!message->empty() && message->front() == "*") std::cout << event_line(*message) << std::endl;
  std::cerr << "orv_tickerctl: the service closed the connection" << std::endl;
  return no_reply;
}

}  // namespace

int main(int argc, char** argv) {
  po::options_description options("Options", 100);
  // clang-format off
  options.add_options()
      ("help", "Shows this help")
      ("host", po::value<std::string>()->default_value(from_environment("ORV_TICKER_HOST", "127.0.0.1")),
       "The service's host")
      ("port", po::value<std::string>()->default_value(from_environment("ORV_TICKER_PORT", "6301")),
       "The service's tickertalk port")
      ("timeout", po::value<unsigned>()->default_value(10), "Seconds to wait for the connection and the reply")
      ("events", "Print event messages until interrupted");
  // clang-format on

  const std::size_t split = first_command_word(argc, argv);
  po::variables_map parsed;
  try {
    po::store(po::parse_command_line(static_cast<int>(split), argv, options), parsed);
    po::notify(parsed);
  } catch (const po::error& e) {
    std::cerr << "orv_tickerctl: " << e.what() << "\n\n" << usage << "\n" << options;
    return not_sent;
  }
  if (parsed.count("help")) {
    std::cout << usage << "\n" << options;
    return replied_ok;
  }

  const bool events = parsed.count("events") > 0;
  std::vector<std::string> command;
  for (auto i = split; i < static_cast<std::size_t>(argc); ++i) {
    auto argument = expand_argument(argv[i], std::cin);
    if (!argument) {
      std::cerr << "orv_tickerctl: cannot read " << std::string(argv[i]).substr(1) << std::endl;
      return not_sent;
    }
    command.push_back(std::move(*argument));
    const bool read = argv[i][0] == '@' && argv[i][1] != '@';
    if (read && is_group_xml_argument(command, command.size() - 1)) {
      if (auto problem = xml_problem(command.back())) {
        const std::string source = std::string(argv[i]) == "@-" ? "standard input" : std::string(argv[i] + 1);
        std::cerr << "orv_tickerctl: " << source << ": " << *problem << "; not sent" << std::endl;
        return not_sent;
      }
    }
  }
  if (events == !command.empty()) {
    std::cerr << usage;
    return not_sent;
  }

  const std::string tag = "ctl" + std::to_string(::getpid());
  orv::tickertalk_client client(std::chrono::seconds(parsed["timeout"].as<unsigned>()));
  const auto host = parsed["host"].as<std::string>();
  const auto port = parsed["port"].as<std::string>();
  if (!client.connect(host, port)) {
    std::cerr << "orv_tickerctl: cannot connect to " << host << ":" << port << std::endl;
    return not_sent;
  }
  if (events) {
    client.set_timeout(std::chrono::milliseconds::zero());
    return follow_events(client, tag);
  }

  command.insert(command.begin(), tag);
  if (!client.send(command)) {
    std::cerr << "orv_tickerctl: the connection closed while sending" << std::endl;
    return no_reply;
  }
  auto reply = client.receive_reply(tag);
  if (!reply) {
    std::cerr << "orv_tickerctl: no reply from " << host << ":" << port << std::endl;
    return no_reply;
  }
  print_reply(*reply, std::cout);
  return reply_status(*reply);
}
