#include "control/command_adapter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/mock_ticker.h"

namespace orv {
namespace {

using fields = std::vector<std::string>;

// The whole "on_ticker" message for a sub-command and its arguments.
fields on_ticker(const std::string& command, fields args = {}) {
  fields message{"7", "on_ticker", "T", command};
  message.insert(message.end(), args.begin(), args.end());
  return message;
}

TEST(IntegerArgument, SignDigitsAndTrailingWhiteSpaceOnly) {
  EXPECT_EQ(parse_integer_argument("+12"), 12);
  EXPECT_EQ(parse_integer_argument("-12 \t\r\n"), -12);
  EXPECT_EQ(parse_integer_argument("-2147483648"), -2147483647 - 1);
  for (const char* refused : {" 12", "12a", "1 2", "", " ", "+", "0x10", "1.5", "2147483648"})
    EXPECT_EQ(parse_integer_argument(refused), std::nullopt) << "'" << refused << "'";
}

template <class Mock>
class Adapter : public ::testing::Test {
 protected:
  ticker_result run(const fields& message) { return ticker_protocol_control_adapter(ticker).execute(message); }
  std::shared_ptr<Mock> ticker = std::make_shared<Mock>();
};
using StrictAdapter = Adapter<::testing::StrictMock<testing::mock_ticker>>;
// Every bool operation of a nice mock answers false.
using FailingAdapter = Adapter<::testing::NiceMock<testing::mock_ticker>>;

TEST_F(StrictAdapter, BadCountsAndConversionsNeverReachTheTicker) {
  EXPECT_EQ(run({"7", "on_ticker", "T"}).message, " Wrong argument count. Expected at least 4.");
  EXPECT_EQ(run(on_ticker("flush")).message, "Command not implemented on ticker: 'flush'");
  EXPECT_EQ(run(on_ticker("Flush", {"x"})).message, "Flush: Wrong argument count. Got 1, expected 0.");
  EXPECT_EQ(run(on_ticker("SetNextGroup")).message, "SetNextGroup: Wrong argument count. Got 0, expected 1.");
  // The count is checked before conversions, and the lowest bad integer is the one reported.
  EXPECT_EQ(run(on_ticker("RunOnce", fields(9, "x"))).message, "RunOnce: Wrong argument count. Got 9, expected 8.");
  EXPECT_EQ(
      run(on_ticker("AddIndGroupFromText", {"bad interval", "g", "t", "d", "s", "e", "p", "bad", "l", "o"})).message,
      "Could not convert parameter 'bad interval' to integer.");
  EXPECT_EQ(run(on_ticker("AddTTLGroupFromText", {"f", "g", "t", "d", "s", "e", "p", "1", "l", "o", " 5"})).message,
            "Could not convert parameter ' 5' to integer.");
}

TEST_F(StrictAdapter, ArgumentsReachTheOperationInOrderWithIntegersConverted) {
  ::testing::DefaultValue<bool>::Set(true);
  EXPECT_CALL(*ticker, AddGroupFromText("f", "g", "text", "td", "sd", "ed", "tp", 12, "log", "in"));
  EXPECT_CALL(*ticker, AddIndGroupFromText(-3, "g", "text", "td", "sd", "ed", "tp", 4, "log", "in"));
  // The sixth argument is the log message and may be anything; the seventh is the duration.
  EXPECT_CALL(*ticker, AddFlipGroupFromText("f", "g", "text", "d", "tp", "not a number", 7, "in", "out"));
  EXPECT_CALL(*ticker, AddIndFlipGroupFromText(30, "g", "text", "d", "tp", "log", 5, "in", "out"));
  EXPECT_CALL(*ticker, AddTTLGroupFromText("f", "g", "text", "td", "sd", "ed", "tp", 0, "log", "in", 2));
  EXPECT_CALL(*ticker, RunOnce("text", "d", "sd", "ed", "tp", 1, "log", "in"));
  EXPECT_CALL(*ticker, MarkGroupForDeletion("g"));

  for (const auto& message : {
           on_ticker("AddGroupFromText", {"f", "g", "text", "td", "sd", "ed", "tp", "12 ", "log", "in"}),
           on_ticker("AddIndGroupFromText", {"-3", "g", "text", "td", "sd", "ed", "tp", "+4", "log", "in"}),
           on_ticker("AddFlipGroupFromText", {"f", "g", "text", "d", "tp", "not a number", "7", "in", "out"}),
           on_ticker("AddIndFlipGroupFromText", {"30", "g", "text", "d", "tp", "log", "5", "in", "out"}),
           on_ticker("AddTTLGroupFromText", {"f", "g", "text", "td", "sd", "ed", "tp", "0", "log", "in", "2"}),
           on_ticker("RunOnce", {"text", "d", "sd", "ed", "tp", "1", "log", "in"}),
           on_ticker("DeleteGroupWhenInactive", {"g"}),
       }) {
    auto result = run(message);
    EXPECT_TRUE(result.success) << message[3];
    EXPECT_EQ(result.message, "");
  }
  ::testing::DefaultValue<bool>::Clear();
}

TEST_F(StrictAdapter, OperationsWithoutAResultAlwaysSucceedAndListingsIgnoreExtraArguments) {
  EXPECT_CALL(*ticker, pause_ticker());
  EXPECT_CALL(*ticker, continue_ticker());
  EXPECT_CALL(*ticker, set_loop("maybe"));
  EXPECT_CALL(*ticker, GetGroups()).WillOnce(::testing::Return("a\r\nb\r\n"));
  EXPECT_EQ(run(on_ticker("pause_ticker")).message, "Running pause on ticker");
  EXPECT_EQ(run(on_ticker("continue_ticker")).message, "Running continue on ticker");
  EXPECT_TRUE(run(on_ticker("set_loop", {"maybe"})).success);
  auto groups = run(on_ticker("GetGroups", {"extra", "more"}));
  EXPECT_EQ(std::make_pair(groups.success, groups.message), std::make_pair(true, std::string("a\r\nb\r\n")));
}

TEST_F(FailingAdapter, FalseFromTheOperationGivesItsFailureText) {
  for (const auto& message :
       {on_ticker("SetNextGroup", {"g"}), on_ticker("AddGroupAfterGroup", {"a", "x"}),
        on_ticker("AddIndFlipGroupFromText", fields(9, "1")), on_ticker("RunOnce", fields(8, "0")),
        on_ticker("DeleteGroupWhenInactive", {"g"}), on_ticker("AddTTLGroupFromText", fields(11, "1"))}) {
    auto result = run(message);
    EXPECT_FALSE(result.success) << message[3];
    EXPECT_EQ(result.message, message[3] + " failed.");
  }
  // Operations without a result report success whatever the ticker does.
  for (const char* command : {"Flush", "ClearAll"}) EXPECT_TRUE(run(on_ticker(command)).success) << command;
}

}  // namespace
}  // namespace orv
