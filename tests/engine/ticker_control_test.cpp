#include "engine/ticker_control.h"

#include "tests/engine/ticker_fixture.h"

namespace orv::testing {
namespace {

using keys = std::vector<std::string>;
using CarouselTest = ticker_test;

TEST_F(CarouselTest, WalksGroupsInShowOrderAndAnnouncesEachWrap) {
  add("", group_xml("A", {"a2", "a1"}));
  add("A", group_xml("B", {"b1"}));
  EXPECT_EQ(ticker->GetCurrentGroupName(), "A");
  EXPECT_EQ(next(7), (keys{"a1", "a2", "b1", "a1", "a2", "b1", "a1"}));
  EXPECT_EQ(events, (keys{"at_end news", "at_end news"}));
}

TEST_F(CarouselTest, LoopModeNoPausesAtTheWrapUntilContinued) {
  add("", group_xml("A", {"a1"}));
  add("A", group_xml("B", {"b1"}));
  ticker->set_loop("YES");  // exact words only: the ticker keeps looping
  EXPECT_TRUE(logged("Invalid loop mode: 'YES'\n"));
  EXPECT_EQ(next(3), (keys{"a1", "b1", "a1"}));

  ticker->set_loop("no");
  EXPECT_TRUE(logged("Setting loop mode to: 'no'\n"));
  EXPECT_EQ(next(3), (keys{"b1", "-", "-"}));
  EXPECT_TRUE(logged("Pause ticker\n"));
  EXPECT_EQ(log->count("Ticker service is paused...\n"), 2);
  EXPECT_EQ(ticker->GetCurrentGroupName(), "A");

  events.clear();
  ticker->OnStreamEmpty();
  EXPECT_TRUE(events.empty()) << "a paused ticker announces nothing";
  ticker->continue_ticker();
  EXPECT_EQ(next(), "a1");
  ticker->OnStreamEmpty();
  EXPECT_EQ(events, (keys{"at_end news", "empty news"}));
}

TEST_F(CarouselTest, SaysNoCurrentGroupOncePerRequestWhenTheCarouselIsGone) {
  EXPECT_EQ(next(2), (keys{"-", "-"}));
  EXPECT_EQ(log->count("No current group.\n"), 2);

  add("", group_xml("A", {"a1", "a2"}));
  EXPECT_EQ(next(), "a1");
  EXPECT_TRUE(ticker->MarkGroupForDeletion("A"));  // current: it only gets marked
  EXPECT_EQ(ticker->GetGroups(), "A\n");
  EXPECT_EQ(next(), "a2");
  log->clear();
  EXPECT_EQ(next(), "-");
  EXPECT_TRUE(logged("TickerControl::AdvanceCurrentGroup - erasing A\n"));
  EXPECT_EQ(log->count("No current group.\n"), 1);
  EXPECT_EQ(ticker->GetCurrentGroupName(), "");
  EXPECT_EQ(ticker->GetGroups(), "");
}

TEST_F(CarouselTest, RunOnceGroupsGoFirstAndEndWithAnAnswerWithoutElement) {
  add("", group_xml("A", {"a1"}));
  ASSERT_TRUE(ticker->AddGroupToRunOncePriorityQueue(group_xml("R", {"r1", "r2"})));
  ASSERT_TRUE(ticker->AddGroupToRunOncePriorityQueue(group_xml("S", {"s1"})));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(ticker->AddGroupToRunOncePriorityQueue(group_xml("A", {"x"}))) << "A is active";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "  Already has group named A\n");

  EXPECT_EQ(next(2), (keys{"r1", "r2"}));
  TickerElement kept;
  kept.SetKey("kept");
  EXPECT_TRUE(ticker->GetNextElement(kept));
  EXPECT_EQ(kept.key(), "kept");
  EXPECT_EQ(events, (keys{"priority_size news 1"}));
  EXPECT_TRUE(logged("Running run once priority group: R, queue size=1\n"));

  EXPECT_EQ(next(3), (keys{"s1", "", "a1"}));
  EXPECT_EQ(events, (keys{"priority_size news 1", "priority_size news 0"}));
}

TEST_F(CarouselTest, IndependentGroupIsDueAtOnceAndThenEveryInterval) {
  add("", group_xml("A", {"a1", "a2"}));
  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("I", {"i1"}, " interval=\"10\"")));
  EXPECT_EQ(next(), "i1");

  // Requests off the tick boundaries: the carousel runs until the interval has passed.
  keys seen;
  for (int at : {5, 7, 9, 12, 14, 16}) {
    clock.set(1'700'000'000 + at);
    seen.push_back(next());
  }
  for (std::size_t i : {1, 2, 4, 5}) EXPECT_TRUE(seen[i] == "a1" || seen[i] == "a2") << i << ": " << seen[i];
  EXPECT_EQ(seen[3], "i1");
}

