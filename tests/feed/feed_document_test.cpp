#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/quillmere_ticker_manager.h"
#include "engine/ticker_group.h"
#include "feed/group_change_integrator.h"
#include "tests/support/memory_logger.h"

namespace orv {
namespace {

// Hands the subscriber of the last subscription to the test instead of connecting.
struct captured_client : quillmere_client_base {
  std::shared_ptr<quillmere_subscriber> subscriber;
  quillmere_subscription subscribe(const std::vector<std::string>&, std::shared_ptr<quillmere_subscriber> s) override {
    subscriber = std::move(s);
    return std::make_shared<int>(0);
  }
};

std::string value_of(const TickerElement& element, const std::string& label) {
  for (const auto& v : element.values())
    if (v.label == label) return v.attribute + "=" + v.text;
  return "<none>";
}

// A subscribed group of a ticker, fed through the integrator the manager makes for it.
class FeedDocuments : public ::testing::Test {
 protected:
  std::shared_ptr<TickerGroup> subscribed_group(bool ignore_inactive = false) {
    auto g = std::make_shared<TickerGroup>(manager, "G", log, ignore_inactive);
    EXPECT_TRUE(g->ParseXML(
        "<group name=\"G\"><subscribeurl>http://hub/g</subscribeurl>"
        "<element key=\"own\"><value label=\"L\">mine</value></element></group>"));
    g->Subscribe();
    return g;
  }
  void feed(const std::string& document) { client->subscriber->receive(document); }

  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    for (const auto& [key, element] : group->elements()) out.push_back(key);
    return out;
  }
  std::shared_ptr<TickerElement> at(const std::string& key) const { return group->elements().at(key); }

  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>(100);
  std::shared_ptr<captured_client> client = std::make_shared<captured_client>();
  std::shared_ptr<QuillmereTickerManager> manager =
      std::make_shared<QuillmereTickerManager>(client, log, make_group_change_integrator);
  std::shared_ptr<TickerGroup> group = subscribed_group();
};

const std::string full_update =
    "<?xml version=\"1.0\"?><FEED><BODY><GROUP id=\"N\"><SECURITIES>"
    "<SECURITY id=\"K2\"><NAME>second</NAME><active>1</active></SECURITY>"
    "<SECURITY id=\"K1\"><NAME>first</NAME><PRICE>10</PRICE></SECURITY>"
    "</SECURITIES></GROUP></BODY></FEED>";

TEST_F(FeedDocuments, GroupReplacesFeedElementsInDocumentOrderAndNamesTheGroup) {
  feed(full_update);
  EXPECT_EQ(keys(), (std::vector<std::string>{"[1000001]K2", "[1000002]K1", "own"}));
  EXPECT_EQ(value_of(*at("[1000001]K2"), "NAME"), "control=second");
  EXPECT_EQ(value_of(*at("[1000001]K2"), "active"), "control=1");
  EXPECT_EQ(value_of(*at("[1000002]K1"), "PRICE"), "control=10");
  EXPECT_TRUE(at("[1000001]K2")->from_feed());
  EXPECT_EQ(at("[1000001]K2")->key(), "K2");
  EXPECT_FALSE(at("own")->from_feed());

  // Every element handed out carries the control name.
  ASSERT_TRUE(group->StartRound());
  TickerElement shown;
  ASSERT_TRUE(group->NextElement(shown));
  EXPECT_EQ(shown.key(), "K2");
  EXPECT_EQ(value_of(shown, "group_name"), "control=N");

  // A GROUP as the root, without id, and a SECURITY without id.
  feed("<GROUP><SECURITIES><SECURITY><NAME>x</NAME></SECURITY></SECURITIES></GROUP>");
  EXPECT_EQ(group->control_name(), "GROUP");
  EXPECT_EQ(keys(), (std::vector<std::string>{"[1000001]SECURITY", "own"}));
  EXPECT_EQ(manager->key_index()->find("K1"), nullptr);  // dropped elements leave the index
}

TEST_F(FeedDocuments, ContainersNestAndEverythingElseInAGroupIsSkipped) {
  feed(
      "<GROUP id=\"N\">"
      "<SECURITY id=\"direct\"><NAME>read as a container</NAME></SECURITY>"
      "<SECURITIES><SECURITIES><SECURITY id=\"deep\"><OUTER><INNER>v</INNER></OUTER>own text</SECURITY>"
      "</SECURITIES><OTHER><SECURITY id=\"hidden\"/></OTHER></SECURITIES>"
      "</GROUP>");
  EXPECT_EQ(keys(), (std::vector<std::string>{"[1000001]deep", "own"}));
  const auto& values = at("[1000001]deep")->values();
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].label, "INNER");
  EXPECT_EQ(values[0].text, "v");
  EXPECT_EQ(manager->key_index()->find("hidden"), nullptr);

  // An empty container leaves only the group's own elements.
  feed("<GROUP id=\"N\"><SECURITIES/></GROUP>");
  EXPECT_EQ(keys(), (std::vector<std::string>{"own"}));
}

TEST_F(FeedDocuments, LaterDocumentsReuseElementsAndNeverRemoveValues) {
  feed(full_update);
  const auto k1 = at("[1000002]K1");
  feed("<GROUP id=\"N\"><SECURITIES><SECURITY id=\"K1\"><NAME>renamed</NAME></SECURITY></SECURITIES></GROUP>");
  EXPECT_EQ(keys(), (std::vector<std::string>{"[1000001]K1", "own"}));
  EXPECT_EQ(at("[1000001]K1"), k1);
  EXPECT_EQ(value_of(*k1, "NAME"), "control=renamed");
  EXPECT_EQ(value_of(*k1, "PRICE"), "control=10");
  EXPECT_EQ(manager->key_index()->find("K2"), nullptr);
}

