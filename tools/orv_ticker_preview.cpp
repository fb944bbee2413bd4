// orv_ticker_preview: a stand-in renderer. Pulls one ticker's elements the way a renderer
// plug-in does and shows them, as a listing or as a one-line scroller.

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <boost/program_options.hpp>

#include "renderer/orv_renderer.h"

namespace po = boost::program_options;
using namespace std::chrono_literals;

namespace {

const char* const usage =
    "Usage: orv_ticker_preview TICKER [--interval MS] [--count N] [--scroll]\n"
    "\n"
    "Asks the Orv Ticker Service for TICKER's next element every interval and prints it:\n"
    "its design, then label, attribute and text of each value, then the upcoming section\n"
    "titles. With --scroll it draws a one-line scroller from the texts instead. --count\n"
    "stops after N elements; without it the preview runs until interrupted.\n";

std::string text(const orv_renderer_text& t) { return std::string(t.data, t.size); }

std::string quoted(const orv_renderer_text& t) {
  std::string q(1, '"');
  q.append(t.data, t.size);
  q += '"';
  return q;
}

struct options {
  std::string ticker;
  int interval_ms = 500;
  long count = -1;  // no limit
  bool scroll = false;
};

// A request that gets no answer for this long is reported; the preview then asks again.
int request_timeout(const options& o) { return o.interval_ms * 4 > 2000 ? o.interval_ms * 4 : 2000; }

class preview {
 public:
  preview(orv_renderer_channel* channel, const options& o) : channel_(channel), options_(o) {}

  // False when the request failed; the reason has been reported unless it repeats.
  bool next(orv_renderer_element& element) {
    const int status = orv_renderer_request(channel_, request_timeout(options_));
    if (status != ORV_RENDERER_OK) {
      if (status != last_failure_)
        std::cerr << "orv_ticker_preview: " << orv_renderer_status_text(status) << ": "
                  << orv_renderer_last_error(channel_) << std::endl;
      last_failure_ = status;
      return false;
    }
    last_failure_ = ORV_RENDERER_OK;
    if (orv_renderer_read_element(channel_, &element) != ORV_RENDERER_OK) {
      std::cerr << "orv_ticker_preview: " << orv_renderer_last_error(channel_) << std::endl;
      return false;
    }
    return true;
  }

  void print(long number, const orv_renderer_element& element) {
    if (element.design.size == 0 && element.value_count == 0) {
      std::cout << "#" << number << " (empty)\n";
    } else {
      std::cout << "#" << number << " design " << quoted(element.design) << "\n";
      for (size_t i = 0; i < element.value_count; ++i) {
        const auto& v = element.values[i];
        std::cout << "  label " << quoted(v.label) << " attribute " << quoted(v.attribute) << " text "
                  << quoted(v.text) << "\n";
      }
    }
    // The title area repeats a section once per upcoming group; show each title once, and
    // only when the list changed.
    orv_renderer_titles titles{};
    if (orv_renderer_read_titles(channel_, &titles) == ORV_RENDERER_OK) {
      std::vector<std::string> distinct;
      for (size_t i = 0; i < titles.count; ++i)
        if (std::find(distinct.begin(), distinct.end(), text(titles.titles[i])) == distinct.end())
          distinct.push_back(text(titles.titles[i]));
      if (distinct != shown_titles_) {
        std::cout << "  titles:";
        for (const auto& title : distinct) std::cout << " \"" << title << "\"";
        std::cout << "\n";
        shown_titles_ = std::move(distinct);
      }
    }
    std::cout << std::flush;
  }

 private:
  orv_renderer_channel* channel_;
  const options& options_;
  int last_failure_ = ORV_RENDERER_OK;
  std::vector<std::string> shown_titles_;
};

int run_listing(preview& p, const options& o) {
  orv_renderer_element element{};
  for (long shown = 0; o.count < 0 || shown < o.count;) {
    const auto started = std::chrono::steady_clock::now();
    if (p.next(element)) p.print(++shown, element);
    if (o.count >= 0 && shown >= o.count) break;
    std::this_thread::sleep_until(started + std::chrono::milliseconds(o.interval_ms));
  }
  return 0;
}

int terminal_width() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    const int n = std::atoi(columns);
    if (n > 0) return n;
  }
  return 80;
}

// The scroller moves one column per frame and, like a lower-third scroller, asks for the
// next element only when the text waiting to enter the line runs short.
int run_scroller(preview& p, const options& o) {
  const std::size_t width = static_cast<std::size_t>(terminal_width() > 1 ? terminal_width() - 1 : 1);
  const auto frame = 60ms;
  std::string tape(width, ' ');
  std::size_t offset = 0;
  long taken = 0;
  auto last_request = std::chrono::steady_clock::now() - std::chrono::milliseconds(o.interval_ms);
  orv_renderer_element element{};
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    const bool want_more = o.count < 0 || taken < o.count;
    if (want_more && tape.size() - offset < 2 * width && now - last_request >= std::chrono::milliseconds(o.interval_ms)) {
      last_request = now;
      if (p.next(element)) {
        ++taken;
        std::string line;
        for (size_t i = 0; i < element.value_count; ++i) {
          const auto& v = element.values[i];
          if (v.label.size > 0 && v.label.data[0] == '_') continue;  // control values, not shown
          if (!line.empty()) line += ' ';
          line += text(v.text);
        }
        if (!line.empty()) tape += line + "  +++  ";
      }
    }
    if (!want_more && tape.size() - offset <= width) break;
    if (tape.size() - offset > width) ++offset;
    std::cout << "\r" << tape.substr(offset, width) << std::flush;
    if (offset > 4 * width) {  // keep the tape short
      tape.erase(0, offset);
      offset = 0;
    }
    std::this_thread::sleep_for(frame);
  }
  std::cout << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  po::options_description described("Options");
  described.add_options()("interval", po::value<int>(&o.interval_ms)->default_value(500), "milliseconds between requests")(
      "count", po::value<long>(&o.count), "stop after this many elements")("scroll", "draw a one-line scroller")(
      "ticker", po::value<std::string>(&o.ticker), "ticker name")("help", "this text");
  po::positional_options_description positional;
  positional.add("ticker", 1);
  try {
    po::variables_map parsed;
    po::store(po::command_line_parser(argc, argv).options(described).positional(positional).run(), parsed);
    po::notify(parsed);
    if (parsed.count("help")) {
      std::cout << usage;
      return 0;
    }
    if (!parsed.count("ticker") || o.interval_ms <= 0 || (parsed.count("count") && o.count < 0))
      throw po::error("a ticker name, a positive interval and a count of zero or more are needed");
    o.scroll = parsed.count("scroll") > 0;
  } catch (const po::error& e) {
    std::cerr << "orv_ticker_preview: " << e.what() << "\n\n" << usage;
    return 2;
  }

  orv_renderer_channel* channel = nullptr;
  if (int status = orv_renderer_open(o.ticker.data(), o.ticker.size(), &channel); status != ORV_RENDERER_OK) {
    std::cerr << "orv_ticker_preview: cannot open ticker " << o.ticker << ": " << orv_renderer_status_text(status)
              << std::endl;
    return 2;
  }
  preview p(channel, o);
  const int result = o.scroll ? run_scroller(p, o) : run_listing(p, o);
  orv_renderer_close(channel);
  return result;
}