TEST_F(CarouselTest, TextGroupFinishesItsRoundBeforeADueIndependentGroup) {
  ASSERT_TRUE(ticker->AddGroupFromText("", "T", "w1 w2 w3", "D", "", "", "P", 0, "", ""));
  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("I", {"i1"}, " interval=\"10\"")));
  EXPECT_EQ(next(4), (keys{"0000", "0001", "0002", "i1"}));
}

TEST_F(CarouselTest, SupersedingGroupsRunAndTheInterruptedGroupResumesWhereItStopped) {
  add("", group_xml("A", {"a1", "a2", "a3"}));
  add("A", group_xml("B", {"b1"}));
  EXPECT_EQ(next(), "a1");
  ASSERT_TRUE(ticker->AddGroupSuperseedCurrent(group_xml("S", {"s1", "s2"})));
  EXPECT_EQ(ticker->GetCurrentGroupName(), "S");
  EXPECT_EQ(next(), "s1");
  // Superseding the superseding group queues behind it; A is still the one to resume.
  ASSERT_TRUE(ticker->AddGroupSuperseedCurrent(group_xml("T", {"t1"})));
  EXPECT_EQ(ticker->GetCurrentGroupName(), "S");
  EXPECT_FALSE(ticker->AddGroupSuperseedCurrent(group_xml("T", {"t9"})));

  EXPECT_EQ(next(4), (keys{"s2", "t1", "a2", "a3"}));
  EXPECT_EQ(ticker->GetGroups(), "A\nS\nT\nB\n");
  EXPECT_EQ(next(4), (keys{"s1", "s2", "t1", "b1"})) << "they stay in the carousel";
}

TEST_F(CarouselTest, PriorityGroupRunsNextOnceAndSkipsItsPrioritySkipElements) {
  add("", group_xml("A", {"a1"}));
  add("A", group_xml("B", {"b1"}));
  add("B", "<group name=\"C\"><element key=\"c1\" priority_skip=\"yes\"/><element key=\"c2\"/></group>");
  EXPECT_TRUE(ticker->AddPriorityGroup("C"));
  EXPECT_TRUE(ticker->AddPriorityGroup("C"));
  EXPECT_TRUE(logged("AddPriorityGroup: Group exist in priority queue and is ignored: C queue size = 1"));
  EXPECT_EQ(ticker->GetPriorityQueueSize(), 1);
  EXPECT_FALSE(ticker->AddPriorityGroup("Z"));
  EXPECT_TRUE(logged("AddPriorityGroup: No group named 'Z' among the 3 is currently active in the ticker.\n"));

  EXPECT_EQ(next(7), (keys{"a1", "c2", "a1", "b1", "c1", "c2", "a1"}));
  EXPECT_TRUE(logged("Running priority group: C, queue size=0\n"));
  EXPECT_EQ(ticker->GetPriorityQueueSize(), 0);
}

TEST_F(CarouselTest, PriorityNameOfAMarkedGroupIsDroppedAndTheCarouselAdvances) {
  add("", group_xml("A", {"a1", "a2"}));
  add("A", group_xml("B", {"b1"}));
  EXPECT_EQ(next(), "a1");
  ASSERT_TRUE(ticker->AddPriorityGroup("A"));
  ASSERT_TRUE(ticker->MarkGroupForDeletion("A"));
  EXPECT_TRUE(logged("  Marking 'A' for deletion.\n"));
  EXPECT_TRUE(logged("TickerControl::MarkGroupForDeletion, marking for deletion: A\n"));

  EXPECT_EQ(next(3), (keys{"a2", "b1", "b1"}));
  EXPECT_TRUE(logged("Deleting group which is marked for deletion from priority:A, queue size=0\n"));
  EXPECT_TRUE(logged("No valid groups in priority queue, all scheduled for deletion:, queue size=0\n"));
  EXPECT_EQ(ticker->GetGroups(), "B\n");
}

