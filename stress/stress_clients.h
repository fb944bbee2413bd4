#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orv::stress {

using boost::asio::ip::tcp;
using clock = std::chrono::steady_clock;

// What the well-behaved tickertalk clients saw, summed over all of them.
struct talk_totals {
  std::int64_t sent = 0;
  std::int64_t answered = 0;
  std::int64_t error_replies = 0;
  std::int64_t out_of_order = 0;  // a reply whose tag was not the one expected next
  std::int64_t lost = 0;          // connections that failed or closed with replies missing
  int finished = 0;
  std::vector<double> latencies_ms;
};

// The totals handed to the functions below must outlive the io_context's handlers.

// One tickertalk connection that sends `count` commands from `commands`, at most `depth`
// of them unanswered, and checks that each reply carries the tag of its command.
void start_talk_client(boost::asio::io_context& io, const tcp::endpoint& service,
                       const std::vector<std::vector<std::string>>& commands, int count, int depth,
                       talk_totals& totals);

// What the misbehaving clients did and how the service took it.
struct fault_totals {
  int started = 0;
  int closed_by_service = 0;  // the service ended the connection (expected for most faults)
  std::int64_t bytes_sent = 0;
};

enum class fault_kind {
  garbage,         // random bytes, line ends included
  oversize_field,  // an escaped field longer than any message may be
  vanish,          // half a message, then gone
  never_reads,     // asks for long replies and never reads them
};

// ticker names the ticker the fault's commands address.
void start_fault_client(boost::asio::io_context& io, const tcp::endpoint& service, const std::string& ticker,
                        fault_kind kind, std::uint32_t seed, fault_totals& totals);

// A log listener on the event port: one that reads every line, or one that greets and
// then never reads.
struct listener_totals {
  std::int64_t lines_read = 0;
  bool silent_dropped = false;  // the service ended the connection of the one that never reads
};

// Returns what closes both. totals must outlive the io_context's handlers.
std::function<void()> start_log_listeners(boost::asio::io_context& io, const tcp::endpoint& events,
                                          listener_totals& totals);

// Blocking round trip for set-up and checks: the fields of the reply, empty on failure.
std::vector<std::string> talk_once(const tcp::endpoint& service, const std::vector<std::string>& command);

// A message in the wire form of tickertalk, line end included.
std::string render(const std::vector<std::string>& fields);

}  // namespace orv::stress
