#include "control/command_adapter.h"

#include <array>
#include <map>

#include <boost/lexical_cast/try_lexical_convert.hpp>

namespace orv {

std::optional<std::int32_t> parse_integer_argument(const std::string& text) {
  auto end = text.find_last_not_of(" \t\n\v\f\r");
  if (end == std::string::npos) return std::nullopt;
  std::int32_t value = 0;
  if (!boost::conversion::try_lexical_convert(text.substr(0, end + 1), value)) return std::nullopt;
  return value;
}

namespace {

using field_list = ticker_protocol_control_adapter::field_list;

// The arguments of one sub-command: fields 4 and on, with the integer ones converted.
class arguments {
 public:
  explicit arguments(const field_list& fields) : fields_(fields) {}

  const std::string& text(std::size_t i) const { return fields_[4 + i]; }
  std::int32_t number(std::size_t i) const { return numbers_.at(i); }

  // Converts the arguments at these positions, lowest first; the first that fails is reported.
  std::optional<ticker_result> convert(const std::vector<std::size_t>& positions) {
    for (auto i : positions) {
      auto value = parse_integer_argument(text(i));
      if (!value) return ticker_result{false, "Could not convert parameter '" + text(i) + "' to integer."};
      numbers_[i] = *value;
    }
    return std::nullopt;
  }