TEST_F(CarouselTest, SetNextGroupEndsTheCurrentRoundAndChoosesTheNextGroup) {
  add("", group_xml("A", {"a1", "a2"}));
  add("A", group_xml("B", {"b1"}));
  add("B", group_xml("C", {"c1"}));
  EXPECT_EQ(next(), "a1");
  EXPECT_TRUE(ticker->SetNextGroup("C"));
  EXPECT_EQ(supplier->clears, 1);
  EXPECT_EQ(supplier->refreshes, 1);
  EXPECT_TRUE(logged("SetNextGroup: Overridden next group is now 'C'\n"));
  EXPECT_EQ(next(4), (keys{"c1", "a1", "a2", "b1"}));

  ASSERT_EQ(ticker->GetCurrentGroupName(), "B");
  ASSERT_TRUE(ticker->MarkGroupForDeletion("B"));
  EXPECT_FALSE(ticker->SetNextGroup("B"));
  EXPECT_TRUE(logged("SetNextGroup: No group named 'B' among the 3 is currently active in the ticker.\n"));
  EXPECT_EQ(supplier->refreshes, 1);
}

TEST_F(CarouselTest, DeletingTheCurrentGroupMovesOnAndTheOnlyGroupLeavesNoCurrent) {
  add("", group_xml("A", {"a1", "a2"}));
  add("A", group_xml("B", {"b1", "b2"}));
  EXPECT_EQ(next(), "a1");
  EXPECT_TRUE(ticker->DeleteGroup("A"));
  EXPECT_EQ(ticker->GetCurrentGroupName(), "B");
  EXPECT_EQ(next(), "b1");

  EXPECT_TRUE(ticker->DeleteGroup("B"));
  EXPECT_EQ(ticker->GetCurrentGroupName(), "");
  EXPECT_EQ(ticker->GetGroups(), "");
  EXPECT_EQ(next(), "-");
  EXPECT_FALSE(ticker->DeleteGroup("B"));
}

TEST_F(CarouselTest, ExhaustedMortalGroupIsDroppedAtTheAdvance) {
  add("", group_xml("A", {"a1"}));
  add("A", group_xml("M", {"m1", "m2"}, " immortal=\"no\" ttl=\"1\""));
  EXPECT_EQ(next(5), (keys{"a1", "m1", "m2", "a1", "a1"}));
  EXPECT_TRUE(logged("TickerControl::AdvanceCurrentGroup - erasing M\n"));
  EXPECT_EQ(ticker->GetGroups(), "A\n");
}

class SectionsTest : public ticker_test {
 protected:
  void add_sections(std::initializer_list<std::pair<std::string, std::string>> groups) {
    std::string follow;
    for (const auto& [name, section] : groups) {
      add(follow, group_xml(name, {name + "1"}, "", section.empty() ? "" : "<section>" + section + "</section>"));
      follow = name;
    }
  }
  static keys cycle(const keys& names) {
    keys expected;
    for (std::size_t i = 0; i < 16; ++i) expected.push_back(names[i % names.size()]);
    return expected;
  }
};

TEST_F(SectionsTest, ListSixteenSectionsStartingWithTheOneBeforeTheComingGroup) {
  add_sections({{"A", "SA"}, {"B", "SB"}, {"C", "SC"}});
  EXPECT_TRUE(ticker->HasCurrentSection());
  EXPECT_EQ(ticker->GetUpcomingSections(), cycle({"SC", "SA", "SB"}));
  ASSERT_TRUE(ticker->SetNextGroup("B"));
  EXPECT_EQ(ticker->GetUpcomingSections(), cycle({"SA", "SB", "SC"}));
}

TEST_F(SectionsTest, GroupsWithoutSectionAreLeftOut) {
  add_sections({{"A", "SA"}, {"X", ""}, {"C", "SC"}});
  EXPECT_EQ(next(2), (keys{"A1", "X1"}));
  EXPECT_FALSE(ticker->HasCurrentSection());
  EXPECT_EQ(ticker->GetUpcomingSections(), cycle({"SC", "SA"}));
}

TEST_F(SectionsTest, NoSectionsGiveAnEmptyList) {
  EXPECT_TRUE(ticker->GetUpcomingSections().empty());
  add_sections({{"A", ""}, {"B", ""}});
  EXPECT_TRUE(ticker->GetUpcomingSections().empty());
  EXPECT_FALSE(ticker->HasCurrentSection());
}

}  // namespace
}  // namespace orv::testing
