#include "engine/ticker_control.h"

#include "tests/engine/ticker_fixture.h"

namespace orv::testing {
namespace {

using CarouselTest = ticker_test;

TEST_F(CarouselTest, WalksGroupsInShowOrderAndAnnouncesEachWrap) {
  carousel({{"A", {"a2", "a1"}}, {"B", {"b1"}}});
  EXPECT_EQ(next(7), (keys{"a1", "a2", "b1", "a1", "a2", "b1", "a1"}));
  EXPECT_EQ(events, (keys{"at_end news", "at_end news"}));
}

TEST_F(CarouselTest, LoopModeNoPausesAtTheWrapUntilContinued) {
  carousel({{"A", {"a1"}}, {"B", {"b1"}}});
  ticker->set_loop("YES");  // exact words only: the ticker keeps looping
  EXPECT_EQ(next(3), (keys{"a1", "b1", "a1"}));

  ticker->set_loop("no");
  EXPECT_EQ(next(3), (keys{"b1", "-", "-"}));
  EXPECT_EQ(log->count("Ticker service is paused...\n"), 2);

  events.clear();
  ticker->OnStreamEmpty();
  EXPECT_TRUE(events.empty()) << "a paused ticker announces nothing";
  ticker->continue_ticker();
  EXPECT_EQ(next(), "a1");
  ticker->OnStreamEmpty();
  EXPECT_EQ(events, (keys{"at_end news", "empty news"}));
}

TEST_F(CarouselTest, MarkedCurrentGroupFinishesItsRoundAndLeavesNoCurrentGroup) {
  EXPECT_EQ(next(3), (keys{"-", "-", "-"}));
  EXPECT_EQ(log->count("No current group.\n"), 1) << "said once, not at the renderer's rate";
  carousel({{"A", {"a1", "a2"}}});
  EXPECT_EQ(next(), "a1");
  EXPECT_TRUE(ticker->MarkGroupForDeletion("A"));
  EXPECT_EQ(next(), "a2");
  log->clear();
  EXPECT_EQ(next(3), (keys{"-", "-", "-"}));
  EXPECT_EQ(log->count("No current group.\n"), 1) << "said again once the carousel has run empty";
  EXPECT_EQ(ticker->GetCurrentGroupName() + ticker->GetGroups(), "");
}

TEST_F(CarouselTest, RunOnceGroupsGoFirstAndEndWithAnAnswerWithoutElement) {
  carousel({{"A", {"a1"}}});
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
  EXPECT_EQ(next(3), (keys{"s1", "", "a1"}));
  EXPECT_EQ(events, (keys{"priority_size news 1", "priority_size news 0"}));
}

TEST_F(CarouselTest, IndependentGroupsAreDueAtOnceThenEveryIntervalButWaitForATextRound) {
  carousel({{"A", {"a1", "a2"}}});
  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("I", {"i1"}, " interval=\"10\"")));
  EXPECT_EQ(next(4), (keys{"i1", "a1", "a2", "a1"}));
  clock.advance(10);
  EXPECT_EQ(next(2), (keys{"i1", "a2"}));

  ASSERT_TRUE(ticker->DeleteGroup("A"));
  ASSERT_TRUE(ticker->AddGroupFromText("", "T", "w1 w2 w3", "D", "", "", "P", 0, "", ""));
  clock.advance(10);
  EXPECT_EQ(next(4), (keys{"0000", "0001", "0002", "i1"}));
}

TEST_F(CarouselTest, SupersedingGroupsRunAndTheInterruptedGroupResumesWhereItStopped) {
  carousel({{"A", {"a1", "a2", "a3"}}, {"B", {"b1"}}});
  EXPECT_EQ(next(), "a1");
  ASSERT_TRUE(ticker->AddGroupSuperseedCurrent(group_xml("S", {"s1", "s2"})));
  EXPECT_EQ(next(), "s1");
  // Superseding the superseding group queues behind it; A is still the one to resume.
  ASSERT_TRUE(ticker->AddGroupSuperseedCurrent(group_xml("T", {"t1"})));
  EXPECT_FALSE(ticker->AddGroupSuperseedCurrent(group_xml("T", {"t9"})));

  EXPECT_EQ(next(4), (keys{"s2", "t1", "a2", "a3"}));
  EXPECT_EQ(ticker->GetGroups(), "A\nS\nT\nB\n");
  EXPECT_EQ(next(4), (keys{"s1", "s2", "t1", "b1"})) << "they stay in the carousel";
}

