#include "engine/ticker_group.h"

#include <gtest/gtest.h>

#include "engine/ticker_clock.h"
#include "tests/support/memory_logger.h"

namespace orv {
namespace {

using keys = std::vector<std::string>;

struct null_subscriber : quillmere_subscriber {
  void receive(const std::string&) override {}
};

struct fake_client : quillmere_client_base {
  keys first_urls;
  std::weak_ptr<int> handle;
  quillmere_subscription subscribe(const keys& urls, std::shared_ptr<quillmere_subscriber> subscriber) override {
    EXPECT_NE(subscriber, nullptr);
    first_urls.push_back(urls.front());
    auto h = std::make_shared<int>(0);
    handle = h;
    return h;
  }
};

class TickerGroupTest : public ::testing::Test {
 protected:
  std::shared_ptr<TickerGroup> make(const std::string& xml, bool ignore_inactive = false) {
    auto group = std::make_shared<TickerGroup>(manager, "ticker", log, ignore_inactive);
    EXPECT_TRUE(group->ParseXML(xml));
    return group;
  }

  // Keys of one round as the scheduler takes them.
  static keys round(TickerGroup& group, std::size_t limit = 20) {
    keys out_keys;
    TickerElement out;
    while (out_keys.size() < limit && group.HasNextElement() && group.NextElement(out)) out_keys.push_back(out.key());
    return out_keys;
  }

  std::shared_ptr<sharedTickerElement> feed(const std::string& key, const std::string& active = "1") {
    auto e = std::make_shared<sharedTickerElement>(manager->key_index());
    e->SetKey(key);
    e->SetFromFeed(true);
    e->AddValue("active", "control", active);
    return e;
  }

