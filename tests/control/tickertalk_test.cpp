#include "control/tickertalk.h"

#include <boost/lexical_cast/bad_lexical_cast.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "control/command_adapter.h"
#include "engine/ticker_element.h"
#include "engine/ticker_group.h"
#include "hosting/ticker_manager.h"
#include "tests/support/fake_connection.h"
#include "tests/support/memory_logger.h"
#include "tests/support/mock_ticker.h"
#include "tests/support/recording_host.h"

namespace orv {
namespace {

using fields = std::vector<std::string>;
using messages = std::vector<fields>;
using testing::fake_connection;

class Tickertalk : public ::testing::Test {
 protected:
  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>();
  std::shared_ptr<testing::recording_host> core = std::make_shared<testing::recording_host>(nullptr, nullptr, log, false);
  std::shared_ptr<ticker_manager> tickers = std::make_shared<ticker_manager>(core);
  std::shared_ptr<tickertalk_factory> factory = std::make_shared<tickertalk_factory>(log, tickers.get());
};

TEST_F(Tickertalk, MalformedCommandsGetErrorRepliesEndingInCarriageReturnLineFeed) {
  fake_connection client(*factory);
  client.receive("t\r\nt addticker T\r\nt AddTicker\r\nt DeleteTicker a b\r\n");
  EXPECT_EQ(client.wire.written,
            "t error {18}incomplete command\r\n"
            "t error {15}not implemented addticker\r\n"
            "t error {51}AddTicker: Wrong argument count. Got 0, expected 1.\r\n"
            "t error {54}DeleteTicker: Wrong argument count. Got 2, expected 1.\r\n");
  client.wire.written.clear();
  // An empty tag has nobody to answer to; the connection stays and serves on.
  client.receive("{0} ListTickers\r\n{0}\r\nu on_ticker T nothing\r\n");
  EXPECT_EQ(client.sent(),
            (messages{{"u", "ok", "Created ticker: 'T'", "error", "Command not implemented on ticker: 'nothing'"}}));
  EXPECT_TRUE(client.wire.open);
}

// A registry whose answers each test sets.
class scripted_registry : public tickers_interface {
 public:
  ticker_result AddTicker(const std::string& name) override { return add(name); }
  ticker_result DeleteTicker(const std::string&) override { throw boost::bad_lexical_cast(); }
  std::shared_ptr<ticker_control_interface> GetTicker(const std::string&) override { return ticker; }
  ticker_result ListTickers() override { return {false, ""}; }

