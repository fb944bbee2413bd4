#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orv::bench {

// What the line client reports for one server: replies per second over the run, and the
// round trip of a whole pipelined batch.
struct line_figures {
  double replies_per_s = 0;
  double batch_p50_us = 0;
  double batch_p99_us = 0;
};

// Reads the client's "name value" lines; nullopt unless all three figures are there.
std::optional<line_figures> parse_line_figures(std::string_view output);

// Runs the line client at program against a loopback port: request (with \r and \n written
// as escapes), connections, pipeline depth, seconds.
std::optional<line_figures> run_line_client(const std::string& program, int port, const std::string& request,
                                            int connections, int depth, int seconds);

}  // namespace orv::bench
