#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/ticker_control_interface.h"

namespace orv {

class TickerGroup;

// The tables that turn tags inside a text into design switches and icon elements.
struct text_tables {
  const text_table& designs;        // tag -> design of the words after it
  const text_table& icon_designs;   // tag -> design of an icon element
  const text_table& icon_commands;  // tag -> renderer command for that icon element
};

// What a scrolling text group is built from.
struct text_input {
  const std::string& text;
  const std::string& textdesign;   // design of ordinary words, and the initial current design
  const std::string& startdesign;  // "" = no leading element
  const std::string& enddesign;    // "" = no trailing element
  const std::string& textpart;     // value label of words shown in textdesign
  std::int32_t padding;            // non-zero: every word element carries it
  const std::string& logmsg;       // log message of the first element
  const std::string& on_enter;     // renderer command on the first element, "" = none
};

// Cuts a text into the words that become elements: tags are cut out first, then each piece
// is split at blanks and tabs. A base64 text marked by a "////" prefix is decoded first; a
// text starting with four 0xFF bytes stays one word.
std::vector<std::string> TextToWords(const std::string& text, const text_tables& tables);

// Stores one element per word, keyed "0000", "0001", ... so they come out in order, framed by
// the optional start and end elements.
void BuildTextGroup(TickerGroup& group, const text_input& input, const text_tables& tables);

// Stores a single element keyed "a" that shows the whole text at once.
void BuildFlipGroup(TickerGroup& group, const std::string& text, const std::string& design,
                    const std::string& textpart, const std::string& logmsg, std::int32_t duration,
                    const std::string& on_enter, const std::string& on_exit);

// "runonce_0", "runonce_1", ...: unique across all tickers of the process.
std::string NextRunOnceName();

}  // namespace orv
