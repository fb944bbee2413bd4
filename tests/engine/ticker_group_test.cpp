#include "engine/ticker_group.h"

#include "tests/engine/ticker_fixture.h"

namespace orv::testing {
namespace {

struct null_subscriber : quillmere_subscriber {
  void receive(const std::string&) override {}
};

class TickerGroupTest : public ::testing::Test {
 protected:
  std::shared_ptr<TickerGroup> make(const std::string& xml, bool ignore_inactive = false) {
    auto group = std::make_shared<TickerGroup>(manager, "ticker", log, ignore_inactive);
    EXPECT_TRUE(group->ParseXML(xml));
    return group;
  }
  std::shared_ptr<TickerGroup> make_empty() { return std::make_shared<TickerGroup>(manager, "", log, false); }
  // Keys of one round as the scheduler takes them.
  static keys round(TickerGroup& group, std::size_t limit = 20) {
    keys out_keys;
    TickerElement out;
    while (out_keys.size() < limit && group.HasNextElement() && group.NextElement(out)) out_keys.push_back(out.key());
    return out_keys;
  }
  static keys new_round(TickerGroup& group, std::size_t limit = 20) {
    EXPECT_TRUE(group.StartRound());
    return round(group, limit);
  }
  std::shared_ptr<sharedTickerElement> feed(const std::string& key) {
    auto e = std::make_shared<sharedTickerElement>(manager->key_index());
    e->SetKey(key);
    e->SetFromFeed(true);
    return e;
  }