  scoped_ticker_clock clock{1'000'000};
  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>(100);
  std::shared_ptr<fake_client> client = std::make_shared<fake_client>();
  std::shared_ptr<QuillmereTickerManager> manager = std::make_shared<QuillmereTickerManager>(
      client, log, [](auto, auto, auto) { return std::make_shared<null_subscriber>(); });
};

TEST_F(TickerGroupTest, HandsOutElementsInByteWiseKeyOrder) {
  auto g = make("<group><element key=\"b\"/><element key=\"a\"/><element key=\"10\"/>"
                "<element key=\"9\"/><element key=\"\xC3\xA9\"/><element key=\"z\"/></group>");
  ASSERT_TRUE(g->StartRound());
  EXPECT_EQ(round(*g), (keys{"10", "9", "a", "b", "z", "\xC3\xA9"}));
}

TEST_F(TickerGroupTest, ReadsGroupXml) {
  auto g = make(
      "<group name=\"n\" chunking=\"3x\" duration=\"12\" immortal=\"no\" ttl=\"5 \" interval=\"30\">"
      "<section>\n Sport \n</section><defaultdesign> Def </defaultdesign>"
      "<subscribeurl> http://hub/a </subscribeurl><subscribeurl>http://hub/b</subscribeurl>"
      "<element key=\"e1\" priority_skip=\"yes\"><design> Own </design><log_msg> m </log_msg><ttl> 3 </ttl>"
      "<value label=\"x\" attribute=\"text\">1</value><value>2</value>"
      "<value label=\"y\" encoding=\"base64\">QUI=</value></element>"
      "<element key=\"e2\" role=\"main\"><value>3</value></element>"
      "<value label=\"stray\">ignored</value></group>");
  EXPECT_EQ(g->name(), "n");
  EXPECT_EQ(g->chunking(), 3);
  EXPECT_EQ(g->duration(), 12);
  EXPECT_TRUE(g->IsMortal());
  EXPECT_EQ(g->section(), "Sport");
  EXPECT_EQ(g->default_design(), " Def ");
  EXPECT_EQ(g->subscribe_urls(), (keys{"http://hub/a", "http://hub/b"}));
  EXPECT_TRUE(log->contains("Found section: Sport"));

  const auto& e1 = *g->elements().at("e1");
  EXPECT_EQ(e1.design() + "|" + e1.log_msg(), "Own| m ");
  EXPECT_EQ(e1.ttl(), 3);
  EXPECT_TRUE(e1.priority_skip());
  // Inside one element a value without label and attribute keeps the previous ones.
  ASSERT_EQ(e1.values().size(), 3u);
  EXPECT_EQ(e1.values()[1].label + e1.values()[1].attribute + e1.values()[1].text, "xtext2");
  EXPECT_EQ(e1.values()[2].text, "AB");
  const auto& e2 = *g->elements().at("e2");
  EXPECT_EQ(e2.values().at(0).label, "");  // a new element starts without a label
  EXPECT_EQ(e2.design() + "|" + e2.log_msg(), " Def |n");
  EXPECT_EQ(e2.ttl(), 5);

  EXPECT_FALSE(make("<group immortal=\"yes\"/>")->IsMortal());
  EXPECT_FALSE(make("<group/>")->IsMortal());
  log->clear();
  for (const char* bad : {"abc", " 4", "99999999999"}) {
    auto b = make(std::string("<group ttl=\"") + bad + "\"><element key=\"k\"/></group>");
    EXPECT_EQ(b->elements().at("k")->ttl(), -1) << bad;
  }
  EXPECT_EQ(log->count("Failed lexical cast of ttl from xml"), 3);
}

TEST_F(TickerGroupTest, MainElementAndHandedOutCopies) {
  log->clear();
  auto g = make("<group name=\"news\"><element key=\"b\"/><element key=\"a\"/></group>");
  EXPECT_TRUE(g->elements().at("a")->is_main());
  EXPECT_EQ(g->elements().at("a")->log_msg(), "news");
  EXPECT_EQ(log->count("news/a: Main Element\n"), 1);

  // Without a main element the first element is handed out with the group name as log.
  ASSERT_TRUE(g->DeleteElement("a"));
  EXPECT_FALSE(g->HasMain());
  g->StoreElement(TickerElement("<element key=\"0\"><value>v</value></element>"));
  g->SetControlName("CTRL");
  ASSERT_TRUE(g->StartRound());
  TickerElement out;
  ASSERT_TRUE(g->NextElement(out));
  EXPECT_EQ(out.log_msg(), "news");
  ASSERT_EQ(out.values().size(), 2u);
  EXPECT_EQ(out.values()[1].label + out.values()[1].attribute + out.values()[1].text, "group_namecontrolCTRL");
  EXPECT_EQ(g->elements().at("0")->values().size(), 1u);
  EXPECT_EQ(g->elements().at("0")->log_msg(), "");
  ASSERT_TRUE(g->NextElement(out));
  EXPECT_EQ(out.log_msg(), "");
}

TEST_F(TickerGroupTest, ChunkingContinuesWhereTheLastRoundStopped) {
  auto g = make("<group chunking=\"2\"><element key=\"a\"/><element key=\"b\"/><element key=\"c\"/></group>");
  for (const keys& expected : {keys{"a", "b"}, keys{"c", "a"}, keys{"b", "c"}}) {
    ASSERT_TRUE(g->StartRound());
    EXPECT_EQ(round(*g), expected);
  }
  // Flush ends the round; the next one starts from the first element.
  ASSERT_TRUE(g->StartRound());
  EXPECT_EQ(round(*g, 1), keys{"a"});
  g->Flush();
  EXPECT_FALSE(g->HasNextElement());
  ASSERT_TRUE(g->StartRound());
  EXPECT_EQ(round(*g), (keys{"a", "b"}));
}

TEST_F(TickerGroupTest, TimedGroupRerunsUntilItsDurationThenMarksItself) {
  auto g = make("<group name=\"t\" duration=\"10\"><element key=\"a\"/><element key=\"b\"/>"
                "<element key=\"c\"/></group>");
  ASSERT_TRUE(g->StartRound());
  EXPECT_EQ(round(*g, 7), (keys{"a", "b", "c", "a", "b", "c", "a"}));
  EXPECT_EQ(log->count("rerunning t"), 2);
  clock.advance(10);
  EXPECT_TRUE(g->HasNextElement());
  clock.advance(1);
  EXPECT_EQ(round(*g), (keys{"b", "c"}));  // expired: the round is finished first
  EXPECT_TRUE(g->IsMarked());
  EXPECT_EQ(log->count("  Marking 't' for deletion.\n"), 1);
  // Marked, it gives one last round and no more.
  ASSERT_TRUE(g->StartRound());
  EXPECT_EQ(round(*g), (keys{"a", "b", "c"}));
  EXPECT_FALSE(g->HasNextElement());
  TickerElement out;
  EXPECT_FALSE(g->NextElement(out));
  EXPECT_TRUE(log->contains("was marked for deletion - no more rounds\n"));
}

TEST_F(TickerGroupTest, TtlOfTheLastElementDeactivatesTheGroup) {
  auto g = make("<group ttl=\"2\"><element key=\"a\"><ttl>1</ttl></element><element key=\"b\"/></group>");
  ASSERT_TRUE(g->StartRound());
  EXPECT_EQ(round(*g), (keys{"a", "b"}));
  EXPECT_EQ(g->elements().at("a")->ttl(), 0);  // only the last element decides
  EXPECT_FALSE(g->IsEmpty());
  ASSERT_TRUE(g->StartRound());
  TickerElement out;
  ASSERT_TRUE(g->NextElement(out) && g->NextElement(out));
  EXPECT_EQ(out.ttl(), 1);  // the copy shows the ttl before this showing
  EXPECT_FALSE(g->IsActive());
  EXPECT_TRUE(g->IsEmpty());
  ASSERT_TRUE(g->StartRound());
  EXPECT_FALSE(g->HasNextElement());
}

TEST_F(TickerGroupTest, MalformedXmlEmptiesTheGroup) {
  auto g = make("<group><element key=\"old\"/></group>");
  const std::string bad = "<group><element key=\"a\"><value>x</element></group>";
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(g->ParseXML(bad));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(g->elements().empty());
  EXPECT_FALSE(g->StartRound());
  EXPECT_EQ(err, "Parse error in TickerGroup::ParseXML :mismatched tag\nLine number: 1\nXML with error: \n" + bad + "\n");
}

TEST_F(TickerGroupTest, ElementOperationsByKey) {
  auto g = make("<group name=\"g\"><element key=\"a\"/><element key=\"b\"/><element key=\"c\"/></group>");
  // Reparsing updates in place and adds; the cursor goes back to the first element.
  ASSERT_TRUE(g->StartRound());
  EXPECT_EQ(round(*g, 1), keys{"a"});
  const auto* stored_b = g->elements().at("b").get();
  ASSERT_TRUE(g->ParseXML("<group><element key=\"b\"><value>2</value></element><element key=\"d\"/></group>"));
  EXPECT_EQ(g->elements().at("b").get(), stored_b);
  EXPECT_EQ(stored_b->values().size(), 1u);
  EXPECT_EQ(round(*g), (keys{"a", "b", "c", "d"}));

  g->SetDefaultDesign("DD");
  ASSERT_TRUE(g->UpdateElement(TickerElement("<element key=\"a\"><value>new</value></element>")));
  EXPECT_TRUE(g->elements().at("a")->is_main());
  EXPECT_EQ(g->elements().at("a")->log_msg(), "g");
  TickerElement out;
  ASSERT_TRUE(g->GetElement("a", out));
  EXPECT_EQ(out.design() + out.values().at(0).text, "DDnew");
  EXPECT_FALSE(g->UpdateElement(TickerElement("<element key=\"zz\"/>")));
  EXPECT_FALSE(g->GetElement("zz", out));

  // Deleting the element under the cursor moves the cursor on.
  ASSERT_TRUE(g->StartRound());
  EXPECT_EQ(round(*g, 1), keys{"a"});
  ASSERT_TRUE(g->DeleteElement("b"));
  EXPECT_FALSE(g->DeleteElement("b"));
  EXPECT_EQ(round(*g), (keys{"c", "d"}));
  for (const char* key : {"a", "c", "d"}) ASSERT_TRUE(g->DeleteElement(key));
  EXPECT_FALSE(g->HasNextElement());
  g->StoreElement(TickerElement("<element key=\"n\"/>"));
  EXPECT_EQ(round(*g), keys{"n"});  // the first stored element takes the cursor
}

TEST_F(TickerGroupTest, PrioritySkipPassesAnElementOverOnce) {
  auto g = make("<group><element key=\"a\" priority_skip=\"yes\"/><element key=\"b\"/></group>");
  g->SetAllSkipArmed(true);
  ASSERT_TRUE(g->StartRound());
  EXPECT_EQ(round(*g), keys{"b"});
  ASSERT_TRUE(g->StartRound());
  EXPECT_EQ(round(*g), (keys{"a", "b"}));
}

TEST_F(TickerGroupTest, IndependentGroupIsDueByWholeIntervals) {
  auto g = make("<group interval=\"10\"><element key=\"a\"/></group>");
  // Due at once; that leaves its clock a full interval behind, so a second later it is due again.
  const std::vector<std::pair<int, bool>> steps = {{0, true},   {5, true},  {1, false}, {4, true},
                                                   {37, true}, {2, false}, {1, true}};
  for (const auto& [advance, due] : steps) {
    clock.advance(advance);
    EXPECT_EQ(g->IsDue(), due) << clock.now();
  }
  EXPECT_FALSE(make("<group interval=\"10\"/>")->IsDue());
  auto later = make("<group><element key=\"a\"/></group>");
  later->SetInterval(60);
  EXPECT_TRUE(later->IsDue());
}

TEST_F(TickerGroupTest, ReplaceElementsKeepsOwnElementsAndTheCursorKey) {
  auto g = make("<group><element key=\"m\"/><element key=\"z\"/></group>");
  element_map incoming{{"[1000001]A", feed("A")}, {"[1000002]B", feed("B")}};
  g->ReplaceElements(incoming);
  incoming.clear();
  ASSERT_TRUE(g->StartRound());
  EXPECT_EQ(round(*g, 2), (keys{"A", "B"}));  // the cursor is now on "m"

  incoming = {{"[1000001]C", feed("C")}, {"m", feed("M")}};
  g->ReplaceElements(incoming);
  incoming.clear();
  EXPECT_EQ(g->elements().size(), 3u);
  EXPECT_EQ(round(*g), (keys{"M", "z"}));  // the feed element won the key "m"
  EXPECT_EQ(manager->key_index()->find("B"), nullptr);
  EXPECT_NE(manager->key_index()->find("C"), nullptr);

  ASSERT_TRUE(g->StartRound());
  EXPECT_EQ(round(*g, 1), keys{"C"});
  incoming = {{"[1000001]C", feed("C")}};
  g->ReplaceElements(incoming);
  EXPECT_EQ(round(*g), keys{});  // the cursor's key has gone: the cursor is at the end

  g.reset();
  incoming.clear();
  EXPECT_EQ(manager->key_index()->size(), 0u);
}

TEST_F(TickerGroupTest, SubscribedGroupsCountOnlyEligibleFeedElements) {
  auto g = make("<group><subscribeurl>http://hub:1/x</subscribeurl><subscribeurl>http://hub:2/y</subscribeurl>"
                "<element key=\"own\"/></group>",
                /*ignore_inactive=*/true);
  g->Subscribe();
  ASSERT_TRUE(g->IsSubscribed());
  EXPECT_EQ(client->first_urls, keys{"http://hub:1/x"});
  EXPECT_EQ(log->count("Adding managed group with url: http://hub:1/x\r\n"), 1);
  EXPECT_TRUE(g->IsEmpty());  // no feed element yet

  auto j = feed("J", "0");
  element_map incoming{{"[1000001]I", feed("I", "0")}, {"[1000002]J", j}};
  g->ReplaceElements(incoming);
  EXPECT_TRUE(g->IsEmpty());
  j->SetValue("active", "control", "1");
  ASSERT_TRUE(g->StartRound());
  EXPECT_EQ(round(*g), (keys{"J", "own"}));  // the inactive feed element is passed over

  g->CloseSubscription();
  EXPECT_TRUE(client->handle.expired());
  g->Subscribe();
  EXPECT_FALSE(client->handle.expired());
  g.reset();
  EXPECT_TRUE(client->handle.expired());

  // Without a client the group subscribes but holds no connection.
  auto offline = std::make_shared<QuillmereTickerManager>(nullptr, log, nullptr);
  auto lone = std::make_shared<TickerGroup>(offline, "lone", log, false);
  ASSERT_TRUE(lone->ParseXML("<group><subscribeurl>u</subscribeurl></group>"));
  lone->Subscribe();
  EXPECT_TRUE(lone->IsSubscribed());
  EXPECT_EQ(log->count("Adding managed group with url: u\r\n"), 1);
}

TEST_F(TickerGroupTest, ContentXmlQuotesEachElementInKeyOrder) {
  auto g = make("<group><element key=\"b\"><design>D</design></element>"
                "<element key=\"a\"><value label=\"L\">\xC3\xA9</value></element></group>");
  EXPECT_EQ(g->GetContentXml(),
            u"\"<element key=\"a\">\n  <design></design>\n  <ttl>-1</ttl>\n"
            u"  <value label=\"L\" attribute=\"\">\u00E9</value>\n</element>\n\" "
            u"\"<element key=\"b\">\n  <design>D</design>\n  <ttl>-1</ttl>\n</element>\n\" ");
}

}  // namespace
}  // namespace orv
