// Feed documents applied to a subscribed group, against Expat alone reading the same bytes
// with no handlers set: the floor any document costs before the service looks at it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/figures.h"
#include "engine/expat_document.h"
#include "engine/quillmere_ticker_manager.h"
#include "engine/ticker_control.h"
#include "engine/ticker_element.h"
#include "feed/group_change_integrator.h"
#include "runtime/buffer_release.h"

namespace orv::bench {
namespace {

constexpr int securities_per_document = 100;
// Documents take turns, so each one changes the values the previous one left.
constexpr int document_count = 8;

// A full update of a group as a market hub pushes it; with no count, as many securities as
// fit in the largest document a connection takes.
std::string feed_document(int version, int securities = securities_per_document) {
  constexpr std::size_t largest = (std::size_t{16} << 20) - 64;
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><FEED><BODY><GROUP id=\"markets\"><SECURITIES>";
  for (int i = 0; securities > 0 ? i < securities : xml.size() < largest - 400; ++i) {
    char security[400];
    std::snprintf(security, sizeof security,
                  "<SECURITY id=\"S%06d\"><NAME>Company %d</NAME><PRICE>%d.%02d</PRICE>"
                  "<CHANGE>+0.%02d</CHANGE><VOLUME>%d</VOLUME><TIME>17:%02d:%02d</TIME><active>1</active></SECURITY>",
                  i, i, 100 + i, version, (i + version) % 100, 1000 * i + version, version, i % 60);
    xml += security;
  }
  return xml + "</SECURITIES></GROUP></BODY></FEED>";
}

const std::vector<std::string>& documents() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> made;
    for (int v = 0; v < document_count; ++v) made.push_back(feed_document(v));
    return made;
  }();
  return all;
}

double mean_document_bytes() {
  double bytes = 0;
  for (const auto& d : documents()) bytes += static_cast<double>(d.size());
  return bytes / document_count;
}

// Hands the subscriber to the benchmark instead of connecting to a hub.
struct captured_client : quillmere_client_base {
  std::shared_ptr<quillmere_subscriber> subscriber;
  quillmere_subscription subscribe(const std::vector<std::string>&, std::shared_ptr<quillmere_subscriber> s) override {
    subscriber = std::move(s);
    return std::make_shared<int>(0);
  }
};

// A ticker with one subscribed group, whose documents the benchmark hands over itself.
struct market_group {
  std::shared_ptr<captured_client> client = std::make_shared<captured_client>();
  std::shared_ptr<QuillmereTickerManager> manager =
      std::make_shared<QuillmereTickerManager>(client, nullptr, make_group_change_integrator);
  TickerControl ticker{"bench", manager, nullptr, false};

  bool subscribed(benchmark::State& state) {
    if (ticker.AddGroupAfterGroup("", "<group name=\"markets\"><subscribeurl>http://hub/markets</subscribeurl></group>") &&
        client->subscriber)
      return true;
    state.SkipWithError("no subscription");
    return false;
  }
};

void feed_document_apply(benchmark::State& state) {
  market_group market;
  if (!market.subscribed(state)) return;
  std::size_t next = 0;
  for (auto _ : state) {
    market.client->subscriber->receive(documents()[next]);
    next = (next + 1) % document_count;
  }
  // The last document applied must be in place: every security, with its own price.
  const std::size_t last = (next + document_count - 1) % document_count;
  const auto element = market.manager->key_index()->find("S000099");
  const std::string price = "199." + std::string(last < 10 ? "0" : "") + std::to_string(last);
  bool priced = false;
  if (element)
    for (const auto& v : element->values()) priced = priced || (v.label == "PRICE" && v.text == price);
  if (market.manager->key_index()->size() != securities_per_document || !priced) state.SkipWithError("document not applied");
}

