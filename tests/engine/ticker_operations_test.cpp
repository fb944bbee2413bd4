#include "engine/ticker_control.h"

#include <functional>

#include "tests/engine/ticker_fixture.h"

namespace orv::testing {
namespace {

using keys = std::vector<std::string>;
using OperationsTest = ticker_test;

TEST_F(OperationsTest, PlacementsAroundTheCurrentGroup) {
  EXPECT_TRUE(ticker->AddGroupAfterCurrent(group_xml("A", {"a1", "a2"})));
  EXPECT_TRUE(logged("AddGroupAfterCurrent"));
  EXPECT_FALSE(ticker->AddGroupAfterCurrent(group_xml("A", {"x"})));
  EXPECT_EQ(ticker->GetCurrentGroupName(), "A");
  EXPECT_EQ(next(), "a1");

  EXPECT_TRUE(ticker->AddGroupAfterCurrent(group_xml("B", {"b1"})));
  EXPECT_TRUE(ticker->AddGroupAfterCurrent(group_xml("C", {"c1"})));
  EXPECT_TRUE(ticker->AddGroupBeforeCurrent(group_xml("Z", {"z1"})));
  EXPECT_FALSE(ticker->AddGroupBeforeCurrent(group_xml("B", {"x"})));
  EXPECT_EQ(ticker->GetGroups(), "Z\nA\nC\nB\n");
  EXPECT_EQ(next(5), (keys{"a2", "c1", "b1", "z1", "a1"}));
}

TEST_F(OperationsTest, AddGroupAfterGroupNeedsItsFollowGroupAndAFreeName) {
  add("", group_xml("A", {"a1"}));
  add("", group_xml("B", {"b1"}));
  add("B", group_xml("C", {"c1"}));
  EXPECT_EQ(ticker->GetGroups(), "B\nC\nA\n");
  EXPECT_TRUE(logged("AddGroupAfterGroup: B"));

  EXPECT_FALSE(ticker->AddGroupAfterGroup("Q", group_xml("D", {"d1"})));
  EXPECT_TRUE(logged("AddGroupAfterGroup: Group 'Q' to follow D not in ticker.\n"));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(ticker->AddGroupAfterGroup("", group_xml("A", {"x"})));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "  Already has group named A\n");
  EXPECT_EQ(ticker->GetGroups(), "B\nC\nA\n");
}

TEST_F(OperationsTest, MalformedGroupXmlIsRefusedWithItsLine) {
  ::testing::internal::CaptureStderr();  // the parser reports the document there
  EXPECT_FALSE(ticker->AddGroupAfterGroup("", "<group name=\"A\">"));
  EXPECT_FALSE(ticker->AddIndependentGroup("<group"));
  EXPECT_FALSE(ticker->AddGroupSuperseedCurrent("<group"));
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(log->count("  ParseXML problem.\n"), 2);
  EXPECT_TRUE(logged("ParseXML problem.\n"));
  EXPECT_EQ(ticker->GetGroupNames(), keys{});
}

TEST_F(OperationsTest, MoveGroupKeepsTheCursorOnTheMovedGroup) {
  add("", group_xml("A", {"a1", "a2"}));
  add("A", group_xml("B", {"b1"}));
  add("B", group_xml("C", {"c1"}));
  EXPECT_EQ(next(), "a1");
  EXPECT_TRUE(ticker->MoveGroup("A", "C"));
  EXPECT_TRUE(logged("MoveGroup: A, C\n"));
  EXPECT_EQ(ticker->GetGroups(), "B\nC\nA\n");
  EXPECT_EQ(ticker->GetCurrentGroupName(), "A");
  EXPECT_TRUE(ticker->MoveGroup("B", ""));
  EXPECT_EQ(ticker->GetGroups(), "C\nA\nB\n");
  EXPECT_FALSE(ticker->MoveGroup("Q", ""));
  EXPECT_FALSE(ticker->MoveGroup("B", "Q"));
  EXPECT_EQ(next(3), (keys{"a2", "b1", "c1"}));
}

TEST_F(OperationsTest, MarkGroupForDeletionDeletesWhatIsNotOnScreen) {
  add("", group_xml("A", {"a1"}));
  add("A", group_xml("B", {"b1"}));
  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("I", {"i1"})));
  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("J", {"j1"})));
  EXPECT_EQ(ticker->GetGroupNames(), (keys{"A", "B", "J", "I"}));

  EXPECT_TRUE(ticker->MarkGroupForDeletion("B"));
  EXPECT_TRUE(logged("TickerControl::MarkGroupForDeletion, deleting immediately: B\n"));
  EXPECT_TRUE(ticker->MarkGroupForDeletion("I"));
  EXPECT_EQ(ticker->GetGroupNames(), (keys{"A", "J"}));
  EXPECT_TRUE(ticker->MarkGroupForDeletion("A"));
  EXPECT_EQ(ticker->GetGroupNames(), (keys{"A", "J"})) << "the current group is only marked";
  std::shared_ptr<TickerGroup> group;
  EXPECT_FALSE(ticker->GetGroup("A", group)) << "marked groups are out of reach";

  EXPECT_FALSE(ticker->MarkGroupForDeletion("Q"));
  EXPECT_TRUE(logged("MarkGroupForDeletion failed: group_name: Q is not found\n"));
}

