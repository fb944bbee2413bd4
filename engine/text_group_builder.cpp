#include "engine/text_group_builder.h"

#include <cstdio>

#include "engine/ticker_group.h"
#include "engine/value_encoding.h"

namespace orv {

namespace {

// Shorter "////" texts are ordinary words that happen to start with slashes.
constexpr std::size_t min_base64_text = 61;
constexpr char single_word_marker[] = "\xFF\xFF\xFF\xFF";

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Splits off every tag. Blanks after a tag move to the piece before it, so a tag piece is
// the bare tag and the word in front keeps the spacing.
std::vector<std::string> CutAtTags(const std::string& text, const text_tables& tables) {
  // Each tag's next place in the text, searched again only once the cut has passed it:
  // searching every tag from every cut would make a long text with many tags quadratic.
  struct next_place {
    const std::string* tag;
    std::size_t at;
  };
  std::vector<next_place> places;
  // On equal positions the tag met first wins: icon tags before design tags.
  for (const text_table* table : {&tables.icon_designs, &tables.designs})
    for (const auto& [candidate, design] : *table)
      if (!candidate.empty()) places.push_back({&candidate, text.find(candidate)});

  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    std::size_t found = std::string::npos;
    const std::string* tag = nullptr;
    for (next_place& place : places) {
      if (place.at < start) place.at = text.find(*place.tag, start);
      if (place.at < found) {
        found = place.at;
        tag = place.tag;
      }
    }
    if (!tag) break;
    std::string before = text.substr(start, found - start);
    std::size_t after = found + tag->size();
    while (after < text.size() && text[after] == ' ') {
      before += ' ';
      ++after;
    }
    pieces.push_back(std::move(before));
    pieces.push_back(*tag);
    start = after;
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

// A word keeps its trailing blanks; leading blanks form a word of their own; a tab starts
// the next word instead of ending this one, so none is lost.
void CutIntoWords(const std::string& piece, std::vector<std::string>& words) {
  std::string word;
  bool in_blanks = false;
  auto emit = [&] {
    if (!word.empty()) words.push_back(std::move(word));
    word.clear();
    in_blanks = false;
  };
  for (char c : piece) {
    if (c == ' ') {
      word += c;
      in_blanks = true;
    } else if (c == '\t') {
      emit();
      word = c;
    } else {
      if (in_blanks) emit();
      word += c;
    }
  }
  emit();
}

std::string FormatKey(int counter) {
  char key[16];
  std::snprintf(key, sizeof key, "%04d", counter);
  return key;
}

}  // namespace

std::vector<std::string> TextToWords(const std::string& original, const text_tables& tables) {
  std::string text =
      starts_with(original, "////") && original.size() >= min_base64_text ? decode_base64(original) : original;
  if (starts_with(text, single_word_marker)) return {text};
  std::vector<std::string> words;
  for (const std::string& piece : CutAtTags(text, tables)) CutIntoWords(piece, words);
  return words;
}

void BuildTextGroup(TickerGroup& group, const text_input& input, const text_tables& tables) {
  std::string current_design = input.textdesign;
  bool started = false;
  int counter = 0;

  auto new_element = [&] {
    TickerElement element;
    element.SetKey(FormatKey(counter++));
    return element;
  };
  // The log message and the entry command belong to whichever element is shown first.
  auto start_with = [&](TickerElement& element) {
    element.SetLogMsg(input.logmsg);
    if (!input.on_enter.empty()) element.AddValue("_", "onEnter", input.on_enter);
    started = true;
  };

  if (!input.startdesign.empty()) {
    TickerElement element = new_element();
    element.SetDesign(input.startdesign);
    start_with(element);
    group.StoreElement(element);
  }

  for (const std::string& word : TextToWords(input.text, tables)) {
    TickerElement element = new_element();
    if (auto design = tables.designs.find(word); design != tables.designs.end()) {
      current_design = design->second;
    } else if (auto icon = tables.icon_designs.find(word); icon != tables.icon_designs.end()) {
      element.SetDesign(icon->second);
      if (auto command = tables.icon_commands.find(word); command != tables.icon_commands.end())
        element.AddValue("_", "onEnter", command->second);
    } else {
      element.SetDesign(current_design);
      const std::string& label = current_design == input.textdesign ? input.textpart : current_design;
      element.AddValue(label, "text", word);
    }
    if (input.padding != 0) element.AddValue("_", "padding", std::to_string(input.padding));
    if (!started) start_with(element);
    group.StoreElement(element);
  }

  if (!input.enddesign.empty()) {
    TickerElement element = new_element();
    element.SetDesign(input.enddesign);
    if (!started) start_with(element);
    group.StoreElement(element);
  }
}

void BuildFlipGroup(TickerGroup& group, const std::string& text, const std::string& design,
                    const std::string& textpart, const std::string& logmsg, std::int32_t duration,
                    const std::string& on_enter, const std::string& on_exit) {
  TickerElement element;
  element.SetKey("a");
  element.SetDesign(design);
  element.AddValue(textpart, "text", text);
  if (duration > 0) element.AddValue("_", "duration", std::to_string(duration));
  if (!on_enter.empty()) element.AddValue("_", "onEnter", on_enter);
  if (!on_exit.empty()) element.AddValue("_", "onExit", on_exit);
  element.SetLogMsg(logmsg);
  group.StoreElement(element);
}

std::string NextRunOnceName() {
  // 64 bits: a counter that wrapped would be undefined and would repeat names.
  static long long counter = 0;
  char name[32];
  std::snprintf(name, sizeof name, "runonce_%lld", counter++);
  return name;
}

}  // namespace orv