// The largest document a hub connection takes, applied whole, and in the parts the service
// applies it in, one a turn; the figure of the second is its longest part.
void apply_largest_document(benchmark::State& state, bool in_parts) {
  static const std::string document = feed_document(0, 0);
  market_group market;
  if (!market.subscribed(state)) return;
  auto& subscriber = *market.client->subscriber;
  // Each measured document replaces one as large: the old elements go at its end.
  subscriber.receive(document);
  std::chrono::duration<double> longest{0};
  const auto timed = [&longest](auto&& step) {
    const auto start = std::chrono::steady_clock::now();
    const bool done = step();
    longest = std::max<std::chrono::duration<double>>(longest, std::chrono::steady_clock::now() - start);
    return done;
  };
  for (auto _ : state) {
    if (!in_parts) {
      subscriber.receive(document);
      continue;
    }
    std::string handed = document;  // the connection hands its own copy over
    longest = {};
    for (bool done = timed([&] { return subscriber.start(std::move(handed)); }); !done;
         done = timed([&] { return subscriber.resume(); })) {
    }
    state.SetIterationTime(longest.count());
  }
  std::size_t securities = 0;
  for (auto at = document.find("<SECURITY "); at != std::string::npos; at = document.find("<SECURITY ", at + 1))
    ++securities;
  if (market.manager->key_index()->size() != securities) state.SkipWithError("document not applied");
}

// The floor: a parser made the same way for each document, no handlers.
void expat_alone_parse(benchmark::State& state) {
  std::size_t next = 0;
  for (auto _ : state) {
    expat_parser parser(XML_ParserCreate("UTF-8"), &XML_ParserFree);
    if (!parse_document(parser.get(), documents()[next])) state.SkipWithError("parse failed");
    next = (next + 1) % document_count;
  }
}

// Expat calling handlers that do nothing: what the callbacks alone add to the floor.
void XMLCALL ignore_start(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL ignore_end(void*, const XML_Char*) {}
void XMLCALL ignore_text(void*, const XML_Char*, int) {}

void expat_empty_handlers_parse(benchmark::State& state) {
  std::size_t next = 0;
  for (auto _ : state) {
    expat_parser parser(XML_ParserCreate("UTF-8"), &XML_ParserFree);
    XML_SetElementHandler(parser.get(), ignore_start, ignore_end);
    XML_SetCharacterDataHandler(parser.get(), ignore_text);
    if (!parse_document(parser.get(), documents()[next])) state.SkipWithError("parse failed");
    next = (next + 1) % document_count;
  }
}

void register_benchmarks() {
  benchmark::RegisterBenchmark("feed_document_apply", feed_document_apply);
  benchmark::RegisterBenchmark("expat_alone_parse", expat_alone_parse);
  benchmark::RegisterBenchmark("expat_empty_handlers_parse", expat_empty_handlers_parse);
  benchmark::RegisterBenchmark("largest_document_whole", apply_largest_document, false)->Iterations(1);
  benchmark::RegisterBenchmark("largest_document_in_parts", apply_largest_document, true)
      ->UseManualTime()
      ->Iterations(1);
}

figure_sheet figures_from(const collecting_reporter& runs) {
  figure_sheet sheet;
  const double applied = runs.rate("feed_document_apply");
  const double expat = runs.rate("expat_alone_parse");
  // A benchmark left out by a filter gives no figure, and no ratio built on it.
  if (applied > 0) sheet.add("feed_document_apply_100_securities", applied, "documents/s");
  if (expat > 0) sheet.add("expat_alone_parse_100_securities", expat, "documents/s");
  const double empty_handlers = runs.rate("expat_empty_handlers_parse");
  if (empty_handlers > 0) sheet.add("expat_empty_handlers_parse_100_securities", empty_handlers, "documents/s");
  if (applied > 0 && expat > 0) sheet.add("feed_document_apply_vs_expat_alone", expat / applied, "x");
  sheet.add("feed_document_size", mean_document_bytes(), "bytes");
  // The loop's longest stretch for the largest document, whole and in parts.
  if (const double whole = runs.rate("largest_document_whole"); whole > 0)
    sheet.add("largest_document_whole_ms", 1000 / whole, "ms");
  if (const double part = runs.rate("largest_document_in_parts"); part > 0)
    sheet.add("largest_document_longest_part_ms", 1000 / part, "ms");
  return sheet;
}

}  // namespace
}  // namespace orv::bench

int main(int argc, char** argv) {
  using namespace orv::bench;
  vorn::tune_allocator();
  return run_suite(argc, argv, "feed", register_benchmarks, figures_from);
}