 private:
  const field_list& fields_;
  std::array<std::int32_t, 11> numbers_{};  // the longest sub-command takes 11 arguments
};

ticker_result outcome(bool success, const std::string& failure_text) {
  return success ? ticker_result{true, ""} : ticker_result{false, failure_text};
}

// One sub-command: how many arguments it takes (any, for the listings), which of them are
// integers, and the call.
struct sub_command {
  std::optional<std::size_t> count;
  std::vector<std::size_t> integers;
  ticker_result (*call)(ticker_control_interface&, const arguments&);
};

using sub_command_table = std::map<std::string, sub_command, std::less<>>;

sub_command_table make_sub_commands() {
  sub_command_table commands;
  auto add = [&](const char* name, std::optional<std::size_t> count, std::initializer_list<std::size_t> integers,
                 ticker_result (*call)(ticker_control_interface&, const arguments&)) {
    commands.emplace(name, sub_command{count, integers, call});
  };

  add("SetNextGroup", 1, {}, [](ticker_control_interface& t, const arguments& a) {
    return outcome(t.SetNextGroup(a.text(0)), "SetNextGroup failed.");
  });
  add("AddGroupAfterGroup", 2, {}, [](ticker_control_interface& t, const arguments& a) {
    return outcome(t.AddGroupAfterGroup(a.text(0), a.text(1)), "AddGroupAfterGroup failed.");
  });
  add("AddGroupFromText", 10, {7}, [](ticker_control_interface& t, const arguments& a) {
    return outcome(t.AddGroupFromText(a.text(0), a.text(1), a.text(2), a.text(3), a.text(4), a.text(5), a.text(6),
                                      a.number(7), a.text(8), a.text(9)),
                   "AddGroupFromText failed.");
  });
  add("AddGroupAfterCurrent", 1, {}, [](ticker_control_interface& t, const arguments& a) {
    return outcome(t.AddGroupAfterCurrent(a.text(0)), "AddGroupAfterCurrent failed.");
  });
  add("AddIndFlipGroupFromText", 9, {0, 6}, [](ticker_control_interface& t, const arguments& a) {
    return outcome(t.AddIndFlipGroupFromText(a.number(0), a.text(1), a.text(2), a.text(3), a.text(4), a.text(5),
                                             a.number(6), a.text(7), a.text(8)),
                   "AddIndFlipGroupFromText failed.");
  });
  add("AddFlipGroupFromText", 9, {6}, [](ticker_control_interface& t, const arguments& a) {
    return outcome(t.AddFlipGroupFromText(a.text(0), a.text(1), a.text(2), a.text(3), a.text(4), a.text(5), a.number(6),
                                          a.text(7), a.text(8)),
                   "AddFlipGroupFromText failed.");
  });
  add("RunOnce", 8, {5}, [](ticker_control_interface& t, const arguments& a) {
    return outcome(t.RunOnce(a.text(0), a.text(1), a.text(2), a.text(3), a.text(4), a.number(5), a.text(6), a.text(7)),
                   "RunOnce failed.");
  });
  add("AddIndGroupFromText", 10, {0, 7}, [](ticker_control_interface& t, const arguments& a) {
    return outcome(t.AddIndGroupFromText(a.number(0), a.text(1), a.text(2), a.text(3), a.text(4), a.text(5), a.text(6),
                                         a.number(7), a.text(8), a.text(9)),
                   "AddIndGroupFromText failed.");
  });
  add("Flush", 0, {}, [](ticker_control_interface& t, const arguments&) {
    t.Flush();
    return ticker_result{true, ""};
  });
  add("ClearAll", 0, {}, [](ticker_control_interface& t, const arguments&) {
    t.ClearAll();
    return ticker_result{true, ""};
  });
  add("DeleteGroupWhenInactive", 1, {}, [](ticker_control_interface& t, const arguments& a) {
    return outcome(t.MarkGroupForDeletion(a.text(0)), "DeleteGroupWhenInactive failed.");
  });
  add("AddTTLGroupFromText", 11, {7, 10}, [](ticker_control_interface& t, const arguments& a) {
    return outcome(t.AddTTLGroupFromText(a.text(0), a.text(1), a.text(2), a.text(3), a.text(4), a.text(5), a.text(6),
                                         a.number(7), a.text(8), a.text(9), a.number(10)),
                   "AddTTLGroupFromText failed.");
  });
  add("AddPriorityGroup", 1, {}, [](ticker_control_interface& t, const arguments& a) {
    return outcome(t.AddPriorityGroup(a.text(0)), "AddPriorityGroup failed.");
  });
  add("AddGroupToRunOncePriorityQueue", 1, {}, [](ticker_control_interface& t, const arguments& a) {
    return outcome(t.AddGroupToRunOncePriorityQueue(a.text(0)), "AddGroupToRunOncePriorityQueue failed.");
  });
  add("set_loop", 1, {}, [](ticker_control_interface& t, const arguments& a) {
    t.set_loop(a.text(0));
    return ticker_result{true, ""};
  });
  add("pause_ticker", 0, {}, [](ticker_control_interface& t, const arguments&) {
    t.pause_ticker();
    return ticker_result{true, "Running pause on ticker"};
  });
  add("continue_ticker", 0, {}, [](ticker_control_interface& t, const arguments&) {
    t.continue_ticker();
    return ticker_result{true, "Running continue on ticker"};
  });
  // The two listings take any arguments and ignore them.
  add("GetGroups", std::nullopt, {}, [](ticker_control_interface& t, const arguments&) {
    return ticker_result{true, t.GetGroups()};
  });
  add("GetGroupsWithContent", std::nullopt, {}, [](ticker_control_interface& t, const arguments&) {
    return ticker_result{true, t.GetGroupsWithContent()};
  });
  return commands;
}

// The sub-commands that carry a group document, as their last argument.
struct group_document_command {
  std::string_view name;
  std::size_t arguments;
  group_placement placement;
};
constexpr group_document_command group_document_commands[] = {
    {"AddGroupAfterGroup", 2, group_placement::after_group},
    {"AddGroupAfterCurrent", 1, group_placement::after_current},
    {"AddGroupToRunOncePriorityQueue", 1, group_placement::run_once_queue},
};

// Built once: a message costs a lookup, not a table.
const sub_command_table& sub_commands() {
  static const sub_command_table table = make_sub_commands();
  return table;
}

}  // namespace

ticker_protocol_control_adapter::ticker_protocol_control_adapter(std::shared_ptr<ticker_control_interface> ticker)
    : ticker_(std::move(ticker)) {}

// The argument count is checked before any conversion, and both before the ticker is touched.
ticker_result ticker_protocol_control_adapter::execute(const field_list& fields) {
  if (fields.size() < 4) return {false, " Wrong argument count. Expected at least 4."};
  const auto found = sub_commands().find(fields[3]);
  if (found == sub_commands().end()) return {false, "Command not implemented on ticker: '" + fields[3] + "'"};
  const sub_command& command = found->second;
  const std::size_t got = fields.size() - 4;
  if (command.count && got != *command.count)
    return {false, fields[3] + ": Wrong argument count. Got " + std::to_string(got) + ", expected " +
                       std::to_string(*command.count) + "."};
  arguments args(fields);
  if (auto failed = args.convert(command.integers)) return *failed;
  return command.call(*ticker_, args);
}

std::unique_ptr<group_operation> ticker_protocol_control_adapter::start_staged(const field_list& fields) {
  if (fields.size() < 5 || fields.back().size() < staged_document_size) return nullptr;
  for (const auto& command : group_document_commands) {
    if (fields[3] != command.name) continue;
    if (fields.size() - 4 != command.arguments) return nullptr;
    static const std::string no_group_to_follow;
    const std::string& follow_name = command.arguments == 2 ? fields[4] : no_group_to_follow;
    return ticker_->StartGroupOperation(command.placement, follow_name, fields.back());
  }
  return nullptr;
}

ticker_result ticker_protocol_control_adapter::staged_result(const field_list& fields, bool success) {
  return outcome(success, fields[3] + " failed.");
}

}  // namespace orv
