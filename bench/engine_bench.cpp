// Engine benchmarks. The figures that matter are ratios measured in the same run: the
// element rate of a large carousel against a small one, and group parsing against Expat
// alone reading the same bytes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/figures.h"
#include "engine/expat_document.h"
#include "engine/quillmere_ticker_manager.h"
#include "engine/ticker_control.h"
#include "engine/ticker_element.h"
#include "engine/ticker_group.h"

namespace orv::bench {
namespace {

constexpr int carousel_sizes[] = {10, 1000, 10000};
constexpr int elements_per_group = 100;

// A quote as a market feed sends it: three labelled values and a design.
std::string element_xml(int i) {
  char xml[320];
  std::snprintf(xml, sizeof xml,
                "<element key=\"k%06d\"><design>quote</design>"
                "<value label=\"name\" attribute=\"text\">Company %d</value>"
                "<value label=\"price\" attribute=\"text\">%d.%02d</value>"
                "<value label=\"change\" attribute=\"text\">+0.%02d</value></element>",
                i, i, 100 + i % 900, i % 100, i % 100);
  return xml;
}

std::string group_xml(const std::string& name, int elements) {
  std::string xml = "<group name=\"" + name + "\"><defaultdesign>quote</defaultdesign>";
  for (int i = 0; i < elements; ++i) xml += element_xml(i);
  return xml + "</group>";
}

// A group document of at least min_bytes.
std::string group_document(std::size_t min_bytes) {
  std::string xml = "<group name=\"market\"><defaultdesign>quote</defaultdesign>";
  for (int i = 0; xml.size() + 8 < min_bytes; ++i) xml += element_xml(i);
  return xml + "</group>";
}

std::shared_ptr<QuillmereTickerManager> feed_manager() {
  return std::make_shared<QuillmereTickerManager>(nullptr, nullptr, nullptr);
}

struct carousel {
  std::shared_ptr<TickerControl> ticker;
  std::vector<std::string> names;  // in carousel order
  double fill_seconds = 0;         // placing all of them
};

std::map<int, carousel>& carousels() {
  static std::map<int, carousel> built;
  return built;
}

using steady = std::chrono::steady_clock;
double seconds_since(steady::time_point start) {
  return std::chrono::duration<double>(steady::now() - start).count();
}

// Built once per size by the ordinary placement path, each group after the previous one,
// and shared by every benchmark of that size.
carousel& carousel_of(int groups) {
  carousel& c = carousels()[groups];
  if (c.ticker) return c;
  std::vector<std::string> documents;
  for (int g = 0; g < groups; ++g) {
    char name[32];
    std::snprintf(name, sizeof name, "group%05d", g);
    c.names.push_back(name);
    documents.push_back(group_xml(name, elements_per_group));
  }
  c.ticker = std::make_shared<TickerControl>("bench", feed_manager(), nullptr, false);
  const auto start = steady::now();
  for (int g = 0; g < groups; ++g) c.ticker->AddGroupAfterGroup(g ? c.names[g - 1] : "", documents[g]);
  c.fill_seconds = seconds_since(start);
  return c;
}

// Group names spread over the whole carousel, not only its front.
const std::string& spread_name(const carousel& c, std::int64_t i) {
  return c.names[static_cast<std::size_t>(i * 7919 % static_cast<std::int64_t>(c.names.size()))];
}

void get_next_element(benchmark::State& state) {
  TickerControl& ticker = *carousel_of(static_cast<int>(state.range(0))).ticker;
  TickerElement out;
  for (auto _ : state) {
    if (!ticker.GetNextElement(out)) state.SkipWithError("no element");
    benchmark::DoNotOptimize(out);
  }
}

// Placing a one-element group after the last group, so the parse stays small and the
// scheduler's share shows.
void place_group(benchmark::State& state) {
  carousel& c = carousel_of(static_cast<int>(state.range(0)));
  const std::string xml = group_xml("placed", 1);
  for (auto _ : state) {
    const auto start = steady::now();
    const bool placed = c.ticker->AddGroupAfterGroup(c.names.back(), xml);
    state.SetIterationTime(seconds_since(start));
    if (!placed || !c.ticker->DeleteGroup("placed")) state.SkipWithError("placement failed");
  }
}

void delete_group(benchmark::State& state) {
  carousel& c = carousel_of(static_cast<int>(state.range(0)));
  const std::string xml = group_xml("placed", 1);
  for (auto _ : state) {
    if (!c.ticker->AddGroupAfterGroup(c.names.back(), xml)) state.SkipWithError("placement failed");
    const auto start = steady::now();
    const bool deleted = c.ticker->DeleteGroup("placed");
    state.SetIterationTime(seconds_since(start));
    if (!deleted) state.SkipWithError("deletion failed");
  }
}

// Queueing a group and the switch to it at the next request.
void priority_group(benchmark::State& state) {
  carousel& c = carousel_of(static_cast<int>(state.range(0)));
  TickerElement out;
  std::int64_t i = 0;
  for (auto _ : state) {
    const std::string& name = spread_name(c, i++);
    if (!c.ticker->AddPriorityGroup(name)) state.SkipWithError("not queued");
    c.ticker->Flush();
    c.ticker->GetNextElement(out);
    if (c.ticker->GetCurrentGroupName() != name) state.SkipWithError("priority group not taken");
  }
}

// Naming the next group and the switch to it at the next request.
void next_group(benchmark::State& state) {
  carousel& c = carousel_of(static_cast<int>(state.range(0)));
  TickerElement out;
  std::int64_t i = 0;
  for (auto _ : state) {
    const std::string& name = spread_name(c, i++);
    if (!c.ticker->SetNextGroup(name)) state.SkipWithError("not set");
    c.ticker->GetNextElement(out);
    if (c.ticker->GetCurrentGroupName() != name) state.SkipWithError("next group not taken");
  }
}

void element_xml_write(benchmark::State& state) {
  const TickerElement element(element_xml(4711));
  for (auto _ : state) benchmark::DoNotOptimize(element.ToXml());
}

void element_xml_parse(benchmark::State& state) {
  const std::string xml = element_xml(4711);
  for (auto _ : state) {
    TickerElement element(xml);
    benchmark::DoNotOptimize(element);
  }
}

const std::string& megabyte_document() {
  static const std::string document = group_document(std::size_t{1} << 20);
  return document;
}

void group_xml_parse(benchmark::State& state) {
  const std::string& document = megabyte_document();
  const auto manager = feed_manager();
  for (auto _ : state) {
    // A fresh group each time: parsing into a full one would only update.
    auto group = std::make_shared<TickerGroup>(manager, "market", nullptr, false);
    const auto start = steady::now();
    const bool parsed = group->ParseXML(document);
    state.SetIterationTime(seconds_since(start));
    if (!parsed || group->elements().empty()) state.SkipWithError("parse failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(document.size()));
}

// The floor: Expat with no handlers reading the same document.
void expat_alone_parse(benchmark::State& state) {
  const std::string& document = megabyte_document();
  for (auto _ : state) {
    const auto start = steady::now();
    auto parser = make_expat_parser();
    const bool parsed = parse_document(parser.get(), document);
    state.SetIterationTime(seconds_since(start));
    if (!parsed) state.SkipWithError("parse failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(document.size()));
}

void register_benchmarks() {
  for (int size : carousel_sizes) {
    benchmark::RegisterBenchmark("get_next_element", get_next_element)->Arg(size);
    benchmark::RegisterBenchmark("place_group", place_group)->Arg(size)->UseManualTime();
    benchmark::RegisterBenchmark("delete_group", delete_group)->Arg(size)->UseManualTime();
    benchmark::RegisterBenchmark("priority_group", priority_group)->Arg(size);
    benchmark::RegisterBenchmark("next_group", next_group)->Arg(size);
  }
  benchmark::RegisterBenchmark("element_xml_write", element_xml_write);
  benchmark::RegisterBenchmark("element_xml_parse", element_xml_parse);
  benchmark::RegisterBenchmark("group_xml_parse", group_xml_parse)->UseManualTime();
  benchmark::RegisterBenchmark("expat_alone_parse", expat_alone_parse)->UseManualTime();
}

figure_sheet figures_from(const collecting_reporter& runs) {
  figure_sheet sheet;
  // A benchmark left out by a filter gives no figure, and no ratio built on it.
  const auto add = [&](const std::string& name, double value, const std::string& unit) {
    if (value > 0) sheet.add(name, value, unit);
  };
  const auto ratio = [](double numerator, double denominator) {
    return numerator > 0 && denominator > 0 ? numerator / denominator : 0;
  };
  for (int size : carousel_sizes) {
    const std::string n = std::to_string(size);
    add("get_next_element_" + n + "_groups", runs.rate("get_next_element/" + n), "elements/s");
  }
  for (const auto& [size, built] : carousels())
    add("fill_carousel_" + std::to_string(size) + "_groups", built.fill_seconds, "s");
  add("get_next_element_slowdown_10000_vs_10_groups",
      ratio(runs.rate("get_next_element/10"), runs.rate("get_next_element/10000")), "x");
  for (const char* operation : {"place_group", "delete_group", "priority_group", "next_group"}) {
    for (int size : carousel_sizes) {
      const std::string instance = std::string(operation) + "/" + std::to_string(size);
      add(std::string(operation) + "_" + std::to_string(size) + "_groups", ratio(1e6, runs.rate(instance)), "us");
    }
  }
  add("element_xml_write", runs.rate("element_xml_write"), "elements/s");
  add("element_xml_parse", runs.rate("element_xml_parse"), "elements/s");
  const double mib = static_cast<double>(megabyte_document().size()) / (1 << 20);
  const double group = runs.rate("group_xml_parse");
  const double expat = runs.rate("expat_alone_parse");
  add("group_xml_parse_1mib", group * mib, "MiB/s");
  add("expat_alone_parse_1mib", expat * mib, "MiB/s");
  add("group_xml_parse_vs_expat_alone", ratio(expat, group), "x");
  return sheet;
}

}  // namespace
}  // namespace orv::bench

int main(int argc, char** argv) {
  using namespace orv::bench;
  return run_suite(argc, argv, "engine", register_benchmarks, figures_from);
}
