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

// Every value as "label.attribute=text", in order.
std::string values_of(const TickerElement& element) {
  std::string out;
  for (const auto& v : element.values()) out += (out.empty() ? "" : " ") + v.label + "." + v.attribute + "=" + v.text;
  return out;
}

// A subscribed group of a ticker, fed through the integrator the manager makes for it.
class FeedDocuments : public ::testing::Test {
 protected:
  FeedDocuments() {
    EXPECT_TRUE(
        group->ParseXML("<group name=\"G\"><subscribeurl>http://hub/g</subscribeurl>"
                        "<element key=\"own\"><value label=\"L\">mine</value></element></group>"));
    group->Subscribe();
  }
  void feed(const std::string& document) { client->subscriber->receive(document); }
  // Every element of the group as key{values}, in the group's order.
  std::string listing() const {
    std::string out;
    for (const auto& [key, e] : group->elements()) out += (out.empty() ? "" : " ") + key + "{" + values_of(*e) + "}";
    return out;
  }

  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>(100);
  std::shared_ptr<captured_client> client = std::make_shared<captured_client>();
  std::shared_ptr<QuillmereTickerManager> manager =
      std::make_shared<QuillmereTickerManager>(client, log, make_group_change_integrator);
  std::shared_ptr<TickerGroup> group = std::make_shared<TickerGroup>(manager, "G", log, false);
};

const std::string full_update =
    "<?xml version=\"1.0\"?><FEED><BODY><GROUP id=\"N\"><SECURITIES>"
    "<SECURITY id=\"K2\"><NAME>second</NAME><active>1</active></SECURITY>"
    "<SECURITY id=\"K1\"><NAME>first</NAME><PRICE>10</PRICE></SECURITY>"
    "</SECURITIES></GROUP></BODY></FEED>";
const std::string full_listing =
    "[1000001]K2{NAME.control=second active.control=1} [1000002]K1{NAME.control=first PRICE.control=10}";

TEST_F(FeedDocuments, EachShapeOfDocumentChangesTheGroupAsItShould) {
  struct row {
    std::string document, listing, control_name;
  };
  const std::string own = " own{L.=mine}";
  for (const auto& r : std::vector<row>{
           {full_update, full_listing + own, "N"},
           // Later documents reuse the element, so values they leave out stay.
           {"<GROUP id=\"N\"><SECURITIES><SECURITY id=\"K1\"><NAME>renamed</NAME></SECURITY></SECURITIES></GROUP>",
            "[1000001]K1{NAME.control=renamed PRICE.control=10}" + own, "N"},
           // A GROUP as the root, without id, and a SECURITY without id.
           {"<GROUP><SECURITIES><SECURITY><NAME>x</NAME></SECURITY></SECURITIES></GROUP>",
            "[1000001]SECURITY{NAME.control=x}" + own, "GROUP"},
           // Containers nest; a SECURITY right in the GROUP is read as a container; other tags are skipped.
           {"<GROUP id=\"N\"><SECURITY id=\"direct\"><NAME>x</NAME></SECURITY><SECURITIES><SECURITIES>"
            "<SECURITY id=\"deep\"><OUTER><INNER>v</INNER></OUTER>own text</SECURITY></SECURITIES>"
            "<OTHER><SECURITY id=\"hidden\"/></OTHER></SECURITIES></GROUP>",
            "[1000001]deep{INNER.control=v}" + own, "N"},
           {"<GROUP id=\"E\"><SECURITIES/></GROUP>", own.substr(1), "E"},
           // Duplicate ids share one element: the later fields win for both entries.
           {"<GROUP><SECURITIES><SECURITY id=\"D\"><A>1</A><B>1</B></SECURITY><SECURITY id=\"D\"><A>2</A></SECURITY>"
            "</SECURITIES></GROUP>",
            "[1000001]D{A.control=2 B.control=1} [1000002]D{A.control=2 B.control=1}" + own, "GROUP"},
           // Outside a GROUP, a SECURITY updates any element of the ticker in place, the group's
           // own ones too; unknown ids are ignored.
           {"<UPDATE><X><SECURITY id=\"D\"><A>3</A></SECURITY></X><SECURITY id=\"own\"><L>new</L><M>m</M></SECURITY>"
            "<SECURITY id=\"unknown\"><A>1</A></SECURITY><SECURITY><A>1</A></SECURITY></UPDATE>",
            "[1000001]D{A.control=3 B.control=1} [1000002]D{A.control=3 B.control=1} own{L.control=new M.control=m}",
            "GROUP"},
           // The declared encoding is overridden by UTF-8; an empty document changes nothing.
           {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
            "<GROUP><SECURITIES><SECURITY id=\"E\"><NAME>caf\xc3\xa9</NAME></SECURITY></SECURITIES></GROUP>",
            "[1000001]E{NAME.control=caf\xc3\xa9} own{L.control=new M.control=m}", "GROUP"},
           {"", "[1000001]E{NAME.control=caf\xc3\xa9} own{L.control=new M.control=m}", "GROUP"},
       }) {
    feed(r.document);
    EXPECT_EQ(listing(), r.listing) << r.document;
    EXPECT_EQ(group->control_name(), r.control_name) << r.document;
  }
  // Dropped and ignored elements leave the index, skipped ones never enter it.
  EXPECT_EQ(manager->key_index()->size(), 2u);
  EXPECT_EQ(log->count("XML_Parse error"), 0);
}