  std::function<ticker_result(const std::string&)> add = [](const std::string&) { return ticker_result{}; };
  std::shared_ptr<ticker_control_interface> ticker;
};

TEST_F(Tickertalk, FailuresBelowTheDispatcherBecomeErrorReplies) {
  scripted_registry registry;
  auto scripted = std::make_shared<tickertalk_factory>(log, &registry);
  fake_connection client(*scripted);

  client.receive("1 on_ticker X GetGroups\r\n");
  registry.add = [](const std::string& name) -> ticker_result { throw std::runtime_error("no room for " + name); };
  client.receive("2 on_ticker X GetGroups\r\n3 AddTicker Y\r\n4 DeleteTicker Y\r\n5 ListTickers\r\n");
  auto ticker = std::make_shared<::testing::StrictMock<testing::mock_ticker>>();
  EXPECT_CALL(*ticker, GetGroups()).WillOnce(::testing::Throw(std::runtime_error("ticker broke")));
  registry.ticker = ticker;
  client.receive("6 on_ticker X GetGroups\r\n");

  EXPECT_EQ(client.sent(), (messages{
                               {"1", "error", "Can't create ticker: 'X'"},
                               {"2", "error", "no room for X"},
                               {"3", "error", "no room for Y"},
                               {"4", "error", boost::bad_lexical_cast().what()},
                               {"5", "error"},
                               {"6", "error", "ticker broke"},
                           }));
}

TEST_F(Tickertalk, EventsGoOnlyToLiveConnectionsThatAskedForThem) {
  fake_connection subscribed(*factory), silent(*factory), declined(*factory), gone(*factory);
  factory->broadcast_event({"event", "at_end", "T"});
  EXPECT_FALSE(log->contains("Sent event"));

  subscribed.receive("a protocol tickertalk\r\n");
  declined.receive("noevents protocol tickertalk\r\n");
  gone.receive("g protocol\r\n");
  gone.wire.open = false;
  EXPECT_EQ(declined.sent(), (messages{{"noevents", "protocol", "tickertalk", "noevents"}}));
  subscribed.sent();

  factory->broadcast_event({"event", "at_end", "T"});
  EXPECT_EQ(subscribed.sent(), (messages{{"*", "event", "at_end", "T"}}));
  EXPECT_TRUE(silent.wire.written.empty());
  EXPECT_TRUE(declined.wire.written.empty());
  EXPECT_TRUE(log->contains("Sent event to 1/4: \"* event at_end T\""));

  // Asking again re-decides: on without "noevents", off with it anywhere.
  declined.receive("d protocol tickertalk\r\n");
  subscribed.receive("a protocol noevents\r\n");
  declined.sent();
  subscribed.sent();
  factory->broadcast_event({"run", "text with spaces", "T"});
  EXPECT_TRUE(subscribed.wire.written.empty());
  EXPECT_EQ(declined.sent(), (messages{{"*", "run", "text with spaces", "T"}}));

  // A connection that has ended is forgotten by the factory.
  gone.release();
  log->clear();
  factory->broadcast_event({"event", "empty", "T"});
  EXPECT_TRUE(log->contains("Sent event to 1/3: "));
}

// What clients can send reaches the scheduler as sent; none of it may stop the carousel.
TEST_F(Tickertalk, NoNumberOrCommandAClientSendsStopsTheCarousel) {
  fake_connection client(*factory);
  auto command = [&](const std::string& words, const std::string& xml = "") {
    client.receive("c on_ticker T " + words + (xml.empty() ? "" : " {" + std::to_string(xml.size()) + "}" + xml) +
                   "\r\n");
    return client.sent().at(0).at(1);
  };
  auto next = [&] {
    TickerElement element;
    return tickers->GetTicker("T")->GetNextElement(element) ? element.key() : "-";
  };
  EXPECT_EQ(command("AddGroupAfterCurrent",
                    "<group name=\"A\" chunking=\"-1\"><element key=\"a1\"/><element key=\"a2\"/></group>"),
            "ok");
  EXPECT_EQ(command("AddGroupAfterGroup A",
                    "<group name=\"B\" duration=\"60\"><element key=\"b1\"/><element key=\"b2\"/></group>"),
            "ok");
  const std::string first = next(), second = next(), third = next();
  EXPECT_EQ(first + second + third, "a1a2b1") << "a negative chunking is no chunking";
  EXPECT_EQ(command("Flush"), "ok");
  EXPECT_EQ(next(), "a1") << "a flush ends a timed round at once";
  EXPECT_EQ(command("SetNextGroup B"), "ok");
  EXPECT_EQ(next(), "b1");
  EXPECT_EQ(command("SetNextGroup A"), "ok");
  EXPECT_EQ(next(), "a1") << "so does the choice of the next group";
}

// A group document of this many elements is too long to be read in one turn.
std::string long_group(const std::string& name, int elements, const std::string& end = "</group>") {
  std::string xml = "<group name=\"" + name + "\" chunking=\"3\"><section>S</section>";
  for (int i = 0; i < elements; ++i)
    xml += "<element key=\"k" + std::to_string(i) + "\"><value label=\"t\">text \xC3\xA9 " + std::to_string(i) +
           "</value></element>\n";
  return xml + end;
}

std::string field(const std::string& text) { return "{" + std::to_string(text.size()) + "}" + text; }

TEST_F(Tickertalk, ALongGroupDocumentIsReadOverTurnsWhileOtherConnectionsAreServed) {
  const std::string xml = long_group("G", 4000);
  ASSERT_GT(xml.size(), 8 * ticker_protocol_control_adapter::staged_document_size);
  fake_connection big(*factory), other(*factory);
  const std::string bytes = "b on_ticker T AddGroupAfterCurrent " + field(xml) + "\r\nc on_ticker T GetGroups\r\n";
  std::string_view rest = big.turn(bytes);
  EXPECT_EQ(rest, "c on_ticker T GetGroups\r\n") << "nothing more is read while the document is";
  EXPECT_GE(big.held_input(), xml.size());
  int turns = 1;
  for (; big.has_work_left() && turns < 3; ++turns) rest = big.turn(rest);
  other.receive("o ListTickers\r\n");
  EXPECT_EQ(other.sent(), (messages{{"o", "ok", "T\n"}}));
  EXPECT_TRUE(big.wire.written.empty());
  for (; big.has_work_left() || !rest.empty(); ++turns) rest = big.turn(rest);
  EXPECT_GT(turns, 4);
  EXPECT_EQ(big.sent(), (messages{{"b", "ok", "Created ticker: 'T'", "ok"}, {"c", "ok", "G\n"}}));

  // The group is the one the document gives when read whole.
  ASSERT_TRUE(tickers->AddTicker("W").success);
  ASSERT_TRUE(tickers->GetTicker("W")->AddGroupAfterCurrent(xml));
  std::shared_ptr<TickerGroup> staged, whole;
  ASSERT_TRUE(tickers->GetTicker("T")->GetGroup("G", staged));
  ASSERT_TRUE(tickers->GetTicker("W")->GetGroup("G", whole));
  EXPECT_EQ(staged->elements().size(), 4000u);
  EXPECT_EQ(staged->StoredXml(), whole->StoredXml());

  // A connection that goes while its document is read leaves nothing behind.
  fake_connection gone(*factory);
  std::string_view left = gone.turn(bytes);
  for (int i = 0; i < 3; ++i) left = gone.turn(left);
  EXPECT_TRUE(gone.has_work_left());
  gone.release();
}

TEST_F(Tickertalk, ALongGroupDocumentMeetsTheTickersAsTheyAreOnceRead) {
  fake_connection client(*factory), other(*factory);
  auto start = [&](const std::string& message) {
    EXPECT_TRUE(client.turn(message + "\r\n").empty());
    EXPECT_TRUE(client.has_work_left());
  };
  // A malformed one fails as a short one does.
  client.receive("1 on_ticker T AddGroupAfterCurrent <group>\r\n");
  start("2 on_ticker T AddGroupAfterCurrent " + field(long_group("B", 2000, "</grop>")));
  client.receive("");
  auto failed = messages{{"1", "ok", "Created ticker: 'T'", "error", "AddGroupAfterCurrent failed."},
                         {"2", "error", "AddGroupAfterCurrent failed."}};
  EXPECT_EQ(client.sent(), failed);
  EXPECT_EQ(log->count("ParseXML problem.\n"), 2);

  // Its group's name taken meanwhile.
  start("3 on_ticker T AddGroupAfterGroup {0} " + field(long_group("G", 2000)));
  other.receive("o on_ticker T AddGroupAfterCurrent " + field("<group name=\"G\"><element key=\"x\"/></group>") +
                "\r\n");
  client.receive("");
  EXPECT_EQ(client.sent(), (messages{{"3", "error", "AddGroupAfterGroup failed."}}));

  // Its ticker deleted meanwhile: created again, as for a message arriving now.
  start("4 on_ticker U AddGroupToRunOncePriorityQueue " + field(long_group("R", 2000)));
  other.receive("d DeleteTicker U\r\n");
  client.receive("");
  EXPECT_EQ(client.sent(), (messages{{"4", "ok", "Created ticker: 'U'", "ok"}}));
  TickerElement shown;
  ASSERT_NE(tickers->GetTicker("U"), nullptr);
  ASSERT_TRUE(tickers->GetTicker("U")->GetNextElement(shown));
  EXPECT_EQ(shown.key(), "k0");
  EXPECT_EQ(other.sent(), (messages{{"o", "ok"}, {"d", "ok"}}));
}

TEST_F(Tickertalk, AContentListingIsTakenOverTurnsAndSentInBlocks) {
  ASSERT_TRUE(tickers->AddTicker("T").success);
  auto ticker = tickers->GetTicker("T");
  for (int g = 0; g < 120; ++g) ASSERT_TRUE(ticker->AddGroupAfterGroup("", long_group("G" + std::to_string(g), 100)));
  const std::string whole = ticker->GetGroupsWithContent();
  ASSERT_GT(whole.size(), 256u * 1024) << "more than one block";
  fake_connection client(*factory);
  std::string_view rest = client.turn("l on_ticker T GetGroupsWithContent\r\nc on_ticker T GetGroups\r\n");
  EXPECT_EQ(rest, "c on_ticker T GetGroups\r\n") << "nothing more is read while the listing is taken";
  int turns = 1;
  for (; client.has_work_left() || !rest.empty(); ++turns) rest = client.turn(rest);
  EXPECT_GT(turns, 4);
  const auto sent = client.sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], (std::vector<std::string>{"l", "ok", whole}));
  EXPECT_EQ(sent[1][0], "c");
  ASSERT_TRUE(tickers->AddTicker("E").success);
  client.receive("e on_ticker E GetGroupsWithContent\r\n");
  EXPECT_EQ(client.sent(), (messages{{"e", "ok"}})) << "an empty listing adds no field";
}

TEST_F(Tickertalk, AConnectionPastTheLimitIsToldWhyAndClosedUntilOneEnds) {
  factory->set_max_connections(2);
  fake_connection first(*factory), second(*factory), refused(*factory), again(*factory);
  EXPECT_EQ(refused.sent(),
            (messages{{"*", "error", "Too many connections: the service serves at most 2 at a time; try again later"}}));
  EXPECT_FALSE(refused.wire.open);
  EXPECT_FALSE(again.wire.open);
  EXPECT_EQ(log->count("Refusing tickertalk connections: 2 are open, the most allowed\n"), 1);
  first.release();
  fake_connection admitted(*factory);
  admitted.receive("t ListTickers\r\n");
  EXPECT_EQ(admitted.sent(), (messages{{"t", "ok"}}));
}

TEST_F(Tickertalk, ConnectionsMayOutliveTheirFactory) {
  auto connection = factory->create_protocol();
  factory.reset();
  connection.reset();  // its deleter must not reach the factory
  EXPECT_FALSE(log->contains("Could not locate protocol"));
}

}  // namespace
}  // namespace orv