TEST_F(FeedDocuments, DuplicateIdsInAGroupShareOneElement) {
  feed(
      "<GROUP><SECURITIES><SECURITY id=\"D\"><A>1</A><B>1</B></SECURITY>"
      "<SECURITY id=\"D\"><A>2</A></SECURITY></SECURITIES></GROUP>");
  EXPECT_EQ(keys(), (std::vector<std::string>{"[1000001]D", "[1000002]D", "own"}));
  EXPECT_EQ(at("[1000001]D"), at("[1000002]D"));
  EXPECT_EQ(value_of(*at("[1000001]D"), "A"), "control=2");
  EXPECT_EQ(value_of(*at("[1000001]D"), "B"), "control=1");
}

TEST_F(FeedDocuments, SecurityOutsideAGroupUpdatesAnyElementOfTheTickerInPlace) {
  feed(full_update);
  const auto k1 = at("[1000002]K1");
  const auto index_size = manager->key_index()->size();
  feed(
      "<UPDATE><X><SECURITY id=\"K1\"><PRICE>11</PRICE></SECURITY></X>"
      "<SECURITY id=\"own\"><L>changed</L><NEW>added</NEW></SECURITY>"
      "<SECURITY id=\"unknown\"><PRICE>1</PRICE></SECURITY><SECURITY><PRICE>1</PRICE></SECURITY></UPDATE>");
  EXPECT_EQ(at("[1000002]K1"), k1);
  EXPECT_EQ(value_of(*k1, "PRICE"), "control=11");
  EXPECT_EQ(value_of(*k1, "NAME"), "control=first");
  // An element from the group's own XML is found through the shared key index too.
  EXPECT_EQ(value_of(*at("own"), "L"), "control=changed");
  EXPECT_EQ(value_of(*at("own"), "NEW"), "control=added");
  EXPECT_EQ(manager->key_index()->size(), index_size);
  EXPECT_EQ(keys().size(), 3u);
  EXPECT_EQ(group->control_name(), "N");
}

TEST_F(FeedDocuments, MalformedDocumentIsLoggedAndKeepsWhatWasAppliedBeforeTheError) {
  feed(full_update);
  log->clear();
  feed(
      "<X><SECURITY id=\"K1\"><PRICE>12</PRICE></SECURITY>"
      "<GROUP id=\"half\"><SECURITIES><SECURITY id=\"fresh\"><NAME>caf\xc3\xa9</NAME></SECURITY>"
      "</SECURITIES>\n<broken></X>");
  EXPECT_EQ(value_of(*at("[1000002]K1"), "PRICE"), "control=12");
  EXPECT_EQ(group->control_name(), "half");
  EXPECT_EQ(keys(), (std::vector<std::string>{"[1000001]K2", "[1000002]K1", "own"}));
  EXPECT_EQ(manager->key_index()->find("fresh"), nullptr);

  ASSERT_EQ(log->entries().size(), 2u);
  EXPECT_EQ(log->entries()[0].level, 20);
  EXPECT_EQ(log->entries()[0].text, "XML_Parse error:mismatched tag\nLine: 2\nColumn: 10\n");
  EXPECT_EQ(log->entries()[1].level, 95);
  EXPECT_NE(log->entries()[1].text.find("Xml input was:\n<X>"), std::string::npos);
  EXPECT_NE(log->entries()[1].text.find("caf\\xc3\\xa9</NAME>"), std::string::npos);

  // The subscription goes on: the next good document applies.
  feed("<GROUP id=\"again\"><SECURITIES><SECURITY id=\"K3\"/></SECURITIES></GROUP>");
  EXPECT_EQ(keys(), (std::vector<std::string>{"[1000001]K3", "own"}));
}

TEST_F(FeedDocuments, DeclaredEncodingIsOverriddenByUtf8AndEmptyDocumentsAreIgnored) {
  feed(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
      "<GROUP><SECURITIES><SECURITY id=\"E\"><NAME>caf\xc3\xa9</NAME></SECURITY></SECURITIES></GROUP>");
  EXPECT_EQ(value_of(*at("[1000001]E"), "NAME"), "control=caf\xc3\xa9");

  log->clear();
  feed("");
  EXPECT_EQ(keys().size(), 2u);
  EXPECT_TRUE(log->entries().empty());
}

TEST_F(FeedDocuments, ASubscriptionDoesNotKeepItsGroupAlive) {
  feed(full_update);
  std::weak_ptr<TickerGroup> held = group;
  group.reset();
  EXPECT_TRUE(held.expired());
  EXPECT_EQ(manager->key_index()->find("K1"), nullptr);
  feed(full_update);  // a document still in flight finds no group
  EXPECT_EQ(manager->key_index()->size(), 0u);
}

TEST_F(FeedDocuments, InactiveFeedElementsAreSkippedWhenTheOptionIsSet) {
  group = subscribed_group(true);
  feed(
      "<GROUP><SECURITIES><SECURITY id=\"off\"><active>0</active></SECURITY>"
      "<SECURITY id=\"on\"><active>1</active></SECURITY></SECURITIES></GROUP>");
  ASSERT_TRUE(group->StartRound());
  std::vector<std::string> shown;
  TickerElement out;
  while (group->HasNextElement() && group->NextElement(out)) shown.push_back(out.key());
  EXPECT_EQ(shown, (std::vector<std::string>{"on", "own"}));

  // Only feed elements count: with every one inactive the group is empty.
  feed("<SECURITY id=\"on\"><active>0</active></SECURITY>");
  EXPECT_TRUE(group->IsEmpty());
}

}  // namespace
}  // namespace orv
