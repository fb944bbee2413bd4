// One ticker driven the way its clients and its renderer drive it: every control operation
// with arbitrary group XML, names and numbers, clock steps and renderer requests, in any
// order. After each request: it advanced the carousel no more than its bound, and it gave
// an element unless no live carousel group has anything to show.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "engine/quillmere_ticker_manager.h"
#include "engine/supplier_base.h"
#include "engine/ticker_clock.h"
#include "engine/ticker_control.h"
#include "fuzz/fuzz_support.h"

using namespace orv::fuzz;

namespace {

// Few names, so that operations meet the groups that earlier ones placed.
std::string some_name(FuzzedDataProvider& in) {
  static const std::array<const char*, 5> names = {"A", "B", "C", "D", ""};
  if (in.ConsumeIntegralInRange(0, 15) == 0) return in.ConsumeRandomLengthString(4);
  return names[in.ConsumeIntegralInRange<std::size_t>(0, names.size() - 1)];
}

std::int32_t some_number(FuzzedDataProvider& in) {
  static const std::array<std::int32_t, 10> edges = {INT32_MIN, -1000, -2, -1, 0, 1, 2, 3, 60, INT32_MAX};
  if (in.ConsumeBool()) return in.ConsumeIntegral<std::int32_t>();
  return edges[in.ConsumeIntegralInRange<std::size_t>(0, edges.size() - 1)];
}

// A numeric attribute as a client might write it, garbage included.
std::string some_number_text(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: return in.ConsumeRandomLengthString(6);
    case 1: return "99999999999";
    default: return std::to_string(some_number(in));
  }
}

std::string element_xml(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange(0, 7) == 0) return in.ConsumeRandomLengthString(32);
  std::string xml = "<element key=\"k" + std::to_string(in.ConsumeIntegralInRange(0, 5)) + "\"";
  if (in.ConsumeIntegralInRange(0, 3) == 0) xml += " priority_skip=\"yes\"";
  if (in.ConsumeIntegralInRange(0, 7) == 0) xml += " role=\"main\"";
  xml += ">";
  if (in.ConsumeIntegralInRange(0, 3) == 0) xml += "<ttl>" + some_number_text(in) + "</ttl>";
  if (in.ConsumeIntegralInRange(0, 7) == 0) xml += "<value label=\"active\">0</value>";
  return xml + "<value label=\"t\" attribute=\"text\">x</value></element>";
}

std::string group_xml(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange(0, 15) == 0) return in.ConsumeRandomLengthString(64);
  static const std::array<const char*, 6> attributes = {"chunking", "duration", "interval", "ttl", "immortal", "name"};
  std::string xml = "<group name=\"" + some_name(in) + "\"";
  for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n) {
    const std::string attribute = attributes[in.ConsumeIntegralInRange<std::size_t>(0, attributes.size() - 1)];
    const std::string value = attribute == "immortal" ? (in.ConsumeBool() ? "no" : "yes")
                              : attribute == "name"   ? some_name(in)
                                                      : some_number_text(in);
    xml += " " + attribute + "=\"" + value + "\"";
  }
  xml += ">";
  if (in.ConsumeBool()) xml += "<section>S" + some_name(in) + "</section>";
  if (in.ConsumeIntegralInRange(0, 15) == 0) xml += "<subscribeurl>http://hub/x</subscribeurl>";
  for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n) xml += element_xml(in);
  return xml + "</group>";
}

orv::text_table some_tags(FuzzedDataProvider& in) {
  orv::text_table table;
  for (int n = in.ConsumeIntegralInRange(0, 2); n > 0; --n) table[in.ConsumeRandomLengthString(3)] = "D";
  return table;
}

// Asks for titles whenever the ticker says they changed, as the real supplier does.
struct title_listener : orv::supplier_base {
  void set_stream(std::weak_ptr<orv::element_stream> s) override { stream = std::move(s); }
  void clear() override {}
  void refresh_titles() override {
    if (auto s = stream.lock()) require(s->GetUpcomingSections().size() <= 16, "more than 16 titles");
  }
  std::weak_ptr<orv::element_stream> stream;
};

// GetGroupNames lists the carousel first; GetGroups lists only the carousel, one name a
// line. Names may hold line feeds, so the count comes from the lengths.
std::size_t carousel_size(orv::TickerControl& ticker, const std::vector<std::string>& names) {
  const std::size_t listed = ticker.GetGroups().size();
  std::size_t carousel = 0;
  for (std::size_t length = 0; carousel < names.size() && length < listed; ++carousel)
    length += names[carousel].size() + 1;
  return carousel;
}

// Whether some carousel group is live (not marked) and has something to show. Names shared
// with an independent group are left out: GetGroup could not tell the two apart.
bool carousel_has_content(orv::TickerControl& ticker) {
  const std::vector<std::string> names = ticker.GetGroupNames();
  const std::size_t carousel = carousel_size(ticker, names);
  for (std::size_t i = 0; i < carousel; ++i) {
    bool also_independent = false;
    for (std::size_t j = carousel; j < names.size(); ++j) also_independent |= names[j] == names[i];
    std::shared_ptr<orv::TickerGroup> group;
    if (!also_independent && ticker.GetGroup(names[i], group) && !group->IsMarked() && !group->IsEmpty()) return true;
  }
  return false;
}

struct scheduler_run {
  explicit scheduler_run(bool ignore_inactive) : ignore_inactive(ignore_inactive) {
    ticker->set_listener(listener);
    listener->set_stream(ticker);
    ticker->set_on_loop([this](const std::string&) {
      ++loops;
      // A wrap pauses the ticker in loop mode "no"; running dry does not.
      if (loop_mode_no && !running_dry) paused = true;
    });
  }

