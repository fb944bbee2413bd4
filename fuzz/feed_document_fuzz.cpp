// Documents from the feed hub applied to a subscribed group: up to three documents in a
// row, split at NUL bytes (which no XML document holds), so later ones update elements
// the earlier ones made. The group is then shown for a round.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/quillmere_ticker_manager.h"
#include "engine/ticker_clock.h"
#include "engine/ticker_group.h"
#include "feed/group_change_integrator.h"
#include "fuzz/fuzz_support.h"

using namespace orv::fuzz;

namespace {

// Keeps the subscriber the group's subscription gets, instead of connecting anywhere.
struct captured_client : orv::quillmere_client_base {
  orv::quillmere_subscription subscribe(const std::vector<std::string>&,
                                        std::shared_ptr<orv::quillmere_subscriber> s) override {
    subscriber = s;
    return s;
  }
  std::shared_ptr<orv::quillmere_subscriber> subscriber;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orv::scoped_ticker_clock clock(1'700'000'000);
  auto log = std::make_shared<discarding_logger>();
  auto client = std::make_shared<captured_client>();
  auto manager = std::make_shared<orv::QuillmereTickerManager>(client, log, orv::make_group_change_integrator);
  auto group = std::make_shared<orv::TickerGroup>(manager, "G", log, size % 2 == 0);
  require(group->ParseXML("<group name=\"G\"><subscribeurl>http://hub/g</subscribeurl>"
                          "<element key=\"own\"><value label=\"L\">mine</value></element></group>"),
          "the seed group parses");
  group->Subscribe();
  require(client->subscriber != nullptr, "the group subscribed");

  std::string_view rest(reinterpret_cast<const char*>(data), size);
  for (int document = 0; document < 3 && !rest.empty(); ++document) {
    const std::size_t end = rest.find('\0');
    client->subscriber->receive(std::string(rest.substr(0, end)));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  require(group->elements().count("own") == 1, "a feed document removed the group's own element");

  orv::TickerElement out;
  group->StartRound();
  for (std::size_t i = 0; i < group->elements().size() + 2 && group->HasNextElement(); ++i) group->NextElement(out);
  group->GetContentXml();
  group->CloseSubscription();
  return 0;
}
