#pragma once

#include <expat.h>

#include <algorithm>
#include <memory>
#include <string_view>

namespace orv {

using expat_parser = std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)>;

// Expat salts its hash tables against crafted names; left to itself it asks the system for
// a fresh salt on every document, which costs more than parsing a small one. One secret
// salt for the whole process protects as well.
unsigned long expat_hash_salt();

inline expat_parser make_expat_parser() {
  expat_parser parser(XML_ParserCreate(nullptr), &XML_ParserFree);
  if (parser) XML_SetHashSalt(parser.get(), expat_hash_salt());
  return parser;
}

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
