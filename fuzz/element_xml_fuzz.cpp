// Element XML as clients send it with PutElement and UpdateElement.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/ticker_element.h"
#include "fuzz/fuzz_support.h"

using namespace orv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const orv::TickerElement element(std::string(reinterpret_cast<const char*>(data), size));
  const std::string written = element.ToXml();
  require(written.find(element.key()) != std::string::npos, "written XML lacks the key");
  require(element.key().empty() == orv::element_summary(element).empty(), "summary of an element without key");

  // The element shared under its key, as a group keeps it, then under another one.
  auto index = std::make_shared<orv::element_key_index>();
  {
    auto shared = std::make_shared<orv::sharedTickerElement>(element, index);
    require(element.key().empty() || index->find(element.key()) == shared, "shared element not found by key");
    shared->SetKey(element.key() + "'");
    require(index->find(element.key()) == nullptr, "old key still indexed");
    shared->ConsumeShowing();
  }
  require(index->size() == 0, "a dead element left an index entry");
  return 0;
}