TEST_F(CarouselTest, PriorityGroupRunsNextOnceAndSkipsItsPrioritySkipElements) {
  carousel({{"A", {"a1"}}, {"B", {"b1"}}});
  add("B", "<group name=\"C\"><element key=\"c1\" priority_skip=\"yes\"/><element key=\"c2\"/></group>");
  EXPECT_TRUE(ticker->AddPriorityGroup("C"));
  EXPECT_TRUE(ticker->AddPriorityGroup("C"));
  EXPECT_EQ(ticker->GetPriorityQueueSize(), 1);
  EXPECT_FALSE(ticker->AddPriorityGroup("Z"));
  EXPECT_TRUE(logged("AddPriorityGroup: No group named 'Z' among the 3 is currently active in the ticker.\n"));

  EXPECT_EQ(next(7), (keys{"a1", "c2", "a1", "b1", "c1", "c2", "a1"}));
  EXPECT_EQ(ticker->GetPriorityQueueSize(), 0);

  // A name that left the queue with its group and is queued again stands at the back.
  ASSERT_TRUE(ticker->AddPriorityGroup("B") && ticker->AddPriorityGroup("C") && ticker->DeleteGroup("C"));
  add("A", group_xml("C", {"c3"}));
  ASSERT_TRUE(ticker->AddPriorityGroup("A") && ticker->AddPriorityGroup("C"));
  EXPECT_EQ(ticker->GetPriorityQueueSize(), 3);
  EXPECT_EQ(next(4), (keys{"b1", "a1", "c3", "b1"}));
}

TEST_F(CarouselTest, PriorityNameOfAMarkedGroupIsDroppedAndTheCarouselAdvances) {
  carousel({{"A", {"a1", "a2"}}, {"B", {"b1"}}});
  EXPECT_EQ(next(), "a1");
  ASSERT_TRUE(ticker->AddPriorityGroup("A"));
  ASSERT_TRUE(ticker->MarkGroupForDeletion("A"));
  EXPECT_TRUE(logged("TickerControl::MarkGroupForDeletion, marking for deletion: A\n"));

  EXPECT_EQ(next(3), (keys{"a2", "b1", "b1"}));
  EXPECT_TRUE(logged("Deleting group which is marked for deletion from priority:A, queue size=0\n"));
  EXPECT_EQ(ticker->GetGroups(), "B\n");
}

TEST_F(CarouselTest, SetNextGroupEndsTheCurrentRoundAndChoosesTheNextGroup) {
  carousel({{"A", {"a1", "a2"}}, {"B", {"b1"}}, {"C", {"c1"}}});
  EXPECT_EQ(next(), "a1");
  EXPECT_TRUE(ticker->SetNextGroup("C"));
  EXPECT_EQ(std::make_pair(supplier->clears, supplier->refreshes), std::make_pair(1, 1));
  EXPECT_EQ(next(4), (keys{"c1", "a1", "a2", "b1"}));

  ASSERT_TRUE(ticker->MarkGroupForDeletion("B"));
  EXPECT_FALSE(ticker->SetNextGroup("B")) << "a marked group is not chosen";
  EXPECT_EQ(supplier->refreshes, 1);
}

TEST_F(CarouselTest, DeletingTheCurrentGroupMovesOnAndTheOnlyGroupLeavesNoCurrent) {
  carousel({{"A", {"a1", "a2"}}, {"B", {"b1", "b2"}}, {"C", {"c1"}}});
  EXPECT_EQ(next(), "a1");
  EXPECT_TRUE(ticker->DeleteGroup("A"));
  EXPECT_EQ(next(), "b1");
  // Chosen to come next, then deleted while current: its neighbour takes over.
  ASSERT_TRUE(ticker->SetNextGroup("B"));
  EXPECT_TRUE(ticker->DeleteGroup("B"));
  EXPECT_EQ(ticker->GetCurrentGroupName(), "C");
  EXPECT_EQ(next(2), (keys{"c1", "c1"}));
  ASSERT_TRUE(ticker->DeleteGroup("C"));
  carousel({{"B", {"b1", "b2"}}});

  EXPECT_TRUE(ticker->DeleteGroup("B"));
  EXPECT_EQ(ticker->GetCurrentGroupName() + ticker->GetGroups(), "");
  EXPECT_EQ(next(), "-");
  EXPECT_FALSE(ticker->DeleteGroup("B"));
}

