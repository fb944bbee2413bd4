#include "engine/text_group_builder.h"

#include <algorithm>
#include <tuple>

#include "engine/ticker_group.h"
#include "tests/engine/ticker_fixture.h"

namespace orv::testing {
namespace {

TEST(TextToWords, CutsAtBlanksTabsAndTags) {
  const std::string whole =
      "\xFF\xFF\xFF\xFF"
      "one flip, never cut into words, long enough to be taken as base64";
  // Tag designs, icon designs, text, words.
  const std::vector<std::tuple<text_table, text_table, std::string, keys>> rows = {
      // Words keep their trailing blanks, leading blanks are a word, a tab starts the next word.
      {{}, {}, "one  two three", {"one  ", "two ", "three"}},
      {{}, {}, "  a", {"  ", "a"}},
      {{}, {}, "a \t\tb ", {"a ", "\t", "\tb "}},
      {{}, {}, "", {}},
      // Tags are cut out and the blanks after them go to the word before.
      {{{"TAG", "R"}}, {}, "a TAG b", {"a  ", "TAG", "b"}},
      {{{"TAG", "R"}}, {}, "TAG b", {" ", "TAG", "b"}},
      {{{"TAG", "R"}}, {}, "xTAGTAGy", {"x", "TAG", "TAG", "y"}},
      // On equal positions icon tags win, then key order; an empty tag is no tag.
      {{{"<bold>", "B"}, {"", "ignored"}}, {{"<b", "I"}}, "<bold>x", {"<b", "old>x"}},
      {{{"ab", "1"}, {"abc", "2"}}, {}, "abcd", {"ab", "cd"}},
      // A tag overlapping one just cut is looked for again after the cut.
      {{{"ab", "1"}, {"bc", "2"}}, {}, "abc bc", {"ab", "c ", "bc"}},
      {{{"ab", "1"}, {"bc", "2"}}, {}, "abcabc", {"ab", "c", "ab", "c"}},
      {{{"a", "1"}, {" b", "2"}}, {}, "a  b a b", {"  ", "a", "b  ", "a", "b"}},
      // Marked texts stay whole; long "////" texts are decoded, then cut unless marked.
      {{}, {}, whole, {whole}},
      {{}, {}, "/////29uZSBmbGlwLCBuZXZlciBjdXQgaW50byB3b3JkcywgbG9uZyBlbm91Z2ggdG8gYmUgdGFrZW4gYXMgYmFzZTY0", {whole}},
      {{},
       {},
       "////aGVsbG8gd29ybGQgYW5kIHNvbWUgbW9yZSB3b3JkcyB0byBwYXNzIHRoZSBsZW5ndGg=",
       {"\xFF\xFF\xFFhello ", "world ", "and ", "some ", "more ", "words ", "to ", "pass ", "the ", "length"}},
      {{}, {}, "//// short", {"//// ", "short"}},
  };
  const text_table no_commands;
  for (const auto& [designs, icon_designs, text, words] : rows)
    EXPECT_EQ(TextToWords(text, text_tables{designs, icon_designs, no_commands}), words) << text;
}

class BuildTextGroupTest : public ::testing::Test {
 protected:
  void build(const std::string& text, const std::string& start = "", const std::string& end = "",
             std::int32_t padding = 0, const std::string& on_enter = "") {
    BuildTextGroup(*group, text_input{text, "T", start, end, "P", padding, "log", on_enter},
                   text_tables{designs, icon_designs, icon_commands});
  }
  // Each element as "key: " and its description, in key order.
  keys elements() {
    keys all;
    for (const auto& [key, element] : group->elements()) all.push_back(key + ": " + describe(*element));
    return all;
  }

