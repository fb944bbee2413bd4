#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/ticker_control_interface.h"
#include "hosting/ticker_result.h"

namespace orv {

// Turns one "on_ticker" message (tag, "on_ticker", ticker name, sub-command, arguments) into
// one call on the ticker. Built for a single message; holding the ticker keeps it alive for
// the call even if it is deleted from the registry meanwhile.
class ticker_protocol_control_adapter {
 public:
  using field_list = std::vector<std::string>;

  explicit ticker_protocol_control_adapter(std::shared_ptr<ticker_control_interface> ticker);

  ticker_result execute(const field_list& fields);

  // Group documents at least this long are read over several loop turns.
  static constexpr std::size_t staged_document_size = 32 * 1024;
  // A group document sub-command whose document is that long, started: the caller reads the
  // document with the operation's read_some, then finish gives what execute would have.
  // Null for any other message, which execute then carries out. fields must outlive it.
  std::unique_ptr<group_operation> start_staged(const field_list& fields);
  static ticker_result staged_result(const field_list& fields, bool success);

 private:
  std::shared_ptr<ticker_control_interface> ticker_;
};

// An optional sign and decimal digits, optionally followed by white space, within 32 bits.
// Leading white space and any other character are refused.
std::optional<std::int32_t> parse_integer_argument(const std::string& text);

}  // namespace orv
