#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orv {

// An automation string: null, empty or UTF-16 text. Null and empty are different values that
// clients can pass; several methods treat them differently.
using bstr = std::optional<std::u16string>;

// A one-dimensional array of strings with its bounds, as clients pass them in a VARIANT.
struct bstr_array {
  std::int32_t lower = 0;
  std::vector<bstr> items;

  std::int32_t upper() const { return lower + static_cast<std::int32_t>(items.size()) - 1; }
};

// An automation VARIANT: empty, or holding an array of strings. Anything else a client
// sends is treated as empty, which the methods answer with a type mismatch.
using variant = std::optional<bstr_array>;

enum class hresult : std::uint32_t {
  S_OK = 0,
  E_FAIL = 0x80004005,
  E_INVALIDARG = 0x80070057,
  E_POINTER = 0x80004003,
  DISP_E_TYPEMISMATCH = 0x80020005,
  CLASS_E_NOAGGREGATION = 0x80040110,
};

// "0x" and eight upper-case hex digits.
std::string hresult_text(hresult code);

// String arguments become the engine's byte strings by one of three rules.
// Name conversion: Latin-1 bytes when every unit up to the first NUL fits, else UTF-8; a
// leading byte-order mark is dropped and forces UTF-8.
std::string name_conversion(const bstr& text);
// XML conversion: keeps what lets the XML parser detect the encoding (a UTF-16 byte-order mark
// gives big-endian UTF-16, UTF-8 bytes carried one per unit with their mark stay as they are);
// otherwise as the name conversion.
std::string xml_conversion(const bstr& text);
// UTF-8 name conversion: the units up to the first NUL as UTF-8.
std::string utf8_name_conversion(const bstr& text);

// Results: UTF-8 bytes decoded (each invalid sequence gives U+FFFD), or one unit per byte.
bstr utf8_output_conversion(const std::string& bytes);
bstr byte_output_conversion(const std::string& bytes);

// UTF-16 as UTF-8; a lone surrogate becomes U+FFFD, so the result is always valid UTF-8.
std::string to_utf8(const std::u16string& text);

}  // namespace orv
