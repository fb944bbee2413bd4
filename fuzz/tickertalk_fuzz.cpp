// A tickertalk connection fed whatever a client may send, through the dispatcher and the
// command adapter to real tickers. Every message with a tag gets exactly one reply, and so does
// one whose framing breaks after its tag.
#include <cstdint>
#include <memory>
#include <string>

#include "control/tickertalk.h"
#include "engine/ticker_clock.h"
#include "engine/ticker_element.h"
#include "fuzz/fuzz_support.h"
#include "host/app_core.h"
#include "hosting/ticker_manager.h"

using namespace orv::fuzz;

namespace {

// Replies and events alike start with a tag; events use "*", so client messages tagged
// "*" are left out of the count.
std::size_t tagged(const framed& f) {
  std::size_t n = 0;
  for (const auto& fields : f.messages) n += !fields.empty() && !fields[0].empty() && fields[0] != "*";
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = (quiet_cerr(), true);
  (void)quiet;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  orv::scoped_ticker_clock clock(1'700'000'000);
  auto log = std::make_shared<discarding_logger>();
  auto core = std::make_shared<orv::app_core>(nullptr, nullptr, log, 6301, false);
  auto tickers = std::make_shared<orv::ticker_manager>(core);
  core->ticker_manager = tickers;
  auto factory = std::make_shared<orv::tickertalk_factory>(log, tickers.get());
  core->tickertalk_factory = factory;

  memory_transport wire;
  auto connection = factory->create_protocol();
  connection->attach_transport(wire);
  for (std::string_view rest = bytes; (!rest.empty() || connection->has_work_left()) && wire.is_open();)
    rest.remove_prefix(connection->data_received(rest.data(), rest.size()));
  connection->detach_transport();

  // The tickers the messages made are then asked for elements, as a renderer would.
  for (const std::string& name : {"T", "news"}) {
    if (auto ticker = tickers->GetTicker(name)) {
      orv::TickerElement out;
      for (int i = 0; i < 8; ++i) ticker->GetNextElement(out);
    }
  }
  // A message that breaks the framing is answered too, when its tag was complete.
  const framed sent = frame(bytes);
  const bool refusal_tagged = sent.broken && !sent.refused_tag.empty() && sent.refused_tag != "*";
  require(tagged(frame(wire.written)) == tagged(sent) + refusal_tagged, "a tagged message got no reply, or two");
  // The core and the registry refer to each other; the program parts them the same way.
  core->tickertalk_factory.reset();
  core->ticker_manager.reset();
  return 0;
}
