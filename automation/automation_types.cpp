#include "automation/automation_types.h"

#include <algorithm>
#include <cstdio>

namespace orv {

namespace {

constexpr char16_t byte_order_mark = 0xFEFF;
constexpr char32_t replacement = 0xFFFD;

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_utf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

bool is_high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

std::string utf8_of(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (is_high_surrogate(u) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      append_utf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else {
      append_utf8(out, is_high_surrogate(u) || is_low_surrogate(u) ? replacement : char32_t(u));
    }
  }
  return out;
}

std::u16string_view up_to_nul(const std::u16string& text) {
  return std::u16string_view(text).substr(0, text.find(u'\0'));
}

std::string low_bytes(std::u16string_view units) {
  std::string out(units.size(), '\0');
  std::transform(units.begin(), units.end(), out.begin(), [](char16_t u) { return static_cast<char>(u); });
  return out;
}

bool all_below(std::u16string_view units, char16_t limit) {
  return std::all_of(units.begin(), units.end(), [limit](char16_t u) { return u < limit; });
}

std::string utf16_big_endian(const std::u16string& text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char16_t u : text) {
    out += static_cast<char>(u >> 8);
    out += static_cast<char>(u & 0xFF);
  }
  return out;
}

// Rules 3 and 4 of the name conversion.
std::string latin1_or_utf8(const std::u16string& text) {
  const auto head = up_to_nul(text);
  return all_below(head, 256) ? low_bytes(head) : utf8_of(text);
}

// Length of the valid sequence starting at bytes[i], or of its longest valid beginning
// (at least 1) with ok = false.
std::size_t utf8_sequence(const std::string& bytes, std::size_t i, char32_t& code, bool& ok) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = b(i);
  ok = false;
  if (lead < 0x80) {
    code = lead;
    ok = true;
    return 1;
  }
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 1;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (i + k >= bytes.size()) return k;
    const unsigned char c = b(i + k);
    if (c < low || c > high) return k;
    low = 0x80;
    high = 0xBF;
    code = (code << 6) | (c & 0x3F);
  }
  ok = true;
  return length;
}

}  // namespace

std::string hresult_text(hresult code) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

std::string name_conversion(const bstr& text) {
  if (!text || text->empty()) return "";
  if (text->front() == byte_order_mark) return utf8_of(std::u16string_view(*text).substr(1));
  return latin1_or_utf8(*text);
}

std::string xml_conversion(const bstr& text) {
  if (!text || text->empty()) return "";
  if (text->front() == byte_order_mark) return utf16_big_endian(*text);
  const std::u16string& t = *text;
  if (t.size() > 3 && t[0] == 0xEF && t[1] == 0xBB && t[2] == 0xBF)
    return all_below(t, 256) ? low_bytes(t) : utf16_big_endian(t);
  return latin1_or_utf8(t);
}

std::string utf8_name_conversion(const bstr& text) { return text ? utf8_of(up_to_nul(*text)) : ""; }

bstr utf8_output_conversion(const std::string& bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t code = 0;
    bool ok = false;
    i += utf8_sequence(bytes, i, code, ok);
    append_utf16(out, ok ? code : replacement);
  }
  return out;
}

bstr byte_output_conversion(const std::string& bytes) {
  std::u16string out(bytes.size(), u'\0');
  std::transform(bytes.begin(), bytes.end(), out.begin(), [](char c) { return static_cast<unsigned char>(c); });
  return out;
}

std::string to_utf8(const std::u16string& text) { return utf8_of(text); }

}  // namespace orv
