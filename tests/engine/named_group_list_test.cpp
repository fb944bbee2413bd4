#include "engine/named_group_list.h"

#include "tests/engine/ticker_fixture.h"

namespace orv::testing {
namespace {

using keys = std::vector<std::string>;

std::shared_ptr<TickerGroup> named(const std::string& name) {
  return std::make_shared<TickerGroup>(nullptr, name, nullptr, false);
}

TEST(NamedGroupListTest, FindsTheFirstUnmarkedGroupOfANameInListOrder) {
  named_group_list list;
  const auto a1 = named("A"), b = named("B"), a2 = named("A");
  list.insert(list.end(), a1);
  list.insert(list.end(), b);
  const auto second = list.insert(list.end(), a2);
  EXPECT_EQ(*list.find("A"), a1);
  EXPECT_EQ(*list.find("B"), b);
  EXPECT_EQ(list.find("Q"), list.end());

  list.move(list.begin(), second);  // A2 B A1: order now comes from the list, not the index
  EXPECT_EQ(*list.find("A"), a2);
  a2->MarkForDeletion();  // marks are read at lookup time
  EXPECT_EQ(*list.find("A"), a1);
  EXPECT_EQ(*list.find("A", true), a2);
  a1->MarkForDeletion();
  EXPECT_EQ(list.find("A"), list.end());
  EXPECT_EQ(*list.find("A", true), a2);
}

TEST(NamedGroupListTest, ErasingOneOfANameLeavesTheOthersFindable) {
  named_group_list list;
  const auto a1 = named("A"), a2 = named("A");
  const auto first = list.insert(list.end(), a1);
  list.insert(list.end(), a2);
  a1->MarkForDeletion();
  list.erase(first);  // a stale position in the index would trip the address sanitizer here
  EXPECT_EQ(*list.find("A"), a2);
  EXPECT_EQ(*list.find("A", true), a2);
  list.erase(list.find("A"));
  EXPECT_EQ(list.find("A", true), list.end());
  EXPECT_TRUE(list.empty());

  list.insert(list.end(), a1);
  list.clear();
  EXPECT_EQ(list.find("A", true), list.end());
  list.insert(list.end(), a2);
  EXPECT_EQ(*list.find("A"), a2);
}

using GroupNameTest = ticker_test;

TEST_F(GroupNameTest, ANameFreedByAMarkIsPlacedAgainAndOutlivesTheMarkedGroup) {
  add("", group_xml("A", {"a1", "a2"}));
  add("A", group_xml("B", {"b1"}));
  EXPECT_EQ(next(), "a1");
  ASSERT_TRUE(ticker->MarkGroupForDeletion("A"));  // current: stays until its round ends
  add("B", group_xml("A", {"x1"}));
  EXPECT_EQ(ticker->GetGroups(), "A\nB\nA\n");
  EXPECT_EQ(next(3), (keys{"a2", "b1", "x1"}));
  EXPECT_EQ(ticker->GetGroups(), "B\nA\n");
  ASSERT_TRUE(ticker->SetNextGroup("A"));
  EXPECT_EQ(next(), "x1");
  ASSERT_TRUE(ticker->MoveGroup("A", ""));
  EXPECT_TRUE(ticker->DeleteGroup("A"));
  EXPECT_EQ(ticker->GetGroups(), "B\n");
  EXPECT_FALSE(ticker->DeleteGroup("A"));
}

TEST_F(GroupNameTest, AGroupThatExpiresFreesItsNameAtOnce) {
  add("", group_xml("T", {"t1", "t2"}, " duration=\"5\""));
  add("T", group_xml("B", {"b1"}));
  EXPECT_EQ(next(), "t1");
  clock.advance(6);
  EXPECT_EQ(next(2), (keys{"t2", "b1"}));  // the round ends and the group marks itself
  EXPECT_FALSE(ticker->HasActiveGroup("T"));
  add("B", group_xml("T", {"n1"}));
  EXPECT_EQ(next(2), (keys{"n1", "b1"}));
  EXPECT_EQ(ticker->GetGroups(), "B\nT\n");
}

TEST_F(GroupNameTest, DeletingTheCurrentGroupDropsItFromTheIndex) {
  add("", group_xml("A", {"a1"}));
  add("A", group_xml("B", {"b1"}));
  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("I", {"i1"}, " interval=\"10\"")));
  EXPECT_EQ(next(), "i1");
  EXPECT_EQ(ticker->GetCurrentGroupName(), "A");
  EXPECT_TRUE(ticker->DeleteGroup("A"));
  EXPECT_TRUE(ticker->DeleteGroup("I"));
  EXPECT_FALSE(ticker->HasActiveGroup("A"));
  EXPECT_FALSE(ticker->HasActiveGroup("I"));
  add("B", group_xml("A", {"x1"}));
  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("I", {"j1"}, " interval=\"10\"")));
  EXPECT_EQ(next(3), (keys{"j1", "b1", "x1"}));
}

}  // namespace
}  // namespace orv::testing