// Values a client may send that mean nothing sensible still give a defined carousel: a
// chunking of zero or less is no chunking, a negative duration no time limit, an interval
// below one always due, a negative ttl unlimited.
TEST_F(CarouselTest, NumericAttributesOverTheirWholeRangeKeepTheCarouselMoving) {
  add("", group_xml("A", {"a1", "a2"}, " chunking=\"-1\" duration=\"-2147483648\" ttl=\"-9\""));
  add("A", group_xml("B", {"b1"}, " chunking=\"-2147483648\" interval=\"-5\""));
  add("B", group_xml("C", {"c1", "c2"}, " chunking=\"2147483647\" duration=\"2147483647\""));
  EXPECT_EQ(next(6), (keys{"a1", "a2", "b1", "c1", "c2", "c1"}));
  ticker->Flush();
  EXPECT_EQ(next(2), (keys{"a1", "a2"}));
  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("I", {"i1"}, " interval=\"-2147483648\"")));
  EXPECT_EQ(next(2), (keys{"i1", "i1"})) << "always due";
}

TEST_F(CarouselTest, RoundWithNothingEligibleLeftGivesNoEmptyAnswer) {
  carousel({{"A", {"a1"}}});
  add("A", "<group name=\"C\"><element key=\"c1\"/><element key=\"c2\" priority_skip=\"yes\"/></group>");
  ASSERT_TRUE(ticker->AddPriorityGroup("C"));
  EXPECT_EQ(next(3), (keys{"a1", "c1", "a1"})) << "a skipped tail ends the round";
  add("C", "<group name=\"T\" duration=\"60\"><element key=\"t1\"/><element key=\"t2\" priority_skip=\"yes\"/>"
           "</group>");
  ASSERT_TRUE(ticker->AddPriorityGroup("T"));
  EXPECT_EQ(next(3), (keys{"t1", "t1", "t2"})) << "a timed round reruns at once";
}

TEST_F(CarouselTest, ExhaustedMortalGroupIsDroppedAtTheAdvance) {
  carousel({{"A", {"a1"}}});
  add("A", group_xml("M", {"m1", "m2"}, " immortal=\"no\" ttl=\"1\""));
  EXPECT_EQ(next(5), (keys{"a1", "m1", "m2", "a1", "a1"}));
  EXPECT_EQ(ticker->GetGroups(), "A\n");
}

TEST_F(CarouselTest, UpcomingSectionsStartBeforeTheComingGroupAndLeaveOutGroupsWithout) {
  EXPECT_TRUE(ticker->GetUpcomingSections().empty());
  std::string follow;
  for (const std::string name : {"A", "B", "X", "C"}) {
    add(follow, group_xml(name, {name + "1"}, "", name == "X" ? "" : "<section>S" + name + "</section>"));
    follow = name;
  }
  auto sixteen = [](keys cycle) {
    for (std::size_t i = cycle.size(); i < 16; ++i) cycle.push_back(cycle[i % 3]);
    return cycle;
  };
  EXPECT_TRUE(ticker->HasCurrentSection());
  EXPECT_EQ(ticker->GetUpcomingSections(), sixteen({"SC", "SA", "SB"}));
  EXPECT_EQ(next(3), (keys{"A1", "B1", "X1"}));
  EXPECT_FALSE(ticker->HasCurrentSection());
  ASSERT_TRUE(ticker->SetNextGroup("B"));
  EXPECT_EQ(ticker->GetUpcomingSections(), sixteen({"SA", "SB", "SC"}));
  for (const char* name : {"A", "B", "C"}) ASSERT_TRUE(ticker->DeleteGroup(name));
  EXPECT_TRUE(ticker->GetUpcomingSections().empty()) << "only a group without section is left";
}

}  // namespace
}  // namespace orv::testing
