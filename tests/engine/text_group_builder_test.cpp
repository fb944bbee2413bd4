#include "engine/text_group_builder.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/ticker_group.h"
#include "tests/engine/ticker_fixture.h"

namespace orv::testing {
namespace {

using words = std::vector<std::string>;

class TextWordsTest : public ::testing::Test {
 protected:
  words cut(const std::string& text) { return TextToWords(text, text_tables{designs, icon_designs, icon_commands}); }

  text_table designs;
  text_table icon_designs;
  text_table icon_commands;
};

TEST_F(TextWordsTest, WordsKeepTrailingBlanksAndTabsStartTheNextWord) {
  EXPECT_EQ(cut("one  two three"), (words{"one  ", "two ", "three"}));
  EXPECT_EQ(cut("  a"), (words{"  ", "a"}));
  EXPECT_EQ(cut("a\tb"), (words{"a", "\tb"}));
  EXPECT_EQ(cut("a \t\tb "), (words{"a ", "\t", "\tb "}));
  EXPECT_EQ(cut(""), words{});
}

TEST_F(TextWordsTest, TagsAreCutOutAndTheirBlanksGoToTheWordBefore) {
  designs = {{"TAG", "R"}};
  EXPECT_EQ(cut("a TAG b"), (words{"a  ", "TAG", "b"}));
  EXPECT_EQ(cut("TAG b"), (words{" ", "TAG", "b"}));
  EXPECT_EQ(cut("xTAGTAGy"), (words{"x", "TAG", "TAG", "y"}));
}

TEST_F(TextWordsTest, OnEqualPositionsIconTagsWinThenKeyOrder) {
  designs = {{"<bold>", "B"}, {"", "ignored"}};
  icon_designs = {{"<b", "I"}};
  EXPECT_EQ(cut("<bold>x"), (words{"<b", "old>x"}));
  icon_designs.clear();
  designs = {{"ab", "1"}, {"abc", "2"}};
  EXPECT_EQ(cut("abcd"), (words{"ab", "cd"}));
}

TEST_F(TextWordsTest, ATagOverlappingACutTagIsLookedForAgainAfterTheCut) {
  designs = {{"ab", "1"}, {"bc", "2"}};
  EXPECT_EQ(cut("abc bc"), (words{"ab", "c ", "bc"}));
  EXPECT_EQ(cut("abcabc"), (words{"ab", "c", "ab", "c"}));
  // The " b" after each "a" starts inside the blanks that go with the cut "a".
  designs = {{"a", "1"}, {" b", "2"}};
  EXPECT_EQ(cut("a  b a b"), (words{"  ", "a", "b  ", "a", "b"}));
}

TEST_F(TextWordsTest, MarkedTextsStayWholeAndLongSlashTextsAreDecoded) {
  const std::string whole = "\xFF\xFF\xFF\xFF" "one flip, never cut into words, long enough to be taken as base64";
  EXPECT_EQ(cut(whole), words{whole});
  EXPECT_EQ(cut("/////29uZSBmbGlwLCBuZXZlciBjdXQgaW50byB3b3JkcywgbG9uZyBlbm91Z2ggdG8gYmUgdGFrZW4gYXMgYmFzZTY0"),
            words{whole});
  // Decoded without the marker, the text is cut as usual.
  EXPECT_EQ(cut("////aGVsbG8gd29ybGQgYW5kIHNvbWUgbW9yZSB3b3JkcyB0byBwYXNzIHRoZSBsZW5ndGg=").front(),
            "\xFF\xFF\xFFhello ");
  EXPECT_EQ(cut("//// short"), (words{"//// ", "short"}));
}

class BuildTextGroupTest : public TextWordsTest {
 protected:
  void build(const std::string& text, const std::string& start = "", const std::string& end = "",
             std::int32_t padding = 0, const std::string& on_enter = "") {
    BuildTextGroup(*group, text_input{text, "T", start, end, "P", padding, "log", on_enter},
                   text_tables{designs, icon_designs, icon_commands});
  }
  const TickerElement& at(const std::string& key) { return *group->elements().at(key); }
  // Values as "label/attribute/text", in order.
  words values(const std::string& key) {
    words all;
    for (const TickerValue& v : at(key).values()) all.push_back(v.label + "/" + v.attribute + "/" + v.text);
    return all;
  }
  static words keys_of(const TickerGroup& group) {
    words keys;
    for (const auto& [key, element] : group.elements()) keys.push_back(key);
    return keys;
  }