TEST_F(OperationsTest, DeleteGroupRemovesTheNameEverywhere) {
  add("", group_xml("A", {"a1"}));
  add("A", group_xml("B", {"b1"}));
  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("I", {"i1"}, " interval=\"10\"")));
  ASSERT_TRUE(ticker->AddPriorityGroup("B"));
  EXPECT_TRUE(ticker->DeleteGroup("B"));
  EXPECT_EQ(ticker->GetPriorityQueueSize(), 0);
  EXPECT_EQ(next(), "i1");
  EXPECT_TRUE(ticker->DeleteGroup("I")) << "also while it is on screen";
  EXPECT_EQ(ticker->GetGroupNames(), keys{"A"});
  EXPECT_EQ(next(2), (keys{"a1", "a1"}));

  EXPECT_FALSE(ticker->DeleteGroup(""));
  EXPECT_TRUE(logged("DeleteGroup failed, group_name =''  \n"));
  EXPECT_FALSE(ticker->DeleteGroup("Q"));
}

TEST_F(OperationsTest, ElementOperationsWorkByGroupNameAndKey) {
  add("", group_xml("A", {"k1", "k3"}));
  EXPECT_TRUE(ticker->PutElement("A", "<element key=\"k2\"><value label=\"t\">two</value></element>"));
  EXPECT_TRUE(logged("PutElement: A\n"));
  EXPECT_TRUE(ticker->PutElement("A", "<element key=\"k1\"><design>D</design></element>"));
  EXPECT_FALSE(ticker->PutElement("A", "<element key=\"k9\">")) << "malformed";

  TickerElement element;
  ASSERT_TRUE(ticker->GetElement("A", "k1", element));
  EXPECT_EQ(element.design(), "D");
  EXPECT_TRUE(element.values().empty());
  EXPECT_TRUE(ticker->UpdateElement("A", "<element key=\"k2\"><value label=\"t\">TWO</value></element>"));
  EXPECT_FALSE(ticker->UpdateElement("A", "<element key=\"k7\"/>"));
  ASSERT_TRUE(ticker->GetElement("A", "k2", element));
  EXPECT_EQ(element.values().at(0).text, "TWO");

  EXPECT_TRUE(ticker->DeleteElement("A", "k3"));
  EXPECT_TRUE(logged("DeleteElement: A,k3"));
  EXPECT_FALSE(ticker->DeleteElement("A", "k3"));
  EXPECT_EQ(next(3), (keys{"k1", "k2", "k1"}));

  EXPECT_TRUE(ticker->ClearGroup("A"));
  EXPECT_FALSE(ticker->GetElement("A", "k1", element));

  const std::vector<std::pair<std::string, std::function<bool()>>> on_missing_group = {
      {"DeleteElement", [&] { return ticker->DeleteElement("Q", "k1"); }},
      {"ClearGroup", [&] { return ticker->ClearGroup("Q"); }},
      {"GetElement", [&] { return ticker->GetElement("Q", "k1", element); }},
      {"UpdateElement", [&] { return ticker->UpdateElement("Q", "<element key=\"k1\"/>"); }},
      {"PutElement", [&] { return ticker->PutElement("Q", "<element key=\"k1\"/>"); }},
  };
  for (const auto& [operation, call] : on_missing_group) {
    EXPECT_FALSE(call()) << operation;
    EXPECT_TRUE(logged(operation + " failed: group_name: Q is not found\n")) << operation;
  }
}

TEST_F(OperationsTest, ListingsOfTheCarousel) {
  EXPECT_EQ(ticker->GetGroups(), "");
  EXPECT_EQ(ticker->GetGroupsWithContent(), "");
  EXPECT_EQ(ticker->GetTickerName(), "news");
  add("", "<group name=\"G\"><element key=\"k\"><design>D</design><value label=\"L\" attribute=\"A\">T</value>"
          "</element></group>");
  add("G", "<group name=\"H\"/>");
  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("I", {"i1"})));
  EXPECT_EQ(ticker->GetGroups(), "G\nH\n");
  EXPECT_EQ(ticker->GetGroupsWithContent(),
            "G\r\n-------------------------------------------\r\n|D: L.A=T  (k: G)\r\n\r\n"
            "H\r\n-------------------------------------------\r\n\r\n");
}

TEST_F(OperationsTest, FlushAndClearAllEmptyWhatTheRendererIsWaitingFor) {
  add("", group_xml("A", {"a1", "a2"}));
  add("A", group_xml("B", {"b1"}));
  EXPECT_EQ(next(), "a1");
  ticker->Flush();
  EXPECT_EQ(supplier->clears, 1);
  EXPECT_EQ(next(), "b1") << "the flushed round is over";

  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("I", {"i1"}, " interval=\"10\"")));
  ASSERT_TRUE(ticker->AddGroupToRunOncePriorityQueue(group_xml("R", {"r1"})));
  ASSERT_TRUE(ticker->AddPriorityGroup("A"));
  ticker->ClearAll();
  EXPECT_TRUE(logged("ClearAll\n"));
  EXPECT_EQ(supplier->clears, 2);
  EXPECT_EQ(ticker->GetGroupNames(), keys{});
  EXPECT_EQ(ticker->GetCurrentGroupName(), "");
  EXPECT_EQ(next(), "-");
  EXPECT_EQ(ticker->GetPriorityQueueSize(), 1) << "kept; dropped when reached";

  add("", group_xml("A", {"a1"}));
  EXPECT_EQ(next(), "a1");
}

}  // namespace
}  // namespace orv::testing