  scoped_ticker_clock clock{1'000'000};
  std::shared_ptr<memory_logger> log = std::make_shared<memory_logger>(100);
  std::shared_ptr<fake_client> client = std::make_shared<fake_client>();
  std::shared_ptr<QuillmereTickerManager> manager = std::make_shared<QuillmereTickerManager>(
      client, log, [](auto, auto, auto) { return std::make_shared<null_subscriber>(); });
};

TEST_F(TickerGroupTest, HandsOutElementsInByteWiseKeyOrder) {
  auto g = make(
      "<group><element key=\"b\"/><element key=\"a\"/><element key=\"10\"/>"
      "<element key=\"9\"/><element key=\"\xC3\xA9\"/><element key=\"z\"/></group>");
  EXPECT_EQ(new_round(*g), (keys{"10", "9", "a", "b", "z", "\xC3\xA9"}));
}

TEST_F(TickerGroupTest, ReadsGroupXml) {
  auto g = make(
      "<group name=\"n\" chunking=\"3x\" duration=\"12\" immortal=\"no\" ttl=\"5 \" interval=\"30\">"
      "<section>\n Sport \n</section><defaultdesign> Def </defaultdesign>"
      "<element key=\"e1\" priority_skip=\"yes\"><design> Own </design><log_msg> m </log_msg><ttl> 3 </ttl>"
      "<value label=\"x\" attribute=\"text\">1</value><value>2</value>"
      "<value label=\"y\" encoding=\"base64\">QUI=</value></element>"
      "<element key=\"e2\" role=\"main\"><value>3</value></element>"
      "<value label=\"stray\">ignored</value></group>");
  EXPECT_EQ(g->name() + "|" + g->section() + "|" + g->default_design(), "n|Sport| Def ");
  EXPECT_EQ(std::vector<int>({g->chunking(), g->duration(), g->IsMortal()}), std::vector<int>({3, 12, 1}));
  // Inside one element a value without label and attribute keeps the previous ones; a new
  // element starts without them.
  EXPECT_EQ(describe(*g->elements().at("e1")), "Own| m |3|x/text/1|x/text/2|y/text/AB");
  EXPECT_TRUE(g->elements().at("e1")->priority_skip());
  EXPECT_EQ(describe(*g->elements().at("e2")), " Def |n|5|//3");

  EXPECT_FALSE(make("<group immortal=\"yes\"/>")->IsMortal() || make("<group/>")->IsMortal());
  log->clear();
  for (const char* bad : {"abc", " 4", "99999999999"}) {
    auto b = make(std::string("<group ttl=\"") + bad + "\"><element key=\"k\"/></group>");
    EXPECT_EQ(b->elements().at("k")->ttl(), -1) << bad;
  }
  EXPECT_EQ(log->count("Failed lexical cast of ttl from xml"), 3);
}

TEST_F(TickerGroupTest, WithoutMainElementTheFirstCopyHandedOutCarriesTheGroupName) {
  auto g = make("<group name=\"news\"><element key=\"b\"/><element key=\"a\"/></group>");
  EXPECT_EQ(g->elements().at("a")->log_msg(), "news") << "the first key is the main element";
  ASSERT_TRUE(g->DeleteElement("a"));
  EXPECT_FALSE(g->HasMain());
  g->StoreElement(TickerElement("<element key=\"0\"><value>v</value></element>"));
  g->SetControlName("CTRL");
  ASSERT_TRUE(g->StartRound());
  TickerElement out;
  ASSERT_TRUE(g->NextElement(out));
  EXPECT_EQ(describe(out), "|news|-1|//v|group_name/control/CTRL");
  EXPECT_EQ(describe(*g->elements().at("0")), "||-1|//v") << "the stored element is unchanged";
  ASSERT_TRUE(g->NextElement(out));
  EXPECT_EQ(out.log_msg(), "");
}

TEST_F(TickerGroupTest, ChunkingContinuesWhereTheLastRoundStopped) {
  auto g = make("<group chunking=\"2\"><element key=\"a\"/><element key=\"b\"/><element key=\"c\"/></group>");
  for (const keys& expected : {keys{"a", "b"}, keys{"c", "a"}, keys{"b", "c"}}) EXPECT_EQ(new_round(*g), expected);
  // Flush ends the round; the next one starts from the first element.
  EXPECT_EQ(new_round(*g, 1), keys{"a"});
  g->Flush();
  EXPECT_FALSE(g->HasNextElement());
  EXPECT_EQ(new_round(*g), (keys{"a", "b"}));
}

TEST_F(TickerGroupTest, TimedGroupRerunsUntilItsDurationThenMarksItself) {
  auto g = make(
      "<group name=\"t\" duration=\"10\"><element key=\"a\"/><element key=\"b\"/>"
      "<element key=\"c\"/></group>");
  EXPECT_EQ(new_round(*g, 7), (keys{"a", "b", "c", "a", "b", "c", "a"}));
  clock.advance(10);
  EXPECT_TRUE(g->HasNextElement());
  clock.advance(1);
  EXPECT_EQ(round(*g), (keys{"b", "c"}));  // expired: the round is finished first
  EXPECT_TRUE(g->IsMarked());
  // Marked, it gives one last round and no more.
  EXPECT_EQ(new_round(*g), (keys{"a", "b", "c"}));
  TickerElement out;
  EXPECT_FALSE(g->NextElement(out));
}

TEST_F(TickerGroupTest, TtlOfTheLastElementDeactivatesTheGroup) {
  auto g = make("<group ttl=\"2\"><element key=\"a\"><ttl>1</ttl></element><element key=\"b\"/></group>");
  EXPECT_EQ(new_round(*g), (keys{"a", "b"}));
  EXPECT_EQ(g->elements().at("a")->ttl(), 0);  // only the last element decides
  EXPECT_FALSE(g->IsEmpty());
  ASSERT_TRUE(g->StartRound());
  TickerElement out;
  ASSERT_TRUE(g->NextElement(out) && g->NextElement(out));
  EXPECT_EQ(out.ttl(), 1);  // the copy shows the ttl before this showing
  EXPECT_FALSE(g->IsActive());
  EXPECT_TRUE(g->IsEmpty());
  EXPECT_EQ(new_round(*g), keys{});
}

TEST_F(TickerGroupTest, MalformedXmlEmptiesTheGroup) {
  auto g = make("<group><element key=\"old\"/></group>");
  const std::string bad = "<group><element key=\"a\"><value>x</element></group>";
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(g->ParseXML(bad));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Parse error in TickerGroup::ParseXML :mismatched tag\nLine number: 1\nXML with error: \n" + bad + "\n");
  EXPECT_TRUE(g->elements().empty());
  EXPECT_FALSE(g->StartRound());

  // A large document is echoed only in part, with its size.
  const std::string huge = bad + std::string(100000, ' ');
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(g->ParseXML(huge));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Parse error in TickerGroup::ParseXML :mismatched tag\nLine number: 1\nXML with error (the first 4096 of " +
                std::to_string(huge.size()) + " bytes): \n" + huge.substr(0, 4096) + "\n");

  // Read in slices, a document fails with the same reports, line number included.
  std::string late = "<group>";
  for (int i = 0; i < 3000; ++i) late += "<element key=\"k" + std::to_string(i) + "\"/>\n";
  late += "</grop>";
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(make_empty()->ParseXML(late));
  const std::string whole_report = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(whole_report.find("Line number: 3001\n"), std::string::npos);
  auto sliced = make_empty();
  TickerGroup::xml_reader reader(*sliced, late);
  ::testing::internal::CaptureStderr();
  while (!reader.read_some(1000)) {}
  EXPECT_FALSE(reader.finish());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), whole_report);
  EXPECT_TRUE(sliced->elements().empty());
}

