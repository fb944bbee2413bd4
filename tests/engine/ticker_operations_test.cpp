#include "engine/ticker_control.h"

#include <algorithm>
#include <functional>
#include <tuple>
#include <utility>

#include "tests/engine/ticker_fixture.h"

namespace orv::testing {
namespace {

using OperationsTest = ticker_test;

TEST_F(OperationsTest, PlacementsNeedAFreeNameAndKeepTheCursorOnTheCurrentGroup) {
  EXPECT_TRUE(ticker->AddGroupAfterCurrent(group_xml("A", {"a1", "a2"}))) << "the first group becomes current";
  add("A", group_xml("B", {"b1"}));
  EXPECT_EQ(next(), "a1");
  // What is done, the call, its answer, the groups after it.
  const std::vector<std::tuple<std::string, std::function<bool()>, bool, std::string>> steps = {
      {"after current", [&] { return ticker->AddGroupAfterCurrent(group_xml("C", {"c1"})); }, true, "A C B"},
      {"after current, name taken", [&] { return ticker->AddGroupAfterCurrent(group_xml("B", {})); }, false, "A C B"},
      {"before current", [&] { return ticker->AddGroupBeforeCurrent(group_xml("Z", {"z1"})); }, true, "Z A C B"},
      {"before current, name taken", [&] { return ticker->AddGroupBeforeCurrent(group_xml("A", {})); }, false,
       "Z A C B"},
      {"after a group", [&] { return ticker->AddGroupAfterGroup("C", group_xml("D", {"d1"})); }, true, "Z A C D B"},
      {"after a missing group", [&] { return ticker->AddGroupAfterGroup("Q", group_xml("E", {})); }, false,
       "Z A C D B"},
      {"first", [&] { return ticker->AddGroupAfterGroup("", group_xml("F", {"f1"})); }, true, "F Z A C D B"},
      {"malformed", [&] { return ticker->AddGroupAfterGroup("", "<group name=\"G\">"); }, false, "F Z A C D B"},
      {"move after a group", [&] { return ticker->MoveGroup("A", "D"); }, true, "F Z C D A B"},
      {"move to the end", [&] { return ticker->MoveGroup("F", ""); }, true, "Z C D A B F"},
      {"move a missing group", [&] { return ticker->MoveGroup("Q", ""); }, false, "Z C D A B F"},
      {"move after a missing group", [&] { return ticker->MoveGroup("B", "Q"); }, false, "Z C D A B F"},
  };
  ::testing::internal::CaptureStderr();  // taken names and parse errors are reported there
  for (const auto& [what, call, done, groups] : steps) {
    EXPECT_EQ(call(), done) << what;
    std::string listed = ticker->GetGroups();
    std::replace(listed.begin(), listed.end(), '\n', ' ');
    EXPECT_EQ(listed, groups + " ") << what;
  }
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(logged("AddGroupAfterGroup: Group 'Q' to follow E not in ticker.\n"));
  EXPECT_TRUE(logged("  ParseXML problem.\n"));
  EXPECT_EQ(ticker->GetCurrentGroupName(), "A");
  EXPECT_EQ(next(6), (keys{"a2", "b1", "f1", "z1", "c1", "d1"}));
}

TEST_F(OperationsTest, DeletingAndMarkingGroups) {
  carousel({{"A", {"a1"}}, {"B", {"b1"}}, {"C", {"c1"}}});
  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("I", {"i1"}, " interval=\"10\"")));
  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("J", {"j1"})));
  EXPECT_EQ(ticker->GetGroupNames(), (keys{"A", "B", "C", "J", "I"}));
  ASSERT_TRUE(ticker->AddPriorityGroup("B"));
  EXPECT_TRUE(ticker->DeleteGroup("B"));
  EXPECT_EQ(ticker->GetPriorityQueueSize(), 0) << "the name leaves the priority queue too";
  // What is not on screen goes at once.
  EXPECT_TRUE(ticker->MarkGroupForDeletion("C") && ticker->MarkGroupForDeletion("J"));
  EXPECT_EQ(ticker->GetGroupNames(), (keys{"A", "I"}));
  EXPECT_EQ(next(), "i1");
  EXPECT_TRUE(ticker->DeleteGroup("I")) << "also while it is on screen";
  EXPECT_EQ(next(2), (keys{"a1", "a1"}));
  EXPECT_TRUE(ticker->MarkGroupForDeletion("A"));
  EXPECT_EQ(ticker->GetGroupNames(), keys{"A"}) << "the current group is only marked";
  std::shared_ptr<TickerGroup> group;
  EXPECT_FALSE(ticker->GetGroup("A", group)) << "marked groups are out of reach";
  EXPECT_FALSE(ticker->DeleteGroup(""));
  EXPECT_TRUE(logged("DeleteGroup failed, group_name =''  \n"));
}