  std::shared_ptr<TickerGroup> group = std::make_shared<TickerGroup>(nullptr, "G", nullptr, false);
};

TEST_F(BuildTextGroupTest, WordsBecomeElementsInOrderAndTheFirstCarriesLogAndEntryCommand) {
  build("one  two three", "", "", 3, "go");
  EXPECT_EQ(keys_of(*group), (words{"0000", "0001", "0002"}));
  EXPECT_EQ(values("0000"), (words{"P/text/one  ", "_/padding/3", "_/onEnter/go"}));
  EXPECT_EQ(values("0002"), (words{"P/text/three", "_/padding/3"}));
  EXPECT_EQ(at("0001").design(), "T");
  EXPECT_EQ(at("0000").log_msg(), "log");
  EXPECT_EQ(at("0001").log_msg(), "");
}

TEST_F(BuildTextGroupTest, DesignTagsSwitchTheDesignAndIconTagsBecomeIcons) {
  designs = {{"TAG", "R"}};
  icon_designs = {{"[i]", "ICON"}, {"[j]", "JCON"}};
  icon_commands = {{"[i]", "play"}};
  group->SetDefaultDesign("DEF");
  build("a TAG b [i] [j]", "", "", 12);

  EXPECT_EQ(keys_of(*group), (words{"0000", "0001", "0002", "0003", "0004"}));
  EXPECT_EQ(at("0001").design(), "DEF");
  EXPECT_EQ(values("0001"), (words{"_/padding/12"}));
  EXPECT_EQ(at("0002").design(), "R");
  EXPECT_EQ(values("0002"), (words{"R/text/b  ", "_/padding/12"}));
  EXPECT_EQ(at("0003").design(), "ICON");
  EXPECT_EQ(values("0003"), (words{"_/onEnter/play", "_/padding/12"}));
  EXPECT_EQ(at("0004").design(), "JCON");
}

TEST_F(BuildTextGroupTest, StartAndEndElementsFrameTheWordsWithoutPadding) {
  build("x y", "S", "E", 12, "go");
  EXPECT_EQ(keys_of(*group), (words{"0000", "0001", "0002", "0003"}));
  EXPECT_EQ(at("0000").design(), "S");
  EXPECT_EQ(at("0000").log_msg(), "log");
  EXPECT_EQ(values("0000"), (words{"_/onEnter/go"}));
  EXPECT_EQ(values("0001"), (words{"P/text/x ", "_/padding/12"}));
  EXPECT_EQ(at("0001").log_msg(), "");
  EXPECT_EQ(at("0003").design(), "E");
  EXPECT_TRUE(at("0003").values().empty());

  group->Clear();
  build("", "", "E", 0, "go");
  EXPECT_EQ(at("0000").log_msg(), "log") << "the end element is the first one built";
  EXPECT_EQ(values("0000"), (words{"_/onEnter/go"}));
}

TEST_F(BuildTextGroupTest, FlipGroupIsOneUncutElement) {
  BuildFlipGroup(*group, "a b\tc", "F", "P", "log", 5, "in", "out");
  EXPECT_EQ(keys_of(*group), words{"a"});
  EXPECT_EQ(at("a").design(), "F");
  EXPECT_EQ(at("a").log_msg(), "log");
  EXPECT_EQ(values("a"), (words{"P/text/a b\tc", "_/duration/5", "_/onEnter/in", "_/onExit/out"}));
  group->Clear();
  BuildFlipGroup(*group, "t", "F", "P", "", 0, "", "");
  EXPECT_EQ(values("a"), (words{"P/text/t"}));
}

using TextOperationsTest = ticker_test;

TEST_F(TextOperationsTest, TextGroupsArePlacedLikeXmlGroups) {
  add("", group_xml("A", {"a1"}));
  EXPECT_TRUE(ticker->AddGroupFromText("A", "T", "w1 w2", "D", "", "", "P", 0, "", ""));
  EXPECT_FALSE(ticker->AddFlipGroupFromText("Q", "F", "flip", "D", "P", "", 0, "", ""));
  EXPECT_TRUE(ticker->AddFlipGroupFromText("", "F", "flip me", "D", "P", "", 0, "", ""));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(ticker->AddTTLGroupFromText("", "T", "again", "D", "", "", "P", 0, "", "", 1));
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(logged("AddTTLGroupFromText:  ,T"));
  EXPECT_EQ(ticker->GetGroups(), "F\nA\nT\n");
  EXPECT_EQ(next(4), (std::vector<std::string>{"a1", "0000", "0001", "a"}));
}

TEST_F(TextOperationsTest, TtlTextGroupRunsOutAfterItsShowings) {
  ASSERT_TRUE(ticker->AddTTLGroupFromText("", "T", "w1 w2", "D", "", "", "P", 0, "", "", 2));
  EXPECT_EQ(next(5), (std::vector<std::string>{"0000", "0001", "0000", "0001", "-"}));
}

TEST_F(TextOperationsTest, IndependentTextGroupsAreDueAtOnce) {
  add("", group_xml("A", {"a1"}));
  ASSERT_TRUE(ticker->AddIndGroupFromText(30, "I", "w1 w2", "D", "", "", "P", 0, "", ""));
  EXPECT_EQ(next(2), (std::vector<std::string>{"0000", "0001"}));
  ASSERT_TRUE(ticker->DeleteGroup("I"));
  ASSERT_TRUE(ticker->AddIndFlipGroupFromText(30, "J", "flip", "D", "P", "", 0, "", ""));
  EXPECT_EQ(next(), "a");
}

TEST_F(TextOperationsTest, RunOnceGroupsAreNumberedAndShownOnce) {
  add("", group_xml("A", {"a1"}));
  ASSERT_TRUE(ticker->RunOnce("x y", "D", "", "", "P", 0, "", ""));
  ASSERT_TRUE(ticker->RunOnce("z", "D", "", "", "P", 0, "", ""));
  const std::vector<std::string> names = ticker->GetGroupNames();
  ASSERT_EQ(names.size(), 3u);
  ASSERT_EQ(names[2].rfind("runonce_", 0), 0u);
  EXPECT_EQ(names[1], "runonce_" + std::to_string(std::stoi(names[2].substr(8)) + 1));

  clock.advance(1);
  std::vector<std::string> shown = next(6);
  std::sort(shown.begin(), shown.end());
  EXPECT_EQ(shown, (std::vector<std::string>{"0000", "0000", "0001", "a1", "a1", "a1"}));
  EXPECT_EQ(ticker->GetGroupNames(), std::vector<std::string>{"A"});
}

}  // namespace
}  // namespace orv::testing
