// Texts that become groups word by word, with design and icon tags cut out of them, as
// clients send them with AddGroupFromText and RunOnce.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>

#include "engine/quillmere_ticker_manager.h"
#include "engine/text_group_builder.h"
#include "engine/ticker_clock.h"
#include "engine/ticker_control.h"
#include "fuzz/fuzz_support.h"

using namespace orv::fuzz;

namespace {

orv::text_table some_tags(FuzzedDataProvider& input) {
  orv::text_table table;
  for (int n = input.ConsumeIntegralInRange(0, 3); n > 0; --n) {
    std::string tag = input.ConsumeRandomLengthString(6);
    table[tag] = input.ConsumeRandomLengthString(6);
  }
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = (quiet_cerr(), true);
  (void)quiet;
  FuzzedDataProvider input(data, size);
  const orv::text_table designs = some_tags(input);
  const orv::text_table icon_designs = some_tags(input);
  const orv::text_table icon_commands = some_tags(input);
  const std::string textdesign = input.ConsumeRandomLengthString(6);
  const std::string startdesign = input.ConsumeRandomLengthString(6);
  const std::string enddesign = input.ConsumeRandomLengthString(6);
  const std::string textpart = input.ConsumeRandomLengthString(6);
  const std::string on_enter = input.ConsumeRandomLengthString(6);
  const auto padding = input.ConsumeIntegral<std::int32_t>();
  const std::string text = input.ConsumeRemainingBytesAsString();

  // Cutting moves blanks but never drops or adds a byte, unless the text is base64 to decode.
  const auto words = orv::TextToWords(text, orv::text_tables{designs, icon_designs, icon_commands});
  std::size_t word_bytes = 0;
  for (const std::string& word : words) {
    require(!word.empty(), "empty word");
    word_bytes += word.size();
  }
  require(text.rfind("////", 0) == 0 || word_bytes == text.size(), "words do not add up to the text");

  orv::scoped_ticker_clock clock(1'700'000'000);
  auto log = std::make_shared<discarding_logger>();
  auto ticker = std::make_shared<orv::TickerControl>(
      "fuzz", std::make_shared<orv::QuillmereTickerManager>(nullptr, log, nullptr), log, false);
  ticker->SetDesigns(designs);
  ticker->SetIcons(icon_designs, icon_commands);
  ticker->AddGroupFromText("", "text", text, textdesign, startdesign, enddesign, textpart, padding, "log", on_enter);
  ticker->AddTTLGroupFromText("text", "ttl", text, textdesign, startdesign, enddesign, textpart, padding, "log",
                              on_enter, 2);
  ticker->AddFlipGroupFromText("ttl", "flip", text, textdesign, textpart, "log", padding, on_enter, enddesign);
  ticker->RunOnce(text, textdesign, startdesign, enddesign, textpart, padding, "log", on_enter);
  orv::TickerElement out;
  for (std::size_t i = 0; i < 3 * (words.size() + 4); ++i) ticker->GetNextElement(out);
  ticker->GetGroupsWithContent();
  return 0;
}