TEST_F(OperationsTest, ElementOperationsWorkByGroupNameAndKey) {
  carousel({{"A", {"k1", "k3"}}});
  EXPECT_TRUE(ticker->PutElement("A", "<element key=\"k2\"><value label=\"t\">two</value></element>"));
  EXPECT_TRUE(ticker->PutElement("A", "<element key=\"k1\"><design>D</design></element>"));
  EXPECT_TRUE(ticker->UpdateElement("A", "<element key=\"k2\"><value label=\"t\">TWO</value></element>"));
  EXPECT_TRUE(ticker->DeleteElement("A", "k3"));
  TickerElement element;
  ASSERT_TRUE(ticker->GetElement("A", "k1", element));
  EXPECT_EQ(element.design() + std::to_string(element.values().size()), "D0") << "put replaces the whole element";
  EXPECT_EQ(next(3), (keys{"k1", "k2", "k1"}));
  EXPECT_TRUE(ticker->ClearGroup("A"));

  const std::vector<std::pair<std::string, std::function<bool()>>> on_missing_group = {
      {"DeleteElement", [&] { return ticker->DeleteElement("Q", "k1"); }},
      {"ClearGroup", [&] { return ticker->ClearGroup("Q"); }},
      {"GetElement", [&] { return ticker->GetElement("Q", "k1", element); }},
      {"UpdateElement", [&] { return ticker->UpdateElement("Q", "<element key=\"k1\"/>"); }},
      {"PutElement", [&] { return ticker->PutElement("Q", "<element key=\"k1\"/>"); }},
      {"MarkGroupForDeletion", [&] { return ticker->MarkGroupForDeletion("Q"); }},
  };
  for (const auto& [operation, call] : on_missing_group) {
    EXPECT_FALSE(call()) << operation;
    EXPECT_TRUE(logged(operation + " failed: group_name: Q is not found\n")) << operation;
  }
  // Every other failure is a false answer with its line too.
  const std::vector<std::tuple<std::string, std::function<bool()>, std::string>> failing = {
      {"malformed put", [&] { return ticker->PutElement("A", "<element key=\"k9\">"); },
       "PutElement failed: element XML is not well-formed, group_name: A\n"},
      {"malformed update", [&] { return ticker->UpdateElement("A", "<element key=\"k2\""); },
       "UpdateElement failed: element XML is not well-formed, group_name: A\n"},
      {"update of a missing key", [&] { return ticker->UpdateElement("A", "<element key=\"k9\"/>"); },
       "UpdateElement failed: key: k9 is not found in group_name: A\n"},
      {"delete of a missing key", [&] { return ticker->DeleteElement("A", "k9"); },
       "DeleteElement failed: key: k9 is not found in group_name: A\n"},
      {"get of a missing key", [&] { return ticker->GetElement("A", "k1", element); },
       "GetElement failed: key: k1 is not found in group_name: A\n"},
      {"move of a missing group", [&] { return ticker->MoveGroup("Q", ""); },
       "MoveGroup failed: group_name: Q is not found\n"},
      {"move behind a missing group", [&] { return ticker->MoveGroup("A", "Q"); },
       "MoveGroup failed: group_name: Q is not found\n"},
  };
  for (const auto& [what, call, line] : failing) {
    log->clear();
    EXPECT_FALSE(call()) << what;
    EXPECT_TRUE(logged(line)) << what;
  }
}