TEST_F(FeedDocuments, FeedElementsCarryTheControlNameAndDoNotKeepTheirGroupAlive) {
  feed(full_update);
  EXPECT_TRUE(group->elements().at("[1000002]K1")->from_feed());
  EXPECT_FALSE(group->elements().at("own")->from_feed());
  ASSERT_TRUE(group->StartRound());
  TickerElement shown;
  ASSERT_TRUE(group->NextElement(shown));
  EXPECT_EQ(shown.key(), "K2");
  EXPECT_NE(values_of(shown).find("group_name.control=N"), std::string::npos) << values_of(shown);

  // A subscription does not keep its group alive; a document still in flight finds no group.
  std::weak_ptr<TickerGroup> held = group;
  group.reset();
  EXPECT_TRUE(held.expired());
  EXPECT_EQ(manager->key_index()->find("K1"), nullptr);
  feed(full_update);
  EXPECT_EQ(manager->key_index()->size(), 0u);
}

TEST_F(FeedDocuments, MalformedDocumentIsLoggedAndKeepsWhatWasAppliedBeforeTheError) {
  feed(full_update);
  log->clear();
  feed(
      "<X><SECURITY id=\"K1\"><PRICE>12</PRICE></SECURITY>"
      "<GROUP id=\"half\"><SECURITIES><SECURITY id=\"fresh\"><NAME>caf\xc3\xa9</NAME></SECURITY>"
      "</SECURITIES>\n<broken></X>");
  EXPECT_EQ(listing(),
            "[1000001]K2{NAME.control=second active.control=1} "
            "[1000002]K1{NAME.control=first PRICE.control=12} own{L.=mine}");
  EXPECT_EQ(group->control_name(), "half");
  EXPECT_EQ(manager->key_index()->find("fresh"), nullptr);
  ASSERT_EQ(log->entries().size(), 2u);
  EXPECT_EQ(log->entries()[0].level, 20);
  EXPECT_EQ(log->entries()[0].text, "XML_Parse error:mismatched tag\nLine: 2\nColumn: 10\n");
  EXPECT_EQ(log->entries()[1].level, 95);
  EXPECT_NE(log->entries()[1].text.find("Xml input was:\n<X>"), std::string::npos);
  EXPECT_NE(log->entries()[1].text.find("caf\\xc3\\xa9</NAME>"), std::string::npos);
  // The subscription goes on.
  feed(full_update);
  EXPECT_EQ(listing(), full_listing + " own{L.=mine}");
}

// A large document goes in parts, so the loop can serve the renderer between them; no part
// leaves an element with some of its fields changed and others not.
TEST_F(FeedDocuments, ALargeDocumentIsAppliedInPartsThatNeverShowAnElementHalfChanged) {
  auto document = [](const std::string& open, const std::string& close, char value) {
    std::string text = open;
    for (int i = 0; i < 2000; ++i)
      text += "<SECURITY id=\"K" + std::to_string(i) + "\"><A>" + value + "</A><B>" + value + "</B></SECURITY>";
    return text + close;
  };
  const std::string group_open = "<GROUP id=\"N\"><SECURITIES>", group_close = "</SECURITIES></GROUP>";
  feed(document(group_open, group_close, '0'));
  auto& subscriber = *client->subscriber;
  // Applies the document part by part, checking every element between parts.
  auto apply_in_parts = [&](const std::string& text, char was, char now) {
    const std::string before = std::string("A.control=") + was + " B.control=" + was;
    const std::string after = std::string("A.control=") + now + " B.control=" + now;
    std::size_t parts = 1;
    for (bool done = subscriber.start(std::string(text)); !done; done = subscriber.resume(), ++parts)
      for (const auto& [key, e] : group->elements()) {
        if (key == "own") continue;
        const std::string values = values_of(*e);
        if (values != before && values != after) return key + "{" + values + "} after part " + std::to_string(parts);
      }
    return parts >= text.size() / group_change_integrator::part_size ? "" : std::to_string(parts) + " parts";
  };
  // Elements a group document reuses change in place; new ones arrive at its end tag.
  EXPECT_EQ(apply_in_parts(document(group_open, group_close, '1'), '0', '1'), "");
  EXPECT_EQ(apply_in_parts(document("<UPDATE>", "</UPDATE>", '2'), '1', '2'), "");
  EXPECT_EQ(listing().find("control=1"), std::string::npos);
  // Documents that come while one is applied wait for it, in order.
  EXPECT_FALSE(subscriber.start(document("<UPDATE>", "</UPDATE>", '3')));
  EXPECT_FALSE(subscriber.start("<UPDATE><SECURITY id=\"K1\"><A>4</A></SECURITY></UPDATE>"));
  feed(full_update);
  EXPECT_EQ(listing(),
            "[1000001]K2{A.control=3 B.control=3 NAME.control=second active.control=1} "
            "[1000002]K1{A.control=4 B.control=3 NAME.control=first PRICE.control=10} own{L.=mine}");
  EXPECT_EQ(log->count("XML_Parse error"), 0);
}

}  // namespace
}  // namespace orv
