#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace orv::bench {

// The commands one connection sends in turn, without tags: a listing of the tickers, a
// listing of the ticker's groups, and a write of one element's size. There is no command
// that stores a single element, so the write adds a one-element group of the connection's
// own after follow_group and the next command deletes it again: every write succeeds and
// the ticker never holds more than one such group per connection.
std::vector<std::vector<std::string>> command_cycle(const std::string& ticker, const std::string& follow_group,
                                                    int connection);

// What a timed load saw, summed over its connections.
struct talk_load_result {
  double seconds = 0;                // the measured window
  std::int64_t answered = 0;         // replies within the window
  std::vector<double> latencies_us;  // from send to reply, for the replies within the window
  std::int64_t error_replies = 0;    // replies whose second field is not "ok", drain included
  std::int64_t out_of_order = 0;     // replies whose tag is not the one expected next
  std::int64_t unanswered = 0;       // commands without a reply once the drain gave up
  int connections_lost = 0;
};

// Opens `connections` connections, each keeping `depth` commands of its cycle unanswered,
// for `duration`; then finishes each connection's cycle and waits a little for the replies
// still due.
// One thread: everything runs on the caller's.
talk_load_result run_talk_load(const boost::asio::ip::tcp::endpoint& service,
                               const std::vector<std::vector<std::vector<std::string>>>& cycles, int depth,
                               std::chrono::milliseconds duration);

// The value at or below which `fraction` of the sorted values lie (nearest rank); 0 when empty.
double percentile(const std::vector<double>& sorted, double fraction);

}  // namespace orv::bench