TEST_F(OperationsTest, ContentListingShowsEachCarouselGroupWithItsElements) {
  EXPECT_EQ(ticker->GetGroupsWithContent(), "");
  add("",
      "<group name=\"G\"><element key=\"k\"><design>D</design><value label=\"L\" attribute=\"A\">T</value>"
      "</element></group>");
  add("G", "<group name=\"H\"/>");
  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("I", {"i1"})));
  EXPECT_EQ(ticker->GetGroups(), "G\nH\n");
  EXPECT_EQ(ticker->GetGroupsWithContent(),
            "G\r\n-------------------------------------------\r\n|D: L.A=T  (k: G)\r\n\r\n"
            "H\r\n-------------------------------------------\r\n\r\n");
}

// A step lists a bounded number of elements, so a group of thousands takes several, each
// going on after the last key listed before.
TEST_F(OperationsTest, ALargeGroupIsListedInStepsThatGoOnAfterTheLastKeyListed) {
  keys many;
  for (int i = 0; i < 600; ++i) many.push_back("k" + std::to_string(1000 + i));
  add("", group_xml("G", many));
  add("G", group_xml("H", {"h1"}));
  const std::string whole = ticker->GetGroupsWithContent();
  auto count = [](const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(whole, "|"), 601u);
  std::string text;
  int steps = 1;
  for (auto step = ticker->ListGroupsWithContent(); !step(text); ++steps) {
    // The last key listed and the next one go between steps.
    const auto last = text.rfind("(k");
    const std::string key = text.substr(last + 1, 5);
    ASSERT_TRUE(ticker->DeleteElement("G", key));
    ASSERT_TRUE(ticker->DeleteElement("G", "k" + std::to_string(std::stoi(key.substr(1)) + 1)));
  }
  EXPECT_EQ(steps, 3);
  EXPECT_EQ(count(text, "|"), 601u - 2) << "the next key of each stop was left out";
  EXPECT_EQ(count(text, "(k1255:"), 1u);
  EXPECT_EQ(count(text, "(k1256:"), 0u);
  EXPECT_EQ(count(text, "(k1257:"), 1u);
  EXPECT_EQ(text.substr(text.size() - 60), whole.substr(whole.size() - 60));
}

