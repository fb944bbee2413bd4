#pragma once

#include <expat.h>

#include <algorithm>
#include <memory>
#include <string_view>

namespace orv {

using expat_parser = std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)>;

inline expat_parser make_expat_parser() { return expat_parser(XML_ParserCreate(nullptr), &XML_ParserFree); }

// Parses a whole document; Expat takes int lengths, so very long texts go in slices.
inline bool parse_document(XML_Parser parser, std::string_view text) {
  constexpr std::size_t slice = std::size_t{1} << 30;
  do {
    const std::size_t length = std::min(text.size(), slice);
    const bool last = length == text.size();
    if (XML_Parse(parser, text.data(), static_cast<int>(length), last) != XML_STATUS_OK) return false;
    text.remove_prefix(length);
  } while (!text.empty());
  return true;
}

}  // namespace orv
