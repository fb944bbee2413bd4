// Engine benchmarks. The figures that matter are ratios measured in the same run: the
// element rate of a large carousel against a small one, every control operation at 10,
// 1,000 and 10,000 groups, and element and group parsing against Expat alone reading the
// same bytes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/figures.h"
#include "engine/expat_document.h"
#include "engine/quillmere_ticker_manager.h"
#include "engine/text_group_builder.h"
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

// A renderer asks for one element per element it shows, and between two requests the
// service and the renderer go about everything else, which takes the ticker's data out of
// the processor's caches. So between requests this touches 4 MiB of other memory, several
// times a second-level cache, the same at every carousel size. Back to back (above), a
// small carousel stays in that cache and a large one cannot: the same instructions and
// the same lines touched per request, served from a nearer cache.
void get_next_element_paced(benchmark::State& state) {
  TickerControl& ticker = *carousel_of(static_cast<int>(state.range(0))).ticker;
  static std::vector<char> other_work(std::size_t{4} << 20);
  TickerElement out;
  for (auto _ : state) {
    for (std::size_t i = 0; i < other_work.size(); i += 64) ++other_work[i];
    const auto start = steady::now();
    const bool given = ticker.GetNextElement(out);
    state.SetIterationTime(seconds_since(start));
    if (!given) state.SkipWithError("no element");
  }
}