TEST_F(OperationsTest, FlushAndClearAllEmptyWhatTheRendererIsWaitingFor) {
  carousel({{"A", {"a1", "a2"}}, {"B", {"b1"}}});
  EXPECT_EQ(next(), "a1");
  ticker->Flush();
  EXPECT_EQ(supplier->clears, 1);
  EXPECT_EQ(next(), "b1") << "the flushed round is over";
  // Every kind of round ends at once, with no empty answer in between: a chunking round,
  // a timed one that would rerun its elements until its time is up, and the only group's.
  add("B", group_xml("C", {"c1", "c2", "c3"}, " chunking=\"2\""));
  add("C", group_xml("T", {"t1", "t2"}, " duration=\"60\""));
  EXPECT_EQ(next(), "c1");
  ticker->Flush();
  EXPECT_EQ(next(), "t1") << "a chunking round";
  ticker->Flush();
  EXPECT_EQ(next(), "a1") << "a timed round, which would rerun until its time is up";
  ASSERT_TRUE(ticker->SetNextGroup("C"));
  EXPECT_EQ(next(), "c1");
  ASSERT_TRUE(ticker->SetNextGroup("T"));
  EXPECT_EQ(next(), "t1");
  ASSERT_TRUE(ticker->SetNextGroup("A"));
  EXPECT_EQ(next(), "a1") << "the override is taken at once";
  for (const char* name : {"A", "B", "C"}) ASSERT_TRUE(ticker->DeleteGroup(name));
  EXPECT_EQ(next(), "t1");
  ticker->Flush();
  EXPECT_EQ(next(2), (keys{"t1", "t2"})) << "a new round of the only group";
  EXPECT_EQ(events, (keys{"at_end news", "at_end news", "at_end news"})) << "no empty answer in between";

  ASSERT_TRUE(ticker->AddIndependentGroup(group_xml("I", {"i1"}, " interval=\"10\"")));
  ASSERT_TRUE(ticker->AddGroupToRunOncePriorityQueue(group_xml("R", {"r1"})));
  ASSERT_TRUE(ticker->AddPriorityGroup("T"));
  const int clears = supplier->clears;
  std::shared_ptr<TickerGroup> t;
  ASSERT_TRUE(ticker->GetGroup("T", t));
  const std::weak_ptr<TickerGroup> cleared = std::exchange(t, nullptr);
  std::vector<std::shared_ptr<void>> released;
  ticker->set_release([&](std::vector<std::shared_ptr<void>> dropped) { released = std::move(dropped); });
  ticker->ClearAll();
  EXPECT_EQ(released.size(), 3u) << "carousel, independent and run-once groups go to be freed later";
  EXPECT_FALSE(cleared.expired());
  released.clear();
  EXPECT_TRUE(cleared.expired());
  ticker->set_release(nullptr);
  EXPECT_EQ(supplier->clears, clears + 1);
  EXPECT_EQ(ticker->GetGroupNames(), keys{});
  EXPECT_EQ(ticker->GetCurrentGroupName(), "");
  EXPECT_EQ(next(), "-");
  EXPECT_EQ(ticker->GetPriorityQueueSize(), 1) << "kept; dropped when reached";
  add("", group_xml("A", {"a1"}));
  EXPECT_EQ(next(), "a1");
}

// Like the feed side: the subscription owns a subscriber that holds its group.
struct group_subscriber : quillmere_subscriber {
  void receive(const std::string&) override {}
  std::shared_ptr<ticker_group_base> group;
};

TEST_F(OperationsTest, FeedSubscriptionsEndWhenGroupsLeaveOrTheTickerGoes) {
  add("", group_xml("S", {"s1"}, "", "<subscribeurl>u</subscribeurl>"));  // this ticker's feed side has no client
  EXPECT_TRUE(logged("Adding managed group with url: u\r\n"));
  auto client = std::make_shared<fake_client>();
  auto feed = std::make_shared<QuillmereTickerManager>(client, log, [](auto group, auto, auto) {
    auto subscriber = std::make_shared<group_subscriber>();
    subscriber->group = std::move(group);
    return subscriber;
  });
  auto fed = std::make_shared<TickerControl>("fed", feed, log, false);
  auto subscribed = [](const std::string& name) {
    return group_xml(name, {"k"}, "", "<subscribeurl>http://hub/" + name + "</subscribeurl>");
  };
  ASSERT_TRUE(fed->AddGroupAfterGroup("", subscribed("A")));
  ASSERT_TRUE(fed->AddGroupAfterGroup("A", subscribed("B")));
  ASSERT_TRUE(fed->AddIndependentGroup(subscribed("I")));
  ASSERT_TRUE(fed->AddGroupToRunOncePriorityQueue(subscribed("R")));
  EXPECT_EQ(client->open(), 4);
  ASSERT_TRUE(fed->DeleteGroup("B") && fed->DeleteGroup("I"));
  EXPECT_EQ(client->open(), 2);
  fed.reset();
  EXPECT_EQ(client->open(), 0);
}

}  // namespace
}  // namespace orv::testing
