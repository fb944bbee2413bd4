#include "control/command_adapter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/ticker_control.h"
#include "tests/support/memory_logger.h"
#include "tests/support/mock_ticker.h"

namespace orv {
namespace {

using ::testing::_;
using ::testing::Return;
using ::testing::StrictMock;
using fields = std::vector<std::string>;

// The whole "on_ticker" message for a sub-command and its arguments.
fields on_ticker(const std::string& command, fields args = {}) {
  fields message{"7", "on_ticker", "T", command};
  message.insert(message.end(), args.begin(), args.end());
  return message;
}

fields repeat(const std::string& text, std::size_t n) { return fields(n, text); }

TEST(IntegerArgument, SignDigitsAndTrailingWhiteSpaceOnly) {
  EXPECT_EQ(parse_integer_argument("12"), 12);
  EXPECT_EQ(parse_integer_argument("+12"), 12);
  EXPECT_EQ(parse_integer_argument("-12"), -12);
  EXPECT_EQ(parse_integer_argument("12 "), 12);
  EXPECT_EQ(parse_integer_argument("12 \t\r\n"), 12);
  EXPECT_EQ(parse_integer_argument("2147483647"), 2147483647);
  EXPECT_EQ(parse_integer_argument("-2147483648"), -2147483647 - 1);
  for (const char* refused : {" 12", "12a", "1 2", "", " ", "+", "0x10", "1.5", "2147483648", "-2147483649"})
    EXPECT_EQ(parse_integer_argument(refused), std::nullopt) << "'" << refused << "'";
}

class AdapterWithMock : public ::testing::Test {
 protected:
  ticker_result run(const fields& message) { return ticker_protocol_control_adapter(ticker).execute(message); }

  std::shared_ptr<StrictMock<testing::mock_ticker>> ticker = std::make_shared<StrictMock<testing::mock_ticker>>();
};

TEST_F(AdapterWithMock, MalformedMessagesNeverReachTheTicker) {
  // A strict mock fails the test on any call.
  EXPECT_EQ(run({"7", "on_ticker", "T"}).message, " Wrong argument count. Expected at least 4.");
  auto unknown = run(on_ticker("flush"));
  EXPECT_FALSE(unknown.success);
  EXPECT_EQ(unknown.message, "Command not implemented on ticker: 'flush'");
  auto extra = run(on_ticker("Flush", {"x"}));
  EXPECT_FALSE(extra.success);
  EXPECT_EQ(extra.message, "Flush: Wrong argument count. Got 1, expected 0.");
  EXPECT_EQ(run(on_ticker("SetNextGroup")).message, "SetNextGroup: Wrong argument count. Got 0, expected 1.");
  EXPECT_EQ(run(on_ticker("AddTTLGroupFromText", repeat("1", 10))).message,
            "AddTTLGroupFromText: Wrong argument count. Got 10, expected 11.");
  // The count is checked before conversions.
  EXPECT_EQ(run(on_ticker("RunOnce", repeat("x", 9))).message, "RunOnce: Wrong argument count. Got 9, expected 8.");
}

TEST_F(AdapterWithMock, ConversionFailuresReportTheLowestBadArgumentAsReceived) {
  fields ind{"bad interval", "g", "text", "d", "s", "e", "p", "bad padding", "log", "enter"};
  auto result = run(on_ticker("AddIndGroupFromText", ind));
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.message, "Could not convert parameter 'bad interval' to integer.");