TEST_F(TickerGroupTest, ATagLongerThanASliceIsNotScannedAgainForEverySlice) {
  const std::string xml = "<group name=\"" + std::string(256 * 1024, 'n') + "\"><element key=\"k\"/></group>";
  auto g = make_empty();
  TickerGroup::xml_reader reader(*g, xml);
  int reads = 1;
  while (!reader.read_some(4096)) ++reads;
  EXPECT_LT(reads, 20);
  EXPECT_TRUE(reader.finish());
  EXPECT_EQ(g->name().size(), 256u * 1024);
  EXPECT_EQ(g->elements().size(), 1u);
}

TEST_F(TickerGroupTest, ElementOperationsByKeyKeepTheCursorValid) {
  auto g = make("<group name=\"g\"><element key=\"a\"/><element key=\"b\"/><element key=\"c\"/></group>");
  // Reparsing updates in place and adds; the cursor goes back to the first element.
  EXPECT_EQ(new_round(*g, 1), keys{"a"});
  const auto* stored_b = g->elements().at("b").get();
  ASSERT_TRUE(g->ParseXML("<group><element key=\"b\"><value>2</value></element><element key=\"d\"/></group>"));
  EXPECT_EQ(g->elements().at("b").get(), stored_b);
  EXPECT_EQ(stored_b->values().size(), 1u);
  EXPECT_EQ(round(*g), (keys{"a", "b", "c", "d"}));

  g->SetDefaultDesign("DD");
  ASSERT_TRUE(g->UpdateElement(TickerElement("<element key=\"a\"><value>new</value></element>")));
  EXPECT_TRUE(g->elements().at("a")->is_main());
  TickerElement out;
  ASSERT_TRUE(g->GetElement("a", out));
  EXPECT_EQ(describe(out), "DD|g|-1|//new");
  EXPECT_FALSE(g->UpdateElement(TickerElement("<element key=\"zz\"/>")));

  // Deleting the element under the cursor moves the cursor on.
  EXPECT_EQ(new_round(*g, 1), keys{"a"});
  ASSERT_TRUE(g->DeleteElement("b"));
  EXPECT_FALSE(g->DeleteElement("b"));
  EXPECT_EQ(round(*g), (keys{"c", "d"}));
  for (const char* key : {"a", "c", "d"}) ASSERT_TRUE(g->DeleteElement(key));
  EXPECT_FALSE(g->HasNextElement());
  g->StoreElement(TickerElement("<element key=\"n\"/>"));
  EXPECT_EQ(round(*g), keys{"n"});  // the first stored element takes the cursor
}

TEST_F(TickerGroupTest, IndependentGroupIsDueByWholeIntervals) {
  auto g = make("<group interval=\"10\"><element key=\"a\"/></group>");
  // Due at once, then once per interval on the ticks of the first showing.
  const std::vector<std::pair<int, bool>> steps = {{0, true}, {0, false}, {5, false}, {1, false},
                                                   {4, true}, {37, true}, {2, false}, {1, true}};
  for (const auto& [advance, due] : steps) {
    clock.advance(advance);
    EXPECT_EQ(g->IsDue(), due) << clock.now();
  }
  EXPECT_FALSE(make("<group interval=\"10\"/>")->IsDue()) << "nothing to show";
}

TEST_F(TickerGroupTest, ReplaceElementsKeepsTheCursorKey) {
  auto g = make("<group><element key=\"m\"/><element key=\"z\"/></group>");
  auto replace = [&](element_map incoming) { g->ReplaceElements(incoming); };
  replace({{"[1000001]A", feed("A")}, {"[1000002]B", feed("B")}});
  EXPECT_EQ(new_round(*g, 2), (keys{"A", "B"}));  // the cursor is now on "m"
  replace({{"[1000001]C", feed("C")}, {"m", feed("M")}});
  EXPECT_EQ(round(*g), (keys{"M", "z"}));  // the feed element won the key "m"
  EXPECT_EQ(new_round(*g, 1), keys{"C"});
  replace({{"[1000001]C", feed("C")}});
  EXPECT_EQ(round(*g), keys{});  // the cursor's key has gone: the cursor is at the end
}

