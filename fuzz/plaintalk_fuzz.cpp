// The framing parser: how bytes arrive in chunks must not change the messages cut from
// them, and any fields sent as a message must come back as the same fields.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/fuzz_support.h"

using namespace orv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool()) {
    const std::size_t chunk = input.ConsumeIntegralInRange<std::size_t>(1, 17);
    const std::string bytes = input.ConsumeRemainingBytesAsString();
    const framed whole = frame(bytes);
    const framed pieces = frame(bytes, chunk);
    require(whole.messages == pieces.messages, "chunking changes the messages");
    require(whole.broken == pieces.broken, "chunking changes whether the stream breaks");
    require(whole.refused_tag == pieces.refused_tag, "chunking changes the tag a refusal names");
    return 0;
  }

  std::vector<std::string> fields;
  vorn::message message;
  while (input.remaining_bytes() > 0 && fields.size() < 64) {
    fields.push_back(input.ConsumeRandomLengthString(64));
    if (fields.size() == 1)
      message.start(fields.back());
    else
      message.add_field(fields.back());
  }
  if (fields.empty()) return 0;
  require(message.field_count() == fields.size(), "field count");
  const framed back = frame(message.text() + "\r\n");
  require(!back.broken, "a rendered message breaks the framing");
  require(back.messages.size() == 1 && back.messages[0] == fields, "fields do not survive a round trip");
  return 0;
}