// A carousel whose groups have all run dry but the last: each round of that group is
// followed by a request that moves past all the others.
void get_next_element_exhausted(benchmark::State& state) {
  const int groups = static_cast<int>(state.range(0));
  TickerControl ticker("bench_exhausted", feed_manager(), nullptr, false);
  for (int g = 0; g < groups; ++g) {
    const std::string name = "g" + std::to_string(g);
    ticker.AddGroupAfterGroup(g ? "g" + std::to_string(g - 1) : "", group_xml(name, 10));
    if (g + 1 < groups) ticker.ClearGroup(name);
  }
  TickerElement out;
  for (auto _ : state)
    if (!ticker.GetNextElement(out)) state.SkipWithError("no element");
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

// The floor of element parsing: Expat with no handlers reading the same bytes, with a
// parser made the same way.
void expat_alone_element_parse(benchmark::State& state) {
  const std::string xml = element_xml(4711);
  for (auto _ : state) {
    auto parser = make_expat_parser();
    if (!parse_document(parser.get(), xml)) state.SkipWithError("parse failed");
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


// Every control operation at each carousel size. Each works on the same ten groups spread
// over the carousel at every size (all of them at 10), so a cost that grows with the
// carousel shows and the size of the working set in the processor's caches does not: an
// operator repeats operations on a handful of groups, whatever the carousel holds. The
// spread benchmarks above (priority_group, next_group) pick a new group each time and show
// what a cold group costs. Work that must be undone runs outside the timed part.
struct operation_case {
  const char* name;
  std::function<bool(carousel&, std::int64_t)> timed;
  std::function<void(carousel&, std::int64_t)> before = nullptr;
  std::function<void(carousel&, std::int64_t)> after = nullptr;
};

const std::string& working_name(const carousel& c, std::int64_t i) {
  const std::size_t step = c.names.size() / 10;
  return c.names[static_cast<std::size_t>(i % 10) * step];
}

constexpr const char* middle_key = "k000050";

bool place_small(carousel& c, const std::string& name, std::int64_t i) {
  return c.ticker->AddGroupAfterGroup(working_name(c, i), group_xml(name, 1));
}

void drop(carousel& c, const std::string& name) { c.ticker->DeleteGroup(name); }

// The name the next RunOnce gives its group, by taking one from the same counter.
std::string next_run_once_name() {
  const std::string taken = NextRunOnceName();
  return "runonce_" + std::to_string(std::stoll(taken.substr(taken.find('_') + 1)) + 1);
}

const std::vector<operation_case>& operation_cases() {
  static const text_table designs = {{"a", "design_a"}, {"b", "design_b"}, {"c", "design_c"}};
  static const std::string one_element = element_xml(50);
  static std::string run_once_name;
  static const std::vector<operation_case> cases = {
      {"GetTickerName", [](carousel& c, std::int64_t) { return !c.ticker->GetTickerName().empty(); }},
      {"SetDesigns", [](carousel& c, std::int64_t) { c.ticker->SetDesigns(designs); return true; }},
      {"SetIcons", [](carousel& c, std::int64_t) { c.ticker->SetIcons(designs, designs); return true; }},
      {"Flush", [](carousel& c, std::int64_t) { c.ticker->Flush(); return true; }},
      {"MarkGroupForDeletion", [](carousel& c, std::int64_t) { return c.ticker->MarkGroupForDeletion("bench_marked"); },
       [](carousel& c, std::int64_t i) { place_small(c, "bench_marked", i); }},
      {"AddGroupAfterGroup",
       [](carousel& c, std::int64_t i) { return place_small(c, "bench_placed", i); }, nullptr,
       [](carousel& c, std::int64_t) { drop(c, "bench_placed"); }},
      {"AddGroupToRunOncePriorityQueue",
       [](carousel& c, std::int64_t) {
         return c.ticker->AddGroupToRunOncePriorityQueue(group_xml("bench_run_once", 1));
       },
       nullptr,
       [](carousel& c, std::int64_t) {
         // Its one element, then the call that finds it done and drops it.
         TickerElement out;
         c.ticker->GetNextElement(out);
         c.ticker->GetNextElement(out);
       }},
      {"SetNextGroup", [](carousel& c, std::int64_t i) { return c.ticker->SetNextGroup(working_name(c, i)); },
       nullptr,
       [](carousel& c, std::int64_t) {
         TickerElement out;
         c.ticker->GetNextElement(out);
       }},
      {"AddTTLGroupFromText",
       [](carousel& c, std::int64_t i) {
         return c.ticker->AddTTLGroupFromText(working_name(c, i), "bench_ttl_text", "one two three", "word", "", "",
                                              "text", 0, "", "", 3);
       },
       nullptr, [](carousel& c, std::int64_t) { drop(c, "bench_ttl_text"); }},
      {"AddIndependentGroup",
       [](carousel& c, std::int64_t) { return c.ticker->AddIndependentGroup(group_xml("bench_independent", 1)); },
       nullptr, [](carousel& c, std::int64_t) { drop(c, "bench_independent"); }},
      {"AddGroupAfterCurrent",
       [](carousel& c, std::int64_t) { return c.ticker->AddGroupAfterCurrent(group_xml("bench_after", 1)); }, nullptr,
       [](carousel& c, std::int64_t) { drop(c, "bench_after"); }},
      {"GetGroup",
       [](carousel& c, std::int64_t i) {
         std::shared_ptr<TickerGroup> group;
         return c.ticker->GetGroup(working_name(c, i), group);
       }},
      {"GetCurrentGroupName", [](carousel& c, std::int64_t) { return !c.ticker->GetCurrentGroupName().empty(); }},
      {"DeleteElement", [](carousel& c, std::int64_t i) { return c.ticker->DeleteElement(working_name(c, i), middle_key); },
       nullptr, [](carousel& c, std::int64_t i) { c.ticker->PutElement(working_name(c, i), one_element); }},
      {"AddPriorityGroup", [](carousel& c, std::int64_t i) { return c.ticker->AddPriorityGroup(working_name(c, i)); },
       nullptr,
       [](carousel& c, std::int64_t) {
         TickerElement out;
         c.ticker->Flush();
         c.ticker->GetNextElement(out);
       }},
      {"GetPriorityQueueSize", [](carousel& c, std::int64_t) { return c.ticker->GetPriorityQueueSize() == 0; }},
      {"DeleteGroup", [](carousel& c, std::int64_t) { return c.ticker->DeleteGroup("bench_deleted"); },
       [](carousel& c, std::int64_t i) { place_small(c, "bench_deleted", i); }},
      {"GetGroupNames", [](carousel& c, std::int64_t) { return !c.ticker->GetGroupNames().empty(); }},
      {"ClearGroup", [](carousel& c, std::int64_t) { return c.ticker->ClearGroup("bench_cleared"); },
       [](carousel& c, std::int64_t i) { place_small(c, "bench_cleared", i); },
       [](carousel& c, std::int64_t) { drop(c, "bench_cleared"); }},
      {"GetElement",
       [](carousel& c, std::int64_t i) {
         TickerElement out;
         return c.ticker->GetElement(working_name(c, i), middle_key, out);
       }},
      {"UpdateElement", [](carousel& c, std::int64_t i) { return c.ticker->UpdateElement(working_name(c, i), one_element); }},
      {"PutElement", [](carousel& c, std::int64_t i) { return c.ticker->PutElement(working_name(c, i), one_element); }},
      {"AddGroupSuperseedCurrent",
       [](carousel& c, std::int64_t) {
         return c.ticker->AddGroupSuperseedCurrent(group_xml("bench_superseding", 1));
       },
       nullptr, [](carousel& c, std::int64_t) { drop(c, "bench_superseding"); }},
      {"AddGroupBeforeCurrent",
       [](carousel& c, std::int64_t) { return c.ticker->AddGroupBeforeCurrent(group_xml("bench_before", 1)); },
       nullptr, [](carousel& c, std::int64_t) { drop(c, "bench_before"); }},
      {"RunOnce",
       [](carousel& c, std::int64_t) {
         return c.ticker->RunOnce("one two three", "word", "", "", "text", 0, "", "");
       },
       [](carousel&, std::int64_t) { run_once_name = next_run_once_name(); },
       [](carousel& c, std::int64_t) { drop(c, run_once_name); }},
      {"MoveGroup",
       [](carousel& c, std::int64_t i) { return c.ticker->MoveGroup("bench_moved", working_name(c, i + 3)); },
       [](carousel& c, std::int64_t i) { place_small(c, "bench_moved", i); },
       [](carousel& c, std::int64_t) { drop(c, "bench_moved"); }},
      {"AddGroupFromText",
       [](carousel& c, std::int64_t i) {
         return c.ticker->AddGroupFromText(working_name(c, i), "bench_text", "one two three", "word", "", "", "text",
                                           0, "", "");
       },
       nullptr, [](carousel& c, std::int64_t) { drop(c, "bench_text"); }},
      {"AddIndGroupFromText",
       [](carousel& c, std::int64_t) {
         return c.ticker->AddIndGroupFromText(60, "bench_ind_text", "one two three", "word", "", "", "text", 0, "", "");
       },
       nullptr, [](carousel& c, std::int64_t) { drop(c, "bench_ind_text"); }},
      {"AddFlipGroupFromText",
       [](carousel& c, std::int64_t i) {
         return c.ticker->AddFlipGroupFromText(working_name(c, i), "bench_flip", "one two", "flip", "text", "", 5, "",
                                               "");
       },
       nullptr, [](carousel& c, std::int64_t) { drop(c, "bench_flip"); }},
      {"AddIndFlipGroupFromText",
       [](carousel& c, std::int64_t) {
         return c.ticker->AddIndFlipGroupFromText(60, "bench_ind_flip", "one two", "flip", "text", "", 5, "", "");
       },
       nullptr, [](carousel& c, std::int64_t) { drop(c, "bench_ind_flip"); }},
      {"set_loop", [](carousel& c, std::int64_t) { c.ticker->set_loop("yes"); return true; }},
      {"continue_ticker", [](carousel& c, std::int64_t) { c.ticker->continue_ticker(); return true; }},
      {"pause_ticker", [](carousel& c, std::int64_t) { c.ticker->pause_ticker(); return true; }, nullptr,
       [](carousel& c, std::int64_t) { c.ticker->continue_ticker(); }},
      {"GetGroups", [](carousel& c, std::int64_t) { return !c.ticker->GetGroups().empty(); }},
      {"GetGroupsWithContent", [](carousel& c, std::int64_t) { return !c.ticker->GetGroupsWithContent().empty(); }},
  };
  return cases;
}

void operation(benchmark::State& state, const operation_case& op) {
  carousel& c = carousel_of(static_cast<int>(state.range(0)));
  std::int64_t i = 0;
  if (!op.before && !op.after) {
    for (auto _ : state)
      if (!op.timed(c, i++)) state.SkipWithError("operation failed");
    return;
  }
  for (auto _ : state) {
    if (op.before) op.before(c, i);
    const auto start = steady::now();
    const bool done = op.timed(c, i);
    state.SetIterationTime(seconds_since(start));
    if (op.after) op.after(c, i);
    ++i;
    if (!done) state.SkipWithError("operation failed");
  }
}

// Emptying a ticker of that many one-element groups, built afresh each time. The service
// frees the groups over later turns; what the call's own turn costs is timed.
void clear_all(benchmark::State& state) {
  const int groups = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::vector<std::shared_ptr<void>> released;
    TickerControl ticker("bench_clear", feed_manager(), nullptr, false);
    ticker.set_release([&](std::vector<std::shared_ptr<void>> dropped) { released = std::move(dropped); });
    for (int g = 0; g < groups; ++g) ticker.AddGroupAfterCurrent(group_xml("g" + std::to_string(g), 1));
    const auto start = steady::now();
    ticker.ClearAll();
    state.SetIterationTime(seconds_since(start));
    if (!ticker.GetGroups().empty()) state.SkipWithError("not cleared");
  }
}

// The 37 operations in the order of the control interface, and the instance that measures each.
std::vector<std::pair<std::string, std::string>> operation_instances() {
  std::vector<std::pair<std::string, std::string>> instances;
  for (const operation_case& op : operation_cases()) instances.emplace_back(op.name, std::string("op_") + op.name);
  instances.emplace_back("GetNextElement", "get_next_element");
  instances.emplace_back("ClearAll", "clear_all");
  return instances;
}

void register_benchmarks() {
  for (int size : carousel_sizes) {
    benchmark::RegisterBenchmark("get_next_element", get_next_element)->Arg(size);
    benchmark::RegisterBenchmark("get_next_element_exhausted", get_next_element_exhausted)->Arg(size);
    benchmark::RegisterBenchmark("get_next_element_paced", get_next_element_paced)
        ->Arg(size)
        ->UseManualTime()
        ->Iterations(1000);
    benchmark::RegisterBenchmark("place_group", place_group)->Arg(size)->UseManualTime();
    benchmark::RegisterBenchmark("delete_group", delete_group)->Arg(size)->UseManualTime();
    benchmark::RegisterBenchmark("priority_group", priority_group)->Arg(size);
    benchmark::RegisterBenchmark("next_group", next_group)->Arg(size);
    for (const operation_case& op : operation_cases()) {
      auto* instance = benchmark::RegisterBenchmark((std::string("op_") + op.name).c_str(), operation, op)->Arg(size);
      // Untimed work around each call would otherwise take many times the timed part.
      if (op.before || op.after) instance->UseManualTime()->Iterations(2000);
    }
    benchmark::RegisterBenchmark("clear_all", clear_all)->Arg(size)->UseManualTime()->Iterations(3);
  }
  benchmark::RegisterBenchmark("element_xml_write", element_xml_write);
  benchmark::RegisterBenchmark("element_xml_parse", element_xml_parse);
  benchmark::RegisterBenchmark("expat_alone_element_parse", expat_alone_element_parse);
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
    add("get_next_element_exhausted_" + n + "_groups", ratio(1e6, runs.rate("get_next_element_exhausted/" + n)), "us");
  }
  for (const auto& [size, built] : carousels())
    add("fill_carousel_" + std::to_string(size) + "_groups", built.fill_seconds, "s");
  add("get_next_element_slowdown_10000_vs_10_groups",
      ratio(runs.rate("get_next_element/10"), runs.rate("get_next_element/10000")), "x");
  for (int size : carousel_sizes) {
    const std::string n = std::to_string(size);
    add("get_next_element_paced_" + n + "_groups", ratio(1e6, runs.rate("get_next_element_paced/" + n)), "us");
  }
  add("get_next_element_paced_slowdown_10000_vs_10_groups",
      ratio(runs.rate("get_next_element_paced/10"), runs.rate("get_next_element_paced/10000")), "x");
  add("get_next_element_paced_slowdown_1000_vs_10_groups",
      ratio(runs.rate("get_next_element_paced/10"), runs.rate("get_next_element_paced/1000")), "x");
  for (const char* operation : {"place_group", "delete_group", "priority_group", "next_group"}) {
    for (int size : carousel_sizes) {
      const std::string instance = std::string(operation) + "/" + std::to_string(size);
      add(std::string(operation) + "_" + std::to_string(size) + "_groups", ratio(1e6, runs.rate(instance)), "us");
    }
  }
  add("element_xml_write", runs.rate("element_xml_write"), "elements/s");
  for (const auto& [operation, instance] : operation_instances()) {
    double cost[3] = {};
    for (int s = 0; s < 3; ++s) {
      const std::string n = std::to_string(carousel_sizes[s]);
      cost[s] = ratio(1e6, runs.rate(instance + "/" + n));
      add("op." + operation + "." + n, cost[s], "us");
    }
    add("op." + operation + ".1000_vs_10", ratio(cost[1], cost[0]), "x");
    add("op." + operation + ".10000_vs_10", ratio(cost[2], cost[0]), "x");
  }
  add("element_xml_parse", runs.rate("element_xml_parse"), "elements/s");
  add("expat_alone_element_parse", runs.rate("expat_alone_element_parse"), "elements/s");
  add("element_xml_parse_vs_expat_alone",
      ratio(runs.rate("expat_alone_element_parse"), runs.rate("element_xml_parse")), "x");
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
