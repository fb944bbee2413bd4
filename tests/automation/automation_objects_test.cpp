// The registry object and the per-ticker objects, called as a client calls them, against a
// mock ticker; nulls and wide strings here are what the bus cannot express.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <stdexcept>

#include "automation/automation_objects.h"
#include "engine/ticker_element.h"
#include "tests/support/memory_logger.h"
#include "tests/support/mock_ticker.h"

namespace orv {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SetArgReferee;
using ::testing::Throw;

const bstr null_text;

// Captures what is written to standard error while it lives.
struct captured_stderr {
  captured_stderr() : previous(std::cerr.rdbuf(text.rdbuf())) {}
  ~captured_stderr() { std::cerr.rdbuf(previous); }
  std::ostringstream text;
  std::streambuf* previous;
};

class TickerControlObject : public ::testing::Test {
 protected:
  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>();
  std::shared_ptr<NiceMock<testing::mock_ticker>> ticker = std::make_shared<NiceMock<testing::mock_ticker>>();
  ticker_control object{"T", ticker, log};
  std::int32_t result = -1;
  bstr text = u"unset";
};

TEST_F(TickerControlObject, StringsReachTheTickerByTheRuleOfEachArgument) {
  // A byte-order mark is dropped for the name-converted XML of AddGroupAfterCurrent but kept
  // as UTF-16 for the parser in AddGroupBeforeCurrent.
  EXPECT_CALL(*ticker, AddGroupAfterCurrent("<g/>")).WillOnce(Return(true));
  EXPECT_CALL(*ticker, AddGroupBeforeCurrent(std::string("\xfe\xff\0<\0g\0/\0>", 10))).WillOnce(Return(false));
  EXPECT_CALL(*ticker, AddGroupAfterGroup("caf\xe9", "<a>\xe2\x82\xac</a>")).WillOnce(Return(true));
  EXPECT_CALL(*ticker, AddPriorityGroup("caf\xc3\xa9")).WillOnce(Return(true));
  EXPECT_CALL(*ticker, MarkGroupForDeletion("caf\xe9")).WillOnce(Return(false));
  EXPECT_CALL(*ticker, AddTTLGroupFromText("", "g", "w", "D", "", "", "P", 4, "", "", 9)).WillOnce(Return(true));
  EXPECT_CALL(*ticker, GetPriorityQueueSize()).WillOnce(Return(1));

  EXPECT_EQ(object.AddGroupAfterCurrent(u"\ufeff<g/>", &result), hresult::S_OK);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(object.AddGroupBeforeCurrent(u"\ufeff<g/>", &result), hresult::S_OK);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(object.AddGroupAfterGroup(u"caf\u00e9", u"<a>\u20ac</a>", &result), hresult::S_OK);
  EXPECT_EQ(object.AddPriorityGroup(u"caf\u00e9", &result), hresult::S_OK);
  EXPECT_EQ(object.DeleteGroupWhenInactive(u"caf\u00e9", &result), hresult::S_OK);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(object.AddTTLGroupFromText(null_text, u"g", u"w", u"D", u"", null_text, u"P", 4, u"", u"", 9, &result),
            hresult::S_OK);
  EXPECT_TRUE(log->contains("AddPriorityGroup(caf\xc3\xa9) SuccessQueue has:1 elements. \n"));
  EXPECT_TRUE(log->contains("DeleteGroupWhenInactive(...caf\xc3\xa9...) Failed\n"));
  EXPECT_TRUE(log->contains("AddTTLGroupFromText(...g...) TTL=9 Success\n"));
}

TEST_F(TickerControlObject, NullStringsAnswerWithoutCallingTheTicker) {
  EXPECT_CALL(*ticker, AddGroupAfterCurrent(_)).Times(0);
  EXPECT_CALL(*ticker, PutElement(_, _)).Times(0);
  EXPECT_CALL(*ticker, GetElement(_, _, _)).Times(0);
  EXPECT_CALL(*ticker, ClearAll()).Times(1);
  EXPECT_CALL(*ticker, Flush()).Times(0);

  EXPECT_EQ(object.AddGroupAfterCurrent(null_text, &result), hresult::S_OK);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(log->count("AddGroupAfterGroup: no XML data.\n"), 1);
  EXPECT_EQ(object.PutElement(u"g", null_text, &result), hresult::S_OK);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(object.GetElement(null_text, u"k", &text), hresult::S_OK);
  EXPECT_EQ(text, null_text);
  EXPECT_EQ(object.GetGroup(null_text, &text), hresult::S_OK);
  EXPECT_EQ(text, null_text);
  // Cleared first, then nothing to add, and no flush.
  EXPECT_EQ(object.ClearAllAndAddGroup(null_text, &result), hresult::S_OK);
  EXPECT_EQ(result, 0);
}

TEST_F(TickerControlObject, ElementResultsAreBytesAsUnitsAndAMissingKeyIsEmptyNotNull) {
  const TickerElement element("<element key=\"k\"><ttl>3</ttl><value label=\"t\">caf\xc3\xa9</value></element>");
  EXPECT_CALL(*ticker, GetElement("g", "k", _)).WillOnce(DoAll(SetArgReferee<2>(element), Return(true)));
  EXPECT_CALL(*ticker, GetElement("g", "none", _)).WillOnce(Return(false));
  EXPECT_CALL(*ticker, GetNextElement(_))
      .WillOnce(DoAll(SetArgReferee<0>(element), Return(true)))
      .WillOnce(Return(false));
  EXPECT_CALL(*ticker, GetGroupNames()).WillRepeatedly(Return(std::vector<std::string>{"a", "caf\xc3\xa9"}));

  EXPECT_EQ(object.GetElement(u"g", u"k", &text), hresult::S_OK);
  EXPECT_EQ(text, byte_output_conversion(element.ToXml()));
  EXPECT_NE(text->find(u"caf\u00c3\u00a9"), std::u16string::npos);
  EXPECT_EQ(object.GetElement(u"g", u"none", &text), hresult::S_OK);
  EXPECT_EQ(text, bstr(u""));
  EXPECT_EQ(object.GetNextElement(&text), hresult::S_OK);
  EXPECT_EQ(text->substr(text->size() - 6), u"TTL: 3");
  EXPECT_EQ(object.GetNextElement(&text), hresult::S_OK);
  EXPECT_EQ(text, bstr(u""));

  variant names;
  EXPECT_EQ(object.GetGroupNames(&names), hresult::S_OK);
  ASSERT_TRUE(names);
  EXPECT_EQ(names->lower, 0);
  EXPECT_EQ(names->items, (std::vector<bstr>{u"a", u"caf\u00c3\u00a9"}));
  // The listing decodes UTF-8 instead.
  EXPECT_EQ(object.ListGroups(&text), hresult::S_OK);
  EXPECT_EQ(text, bstr(u"\"a\" \"caf\u00e9\" "));
}

TEST_F(TickerControlObject, DesignTablesNeedStringArraysOfTheSameBounds) {
  const variant tags = bstr_array{0, {u"A", u"B", u"A"}};
  const variant designs = bstr_array{0, {u"d1", u"d2", u"d3"}};
  const variant longer = bstr_array{0, {u"d1", u"d2", u"d3", u"d4"}};
  const variant shifted = bstr_array{1, {u"d1", u"d2", u"d3"}};
  const variant empty = bstr_array{0, {}};
  EXPECT_CALL(*ticker, SetDesigns(text_table{{"A", "d3"}, {"B", "d2"}}));
  EXPECT_CALL(*ticker, SetDesigns(text_table{}));
  EXPECT_CALL(*ticker, SetIcons(text_table{{"A", "d3"}, {"B", "d2"}}, text_table{{"A", "d3"}, {"B", "d2"}}));

  EXPECT_EQ(object.SetDesigns(tags, variant{}), hresult::DISP_E_TYPEMISMATCH);
  {
    captured_stderr err;
    EXPECT_EQ(object.SetDesigns(tags, longer), hresult::E_INVALIDARG);
    EXPECT_EQ(object.SetDesigns(tags, shifted), hresult::E_INVALIDARG);
    const std::string bounds_lines =
        "set_designs: Bounds mismatch in tags and designs parameters\n"
        "set_designs: Bounds mismatch in tags and designs parameters\n";
    EXPECT_EQ(err.text.str(), bounds_lines);
    EXPECT_EQ(object.SetIcons(tags, designs, longer), hresult::E_INVALIDARG);
    EXPECT_EQ(object.SetIcons(tags, variant{}, designs), hresult::DISP_E_TYPEMISMATCH);
    EXPECT_EQ(err.text.str(), bounds_lines);  // the icons write nothing of their own
  }
  EXPECT_EQ(object.SetDesigns(tags, designs), hresult::S_OK);
  EXPECT_EQ(object.SetDesigns(empty, longer), hresult::S_OK);
  EXPECT_EQ(object.SetIcons(tags, designs, designs), hresult::S_OK);
  EXPECT_EQ(log->count("SetDesigns\n"), 5);
}

TEST_F(TickerControlObject, AGoneTickerAnswersFailAndAThrowingOneFailsWithALogLine) {
  EXPECT_CALL(*ticker, ClearGroup("g")).WillOnce(Throw(std::runtime_error("disk on fire")));
  EXPECT_EQ(object.ClearGroup(u"g", &result), hresult::E_FAIL);
  EXPECT_EQ(log->entries().back().level, 20);
  EXPECT_EQ(log->entries().back().text, "ClearGroup failed: disk on fire\n");

  ticker.reset();
  result = -1;
  EXPECT_EQ(object.ClearAll(&result), hresult::E_FAIL);
  EXPECT_EQ(object.GetNextElement(&text), hresult::E_FAIL);
  EXPECT_EQ(object.Flush(), hresult::E_FAIL);
  EXPECT_EQ(object.SetDesigns(variant{}, variant{}), hresult::E_FAIL);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(text, bstr(u"unset"));
  EXPECT_EQ(object.StartOrvCommunication(u"T", &result), hresult::S_OK);
}

// A registry that knows one ticker, "T".
struct one_ticker_registry : tickers_interface {
  ticker_result AddTicker(const std::string&) override { return {false, "Ticker already exists"}; }
  ticker_result DeleteTicker(const std::string& name) override { return {name == "T", ""}; }
  std::shared_ptr<ticker_control_interface> GetTicker(const std::string& name) override {
    return name == "T" ? ticker : nullptr;
  }
  ticker_result ListTickers() override { return {true, "T\ncaf\xe9\n"}; }
  std::shared_ptr<testing::mock_ticker> ticker = std::make_shared<testing::mock_ticker>();
};

TEST(RegistryObject, BindsOnFirstUseAndHandsOutANewObjectPerCall) {
  auto log = std::make_shared<testing::memory_logger>();
  auto registry = std::make_shared<one_ticker_registry>();
  int binds = 0;
  bool core_alive = false;
  COrvTickers tickers([&] {
    ++binds;
    return core_alive ? automation_core{registry, log} : automation_core{};
  });
  std::int32_t result = -1;
  EXPECT_EQ(tickers.AddTicker(u"T", &result), hresult::E_FAIL);  // the core is gone

  core_alive = true;
  EXPECT_EQ(tickers.AddTicker(u"T", &result), hresult::S_OK);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(log->contains("AddTicker:Ticker already exists\n"));
  bstr list;
  EXPECT_EQ(tickers.ListTickers(&list), hresult::S_OK);
  EXPECT_EQ(list, bstr(u"T\ncaf\ufffd\n"));

  std::shared_ptr<ticker_control> first, second, missing = std::make_shared<ticker_control>("x", registry->ticker, log);
  EXPECT_EQ(tickers.GetTicker(u"T", &first), hresult::S_OK);
  EXPECT_EQ(tickers.GetTicker(u"T", &second), hresult::S_OK);
  EXPECT_EQ(tickers.GetTicker(u"U", &missing), hresult::S_OK);
  EXPECT_EQ(binds, 2);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second);
  EXPECT_FALSE(missing);
  EXPECT_EQ(log->count("  Initializing ticker_controlT\n"), 2);
  first.reset();
  EXPECT_EQ(log->count("Destructing ticker_control (T)\n"), 1);
  EXPECT_EQ(log->entries().back().source, "ticker_control:T");
}

}  // namespace
}  // namespace orv