  void request() {
    const bool paused_before = paused;
    const std::size_t bound =
        orv::TickerControl::MaxAdvancesPerRequest(carousel_size(*ticker, ticker->GetGroupNames()));
    loops = 0;
    orv::TickerElement out;
    const bool answered = ticker->GetNextElement(out);
    require(loops <= bound, "a request advanced past its bound");  // every wrap is an advance
    if (paused_before) {
      require(!answered, "a paused ticker answered");
    } else if (!answered && !paused) {
      require(!carousel_has_content(*ticker), "no answer while the carousel has content");
    }
    if (answered && !out.key().empty()) ticker->GetUpcomingSections();
  }

  bool ignore_inactive;
  std::shared_ptr<discarding_logger> log = std::make_shared<discarding_logger>();
  std::shared_ptr<orv::TickerControl> ticker = std::make_shared<orv::TickerControl>(
      "fuzz", std::make_shared<orv::QuillmereTickerManager>(nullptr, log, nullptr), log, ignore_inactive);
  std::shared_ptr<title_listener> listener = std::make_shared<title_listener>();
  std::size_t loops = 0;
  bool running_dry = false;
  bool paused = false;
  bool loop_mode_no = false;
};

void step(FuzzedDataProvider& in, scheduler_run& run, orv::scoped_ticker_clock& clock) {
  orv::TickerControl& t = *run.ticker;
  orv::TickerElement element;
  std::shared_ptr<orv::TickerGroup> group;
  auto text = [&] { return in.ConsumeRandomLengthString(12); };
  switch (in.ConsumeIntegralInRange(0, 40)) {
    case 0: t.GetTickerName(); break;
    case 1: t.SetDesigns(some_tags(in)); break;
    case 2: t.SetIcons(some_tags(in), some_tags(in)); break;
    case 3: t.Flush(); break;
    case 4: t.MarkGroupForDeletion(some_name(in)); break;
    case 5: t.ClearAll(); break;
    case 6: t.AddGroupAfterGroup(some_name(in), group_xml(in)); break;
    case 7: t.AddGroupToRunOncePriorityQueue(group_xml(in)); break;
    case 8: t.SetNextGroup(some_name(in)); break;
    case 9:
      t.AddTTLGroupFromText(some_name(in), some_name(in), text(), "D", "", "", "P", some_number(in), "", "",
                            some_number(in));
      break;
    case 10: t.AddIndependentGroup(group_xml(in)); break;
    case 11: t.AddGroupAfterCurrent(group_xml(in)); break;
    case 12: t.GetGroup(some_name(in), group); break;
    case 13: run.request(); break;
    case 14: t.GetCurrentGroupName(); break;
    case 15: t.DeleteElement(some_name(in), "k" + std::to_string(in.ConsumeIntegralInRange(0, 5))); break;
    case 16: t.AddPriorityGroup(some_name(in)); break;
    case 17: t.GetPriorityQueueSize(); break;
    case 18: t.DeleteGroup(some_name(in)); break;
    case 19: t.GetGroupNames(); break;
    case 20: t.ClearGroup(some_name(in)); break;
    case 21: t.GetElement(some_name(in), "k" + std::to_string(in.ConsumeIntegralInRange(0, 5)), element); break;
    case 22: t.UpdateElement(some_name(in), element_xml(in)); break;
    case 23: t.PutElement(some_name(in), element_xml(in)); break;
    case 24: t.AddGroupSuperseedCurrent(group_xml(in)); break;
    case 25: t.AddGroupBeforeCurrent(group_xml(in)); break;
    case 26: t.RunOnce(text(), "D", text(), "", "P", some_number(in), "", ""); break;
    case 27: t.MoveGroup(some_name(in), some_name(in)); break;
    case 28: t.AddGroupFromText(some_name(in), some_name(in), text(), "D", "", text(), "P", some_number(in), "", ""); break;
    case 29: t.AddIndGroupFromText(some_number(in), some_name(in), text(), "D", "", "", "P", some_number(in), "", ""); break;
    case 30: t.AddFlipGroupFromText(some_name(in), some_name(in), text(), "D", "P", "", some_number(in), "", ""); break;
    case 31: t.AddIndFlipGroupFromText(some_number(in), some_name(in), text(), "D", "P", "", some_number(in), "", ""); break;
    case 32: {
      static const std::array<const char*, 3> modes = {"yes", "no", "YES"};
      const std::string mode = modes[in.ConsumeIntegralInRange<std::size_t>(0, modes.size() - 1)];
      t.set_loop(mode);
      if (mode != "YES") run.loop_mode_no = mode == "no";
      break;
    }
    case 33: t.continue_ticker(); run.paused = false; break;
    case 34: t.pause_ticker(); run.paused = true; break;
    case 35: t.GetGroups(); break;
    case 36: t.GetGroupsWithContent(); break;
    // Wall clocks jump both ways.
    case 37: clock.advance(in.ConsumeIntegralInRange(-120, 900)); break;
    case 38:
      run.running_dry = true;
      t.OnStreamEmpty();
      run.running_dry = false;
      break;
    default:
      for (int n = in.ConsumeIntegralInRange(1, 8); n > 0; --n) run.request();
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = (quiet_cerr(), true);
  (void)quiet;
  FuzzedDataProvider in(data, size);
  orv::scoped_ticker_clock clock(1'700'000'000);
  scheduler_run run(in.ConsumeBool());
  while (in.remaining_bytes() > 0) step(in, run, clock);
  run.request();
  return 0;
}
