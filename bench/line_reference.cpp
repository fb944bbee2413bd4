#include "bench/line_reference.h"

#include <charconv>

#include "bench/child_process.h"

namespace orv::bench {

std::optional<line_figures> parse_line_figures(std::string_view output) {
  std::optional<double> rate, p50, p99;
  while (!output.empty()) {
    const std::size_t end = std::min(output.find('\n'), output.size());
    const std::string_view line = output.substr(0, end);
    output.remove_prefix(std::min(end + 1, output.size()));
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, space), text = line.substr(space + 1);
    double value = 0;
    const auto [stop, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || stop != text.data() + text.size()) continue;
    if (name == "replies_per_s") rate = value;
    else if (name == "batch_p50_us") p50 = value;
    else if (name == "batch_p99_us") p99 = value;
  }
  if (!rate || !p50 || !p99) return std::nullopt;
  return line_figures{*rate, *p50, *p99};
}

std::optional<line_figures> run_line_client(const std::string& program, int port, const std::string& request,
                                            int connections, int depth, int seconds) {
  const auto output = output_of(program, {"127.0.0.1", std::to_string(port), request, std::to_string(connections),
                                          std::to_string(depth), std::to_string(seconds)});
  if (!output) return std::nullopt;
  return parse_line_figures(*output);
}

}  // namespace orv::bench