TEST_F(TickerGroupTest, SubscribedGroupUsesTheFirstUrlAndCountsOnlyFeedElements) {
  auto g = make(
      "<group><subscribeurl> http://hub:1/x </subscribeurl><subscribeurl>http://hub:2/y</subscribeurl>"
      "<element key=\"own\"/></group>",
      /*ignore_inactive=*/true);
  g->Subscribe();
  EXPECT_TRUE(g->IsSubscribed());
  EXPECT_EQ(client->open(), 1);
  EXPECT_EQ(log->count("Adding managed group with url: http://hub:1/x\r\n"), 1);
  EXPECT_TRUE(g->IsEmpty()) << "own elements do not count before the feed delivers";
}

TEST_F(TickerGroupTest, ContentXmlQuotesEachElementInKeyOrder) {
  auto g = make(
      "<group><element key=\"b\"><design>D</design></element>"
      "<element key=\"a\"><value label=\"L\">\xC3\xA9</value></element></group>");
  EXPECT_EQ(g->GetContentXml(),
            u"\"<element key=\"a\">\n  <design></design>\n  <ttl>-1</ttl>\n"
            u"  <value label=\"L\" attribute=\"\">\u00E9</value>\n</element>\n\" "
            u"\"<element key=\"b\">\n  <design>D</design>\n  <ttl>-1</ttl>\n</element>\n\" ");
}

// The stored form carries every field: a group read back from it writes the same form and
// hands out the same elements, with counts, cursor and flags where they were.
TEST_F(TickerGroupTest, StoredFormReadsBackToTheSameGroup) {
  const std::string odd = "z<b>\"c&d'\t\r\n \x01\xff\xfe";  // markup, blanks, control and non-UTF-8 bytes
  auto chunked = make(group_xml("chunked", {"a", "b", "c", "d"}, " chunking=\"3\" ttl=\"4\" immortal=\"no\"",
                                "<section> S </section><defaultdesign>D</defaultdesign>"
                                "<subscribeurl>http://hub/x</subscribeurl>"));
  chunked->StoreElement(TickerElement("<element key=\"k\"><log_msg>log</log_msg></element>"));
  TickerElement odd_element;
  odd_element.SetKey(odd);
  odd_element.SetDesign(odd);
  odd_element.SetLogMsg(odd);
  odd_element.AddValue(odd, odd, odd);
  odd_element.AddValue(odd, "", "same label, no attribute");
  odd_element.AddValue("", "", "");
  odd_element.SetPrioritySkip("yes");
  odd_element.SetFromFeed(true);
  chunked->StoreElement(odd_element);
  chunked->SetControlName(odd);
  chunked->SetAllSkipArmed(true);
  EXPECT_TRUE(chunked->DeleteElement("a"));  // the main element: the group has none now
  EXPECT_EQ(new_round(*chunked, 2), (keys{"b", "c"}));

  auto timed = make(group_xml("timed", {"x", "y"}, " duration=\"30\" interval=\"7\""));
  timed->SetName(odd);
  timed->SetInterruptible(false);
  timed->SetSupersedes(true);
  timed->MarkForDeletion();
  timed->Flush();
  auto spent = make(group_xml("spent", {"z"}, " ttl=\"1\""));
  EXPECT_EQ(new_round(*spent), keys{"z"});
  auto empty = make("<group name=\"empty\"/>");

  for (const auto& original : {chunked, timed, spent, empty}) {
    const std::string stored = original->StoredXml();
    auto copy = std::make_shared<TickerGroup>(manager, "", log, false);
    ASSERT_TRUE(copy->ParseXML(stored)) << stored;
    EXPECT_EQ(copy->StoredXml(), stored);
    // Read in slices that cut tags, escapes and encoded text, it is the same group.
    auto sliced = make_empty();
    TickerGroup::xml_reader reader(*sliced, stored);
    while (!reader.read_some(5)) {}
    ASSERT_TRUE(reader.finish());
    EXPECT_EQ(sliced->StoredXml(), stored);
    EXPECT_EQ(copy->IsActive(), original->IsActive());
    EXPECT_EQ(copy->HasMain(), original->HasMain());
    EXPECT_EQ(copy->GetContentXml(), original->GetContentXml());
    for (int step = 0; step < 12; ++step) {
      TickerElement a, b;
      const bool has = original->HasNextElement();
      ASSERT_EQ(copy->HasNextElement(), has) << original->name() << " step " << step;
      if (!has) EXPECT_EQ(copy->StartRound(), original->StartRound());
      else ASSERT_EQ(copy->NextElement(b), original->NextElement(a));
      EXPECT_EQ(b.key() + describe(b), a.key() + describe(a)) << original->name() << " step " << step;
    }
  }
  EXPECT_EQ(chunked->StoredXml().find(odd), std::string::npos) << "strings are written encoded";
}

}  // namespace
}  // namespace orv::testing
