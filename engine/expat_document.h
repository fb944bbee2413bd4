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

// Expat takes int lengths, so a very long text goes to it in slices of at most this.
inline constexpr std::size_t most_parsed_at_once = std::size_t{1} << 30;

// Parses a whole document.
inline bool parse_document(XML_Parser parser, std::string_view text) {
  constexpr std::size_t slice = most_parsed_at_once;
  do {
    const std::size_t length = std::min(text.size(), slice);
    const bool last = length == text.size();
    if (XML_Parse(parser, text.data(), static_cast<int>(length), last) != XML_STATUS_OK) return false;
    text.remove_prefix(length);
  } while (!text.empty());
  return true;
}

// How many bytes to hand the parser next, when a text goes to it a part at a time: about
// wanted, of the left bytes after the fed ones. A token cut by the end of a slice is scanned
// again from its start with the next one; a slice at least as long as the bytes the parser
// holds back keeps that rescanning within twice the text, however long one tag is.
inline std::size_t next_slice(XML_Parser parser, std::size_t fed, std::size_t left, std::size_t wanted) {
  const XML_Index parsed = XML_GetCurrentByteIndex(parser);
  const std::size_t held = parsed < 0 ? fed : fed - std::min(fed, static_cast<std::size_t>(parsed));
  return std::min({std::max(wanted, held), left, most_parsed_at_once});
}

}  // namespace orv
