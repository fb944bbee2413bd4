// Group XML as clients send it with the placement commands, then a few rounds of showing
// its elements with time passing, as the scheduler drives a group.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/quillmere_ticker_manager.h"
#include "engine/ticker_clock.h"
#include "engine/ticker_group.h"
#include "fuzz/fuzz_support.h"

using namespace orv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = (quiet_cerr(), true);
  (void)quiet;
  orv::scoped_ticker_clock clock(1'700'000'000);
  auto log = std::make_shared<discarding_logger>();
  auto manager = std::make_shared<orv::QuillmereTickerManager>(nullptr, log, nullptr);
  auto group = std::make_shared<orv::TickerGroup>(manager, "fuzz", log, false);
  if (!group->ParseXML(std::string(reinterpret_cast<const char*>(data), size))) {
    require(group->elements().empty(), "a failed parse leaves elements behind");
    return 0;
  }
  const std::string stored = group->StoredXml();
  auto copy = std::make_shared<orv::TickerGroup>(manager, "", log, false);
  require(copy->ParseXML(stored) && copy->StoredXml() == stored, "the stored form does not read back");

  orv::TickerElement out;
  const std::size_t per_round = group->elements().size() + 2;
  for (int round = 0; round < 4; ++round) {
    group->StartRound();
    group->IsDue();
    for (std::size_t i = 0; i < per_round && group->HasNextElement(); ++i) group->NextElement(out);
    clock.advance(round * 7);
  }
  group->GetContentXml();
  if (!group->elements().empty()) {
    const std::string first = group->elements().begin()->first;
    require(group->GetElement(first, out) && out.key() == first, "element not found by its own key");
    require(group->DeleteElement(first), "element cannot be deleted");
    group->NextElement(out);
  }
  return 0;
}
