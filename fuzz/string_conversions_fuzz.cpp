// Strings as automation clients pass them, one UTF-16 unit per two bytes, and byte strings as
// the engine hands them back: every reply must be valid UTF-8 on the bus.
#include <cstring>
#include <string>

#include "automation/automation_types.h"
#include "fuzz/fuzz_support.h"

using namespace orv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  // Valid UTF-8 decodes to what was encoded, so a decode, encode, decode changes nothing.
  const orv::bstr decoded = orv::utf8_output_conversion(bytes);
  require(orv::utf8_output_conversion(orv::to_utf8(*decoded)) == decoded, "replies are valid UTF-8");

  std::u16string units(size / 2, u'\0');
  std::memcpy(units.data(), data, units.size() * 2);
  const orv::bstr text = units;
  const std::string name = orv::name_conversion(text), xml = orv::xml_conversion(text);
  // A byte-order mark asks for UTF-8, which must be valid whatever the units, lone surrogates too.
  if (!units.empty() && units.front() == 0xFEFF)
    require(orv::to_utf8(*orv::utf8_output_conversion(name)) == name, "marked names become valid UTF-8");
  // UTF-16 takes two bytes a unit, UTF-8 at most three (four for a pair of two).
  require(xml.size() <= units.size() * 3 && name.size() <= units.size() * 3, "conversions stay within their bounds");
  return 0;
}