  text_table designs;
  text_table icon_designs;
  text_table icon_commands;
  std::shared_ptr<TickerGroup> group = std::make_shared<TickerGroup>(nullptr, "G", nullptr, false);
};

TEST_F(BuildTextGroupTest, WordsBecomeElementsInOrderAndTagsSwitchTheDesignOrBecomeIcons) {
  designs = {{"TAG", "R"}};
  icon_designs = {{"[i]", "ICON"}, {"[j]", "JCON"}};
  icon_commands = {{"[i]", "play"}};
  group->SetDefaultDesign("DEF");
  build("a TAG b [i] [j]", "", "", 12, "go");
  EXPECT_EQ(elements(), (keys{"0000: T|log|-1|P/text/a  |_/padding/12|_/onEnter/go", "0001: DEF||-1|_/padding/12",
                              "0002: R||-1|R/text/b  |_/padding/12", "0003: ICON||-1|_/onEnter/play|_/padding/12",
                              "0004: JCON||-1|_/padding/12"}));
}

TEST_F(BuildTextGroupTest, StartAndEndElementsFrameTheWordsWithoutPadding) {
  build("x y", "S", "E", 12, "go");
  EXPECT_EQ(elements(), (keys{"0000: S|log|-1|_/onEnter/go", "0001: T||-1|P/text/x |_/padding/12",
                              "0002: T||-1|P/text/y|_/padding/12", "0003: E||-1"}));
  group->Clear();
  build("", "", "E", 0, "go");
  EXPECT_EQ(elements(), keys{"0000: E|log|-1|_/onEnter/go"}) << "the end element is the first one built";
}

TEST_F(BuildTextGroupTest, FlipGroupIsOneUncutElement) {
  BuildFlipGroup(*group, "a b\tc", "F", "P", "log", 5, "in", "out");
  EXPECT_EQ(elements(), keys{"a: F|log|-1|P/text/a b\tc|_/duration/5|_/onEnter/in|_/onExit/out"});
  group->Clear();
  BuildFlipGroup(*group, "t", "F", "P", "", 0, "", "");
  EXPECT_EQ(elements(), keys{"a: F||-1|P/text/t"});
}

using TextOperationsTest = ticker_test;

TEST_F(TextOperationsTest, TextGroupsArePlacedLikeXmlGroups) {
  add("", group_xml("A", {"a1"}));
  EXPECT_TRUE(ticker->AddGroupFromText("A", "T", "w1 w2", "D", "", "", "P", 0, "", ""));
  EXPECT_FALSE(ticker->AddFlipGroupFromText("Q", "F", "flip", "D", "P", "", 0, "", ""));
  EXPECT_TRUE(ticker->AddFlipGroupFromText("", "F", "flip me", "D", "P", "", 0, "", ""));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(ticker->AddTTLGroupFromText("", "T", "again", "D", "", "", "P", 0, "", "", 1)) << "name taken";
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(ticker->GetGroups(), "F\nA\nT\n");
  EXPECT_EQ(next(4), (keys{"a1", "0000", "0001", "a"}));
}

TEST_F(TextOperationsTest, TtlAndIndependentTextGroups) {
  ASSERT_TRUE(ticker->AddTTLGroupFromText("", "T", "w1 w2", "D", "", "", "P", 0, "", "", 2));
  EXPECT_EQ(next(5), (keys{"0000", "0001", "0000", "0001", "-"}));

  add("", group_xml("A", {"a1"}));
  ASSERT_TRUE(ticker->AddIndGroupFromText(30, "I", "w1 w2", "D", "", "", "P", 0, "", ""));
  EXPECT_EQ(next(2), (keys{"0000", "0001"})) << "due at once";
  ASSERT_TRUE(ticker->DeleteGroup("I"));
  ASSERT_TRUE(ticker->AddIndFlipGroupFromText(30, "J", "flip", "D", "P", "", 0, "", ""));
  EXPECT_EQ(next(), "a");
}

TEST_F(TextOperationsTest, RunOnceGroupsAreNumberedAndShownOnce) {
  add("", group_xml("A", {"a1"}));
  ASSERT_TRUE(ticker->RunOnce("x y", "D", "", "", "P", 0, "", ""));
  ASSERT_TRUE(ticker->RunOnce("z", "D", "", "", "P", 0, "", ""));
  const keys names = ticker->GetGroupNames();
  ASSERT_EQ(names.size(), 3u);
  ASSERT_EQ(names[2].rfind("runonce_", 0), 0u);
  EXPECT_EQ(names[1], "runonce_" + std::to_string(std::stoi(names[2].substr(8)) + 1));

  clock.advance(1);
  keys shown = next(6);
  std::sort(shown.begin(), shown.end());
  EXPECT_EQ(shown, (keys{"0000", "0000", "0001", "a1", "a1", "a1"}));
  EXPECT_EQ(ticker->GetGroupNames(), keys{"A"});
}

}  // namespace
}  // namespace orv::testing