  fields run_once{"text", "d", "s", "e", "p", "12a", "log", "enter"};
  EXPECT_EQ(run(on_ticker("RunOnce", run_once)).message, "Could not convert parameter '12a' to integer.");
  fields ttl{"f", "g", "text", "d", "s", "e", "p", "1", "log", "enter", " 5"};
  EXPECT_EQ(run(on_ticker("AddTTLGroupFromText", ttl)).message, "Could not convert parameter ' 5' to integer.");
}

TEST_F(AdapterWithMock, ArgumentsReachTheOperationInOrderWithIntegersConverted) {
  EXPECT_CALL(*ticker, AddGroupFromText("f", "g", "text", "td", "sd", "ed", "tp", 12, "log", "enter"))
      .WillOnce(Return(true));
  EXPECT_EQ(
      run(on_ticker("AddGroupFromText", {"f", "g", "text", "td", "sd", "ed", "tp", "12 ", "log", "enter"})).message,
      "");

  EXPECT_CALL(*ticker, AddIndGroupFromText(-3, "g", "text", "td", "sd", "ed", "tp", 4, "log", "enter"))
      .WillOnce(Return(true));
  EXPECT_TRUE(
      run(on_ticker("AddIndGroupFromText", {"-3", "g", "text", "td", "sd", "ed", "tp", "+4", "log", "enter"})).success);

  // The sixth argument is the log message and may be anything; the seventh is the duration.
  EXPECT_CALL(*ticker, AddFlipGroupFromText("f", "g", "text", "d", "tp", "not a number", 7, "in", "out"))
      .WillOnce(Return(true));
  EXPECT_TRUE(
      run(on_ticker("AddFlipGroupFromText", {"f", "g", "text", "d", "tp", "not a number", "7", "in", "out"})).success);

  EXPECT_CALL(*ticker, AddIndFlipGroupFromText(30, "g", "text", "d", "tp", "log", 5, "in", "out"))
      .WillOnce(Return(true));
  EXPECT_TRUE(
      run(on_ticker("AddIndFlipGroupFromText", {"30", "g", "text", "d", "tp", "log", "5", "in", "out"})).success);

  EXPECT_CALL(*ticker, AddTTLGroupFromText("f", "g", "text", "td", "sd", "ed", "tp", 0, "log", "enter", 2))
      .WillOnce(Return(true));
  EXPECT_TRUE(
      run(on_ticker("AddTTLGroupFromText", {"f", "g", "text", "td", "sd", "ed", "tp", "0", "log", "enter", "2"}))
          .success);

  EXPECT_CALL(*ticker, RunOnce("text", "d", "sd", "ed", "tp", 1, "log", "enter")).WillOnce(Return(true));
  EXPECT_TRUE(run(on_ticker("RunOnce", {"text", "d", "sd", "ed", "tp", "1", "log", "enter"})).success);

  EXPECT_CALL(*ticker, AddGroupAfterGroup("after", "<group/>")).WillOnce(Return(true));
  EXPECT_TRUE(run(on_ticker("AddGroupAfterGroup", {"after", "<group/>"})).success);
}

TEST_F(AdapterWithMock, FalseFromTheOperationGivesItsFailureText) {
  EXPECT_CALL(*ticker, SetNextGroup("g")).WillOnce(Return(false));
  EXPECT_CALL(*ticker, AddGroupAfterCurrent("x")).WillOnce(Return(false));
  EXPECT_CALL(*ticker, MarkGroupForDeletion("g")).WillOnce(Return(false));
  EXPECT_CALL(*ticker, AddPriorityGroup("g")).WillOnce(Return(false));
  EXPECT_CALL(*ticker, AddGroupToRunOncePriorityQueue("x")).WillOnce(Return(false));
  EXPECT_CALL(*ticker, AddGroupAfterGroup("a", "x")).WillOnce(Return(false));
  EXPECT_CALL(*ticker, RunOnce(_, _, _, _, _, _, _, _)).WillOnce(Return(false));

  struct expectation {
    fields message;
    const char* text;
  };
  for (const auto& [message, text] : std::vector<expectation>{
           {on_ticker("SetNextGroup", {"g"}), "SetNextGroup failed."},
           {on_ticker("AddGroupAfterCurrent", {"x"}), "AddGroupAfterCurrent failed."},
           {on_ticker("DeleteGroupWhenInactive", {"g"}), "DeleteGroupWhenInactive failed."},
           {on_ticker("AddPriorityGroup", {"g"}), "AddPriorityGroup failed."},
           {on_ticker("AddGroupToRunOncePriorityQueue", {"x"}), "AddGroupToRunOncePriorityQueue failed."},
           {on_ticker("AddGroupAfterGroup", {"a", "x"}), "AddGroupAfterGroup failed."},
           {on_ticker("RunOnce", repeat("0", 8)), "RunOnce failed."},
       }) {
    auto result = run(message);
    EXPECT_FALSE(result.success) << message[3];
    EXPECT_EQ(result.message, text);
  }
}

TEST_F(AdapterWithMock, OperationsWithoutAResultAlwaysSucceed) {
  EXPECT_CALL(*ticker, pause_ticker());
  EXPECT_CALL(*ticker, continue_ticker());
  EXPECT_CALL(*ticker, Flush());
  EXPECT_CALL(*ticker, ClearAll());
  EXPECT_CALL(*ticker, set_loop("maybe"));
  EXPECT_CALL(*ticker, GetGroups()).WillOnce(Return("a\r\nb\r\n"));
  EXPECT_CALL(*ticker, GetGroupsWithContent()).WillOnce(Return(""));

  auto pause = run(on_ticker("pause_ticker"));
  EXPECT_TRUE(pause.success);
  EXPECT_EQ(pause.message, "Running pause on ticker");
  EXPECT_EQ(run(on_ticker("continue_ticker")).message, "Running continue on ticker");
  EXPECT_TRUE(run(on_ticker("Flush")).success);
  EXPECT_TRUE(run(on_ticker("ClearAll")).success);
  EXPECT_TRUE(run(on_ticker("set_loop", {"maybe"})).success);
  // The listings ignore whatever arguments come with them.
  auto groups = run(on_ticker("GetGroups", {"extra", "more"}));
  EXPECT_TRUE(groups.success);
  EXPECT_EQ(groups.message, "a\r\nb\r\n");
  EXPECT_TRUE(run(on_ticker("GetGroupsWithContent", {"extra"})).success);
}

TEST(AdapterWithTicker, GroupXmlGoesIntoTheCarouselAndIsListed) {
  auto log = std::make_shared<testing::memory_logger>();
  auto ticker = std::make_shared<TickerControl>("T", nullptr, log, false);
  auto run = [&](const fields& message) { return ticker_protocol_control_adapter(ticker).execute(message); };

  EXPECT_EQ(run(on_ticker("GetGroups")).message, "");
  auto added =
      run(on_ticker("AddGroupAfterCurrent", {"<group name=\"g\"><element key=\"k\"><design>D</design>"
                                             "<value label=\"L\" attribute=\"A\">V</value></element></group>"}));
  EXPECT_TRUE(added.success) << added.message;
  EXPECT_EQ(run(on_ticker("GetGroupsWithContent")).message,
            "g\r\n-------------------------------------------\r\n|D: L.A=V  (k: g)\r\n\r\n");
  EXPECT_TRUE(run(on_ticker("SetNextGroup", {"g"})).success);
  EXPECT_EQ(run(on_ticker("SetNextGroup", {"missing"})).message, "SetNextGroup failed.");
}

}  // namespace
}  // namespace orv
