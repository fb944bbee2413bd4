#include "engine/value_encoding.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace orv {

namespace {

int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Reads one UTF-8 sequence at text[pos]; returns its length, or 0 when it is malformed
// (truncated, overlong, surrogate or beyond U+10FFFF).
std::size_t read_utf8(std::string_view text, std::size_t pos, char32_t& code_point) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const unsigned char lead = byte(0);
  std::size_t length;
  char32_t minimum;
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, code_point = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code_point = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code_point = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code_point = (code_point << 6) | (byte(i) & 0x3F);
  }
  if (code_point < minimum || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) return 0;
  return length;
}

// The host code page is fixed to Windows-1252: U+0000..U+007F and U+00A0..U+00FF map to
// themselves, the characters below to bytes 0x80..0x9F, everything else to '?'.
constexpr std::array<char16_t, 32> windows_1252_high = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char to_windows_1252(char32_t code_point) {
  if (code_point < 0x80 || (code_point >= 0xA0 && code_point <= 0xFF)) return static_cast<char>(code_point);
  for (std::size_t i = 0; i < windows_1252_high.size(); ++i)
    if (windows_1252_high[i] != 0 && windows_1252_high[i] == code_point) return static_cast<char>(0x80 + i);
  return '?';
}

constexpr std::size_t single_byte_cap = 65535;

}  // namespace

std::string decode_base64(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '\0') break;
    const int value = base64_value(static_cast<unsigned char>(c));
    if (value < 0) continue;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    if (++count == 4) {
      out += static_cast<char>(bits >> 16);
      out += static_cast<char>((bits >> 8) & 0xFF);
      out += static_cast<char>(bits & 0xFF);
      bits = 0;
      count = 0;
    }
  }
  if (count == 2) {
    out += static_cast<char>(bits >> 4);
  } else if (count == 3) {
    out += static_cast<char>(bits >> 10);
    out += static_cast<char>((bits >> 2) & 0xFF);
  }
  // The value is used as a C string.
  if (const auto zero = out.find('\0'); zero != std::string::npos) out.resize(zero);
  return out;
}

std::string encode_base64(std::string_view bytes) {
  static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t bits = 0;
    for (std::size_t j = 0; j < 3; ++j)
      bits = (bits << 8) | (j < n ? static_cast<unsigned char>(bytes[i + j]) : 0u);
    for (std::size_t j = 0; j < 4; ++j) out += j <= n ? alphabet[(bits >> (18 - 6 * j)) & 0x3F] : '=';
  }
  return out;
}

std::string utf8_to_single_byte(std::string_view text) {
  std::string out;
  for (std::size_t pos = 0; pos < text.size();) {
    char32_t code_point;
    const std::size_t length = read_utf8(text, pos, code_point);
    if (length == 0) return "";
    if (out.size() < single_byte_cap) out += to_windows_1252(code_point);
    pos += length;
  }
  return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    char32_t code_point;
    std::size_t length = read_utf8(text, pos, code_point);
    if (length == 0) {
      code_point = 0xFFFD;
      length = 1;
    }
    if (code_point >= 0x10000) {
      code_point -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (code_point >> 10));
      out += static_cast<char16_t>(0xDC00 + (code_point & 0x3FF));
    } else {
      out += static_cast<char16_t>(code_point);
    }
    pos += length;
  }
  return out;
}

std::string decode_value(std::string text, bool base64, bool single_byte) {
  if (base64) return decode_base64(text);
  if (single_byte) return utf8_to_single_byte(text);
  return text;
}

std::string trim_blanks(std::string_view text) {
  constexpr std::string_view blanks = "\n\r\t ";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return "";
  return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

std::int32_t loose_int(const std::string& text) {
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  return static_cast<std::int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

}  // namespace orv
