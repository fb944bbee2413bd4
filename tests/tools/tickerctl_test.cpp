#include "tools/tickerctl.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/service_harness.h"

namespace orv {
namespace {

using namespace tickerctl;

TEST(Tickerctl, StatusEventLinesAndArgumentExpansion) {
  EXPECT_EQ(reply_status({"t", "ok", "Created ticker: 'T'", "error", "Flush: Wrong argument count."}), replied_error);
  // A listing may itself say "error"; only the status field counts.
  EXPECT_EQ(reply_status({"t", "ok", "error"}), replied_ok);
  EXPECT_EQ(event_line({"*", "run", "two\tparts\r\nand \\ more", "T"}), "run\ttwo\\tparts\\r\\nand \\\\ more\tT");

  std::istringstream input("from stdin");
  EXPECT_EQ(expand_argument("@@literal", input), "@literal");
  EXPECT_EQ(expand_argument("-1", input), "-1");
  EXPECT_EQ(expand_argument("@/nonexistent/file", input), std::nullopt);
  EXPECT_EQ(expand_argument("@" ORV_SOURCE_DIR, input), std::nullopt);
}

// orv_tickerctl run to its end against a port.
struct tickerctl_run : testing::child_process {
  tickerctl_run(int port, std::vector<std::string> args, const std::string& input = "")
      : child_process(ORV_TICKERCTL_EXE, with_port(port, std::move(args)), {}, input), exit_code(wait_exit()) {}
  static std::vector<std::string> with_port(int port, std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(port)});
    return args;
  }
  std::optional<int> exit_code;
};

using TickerctlAgainstTheService = testing::service_test;

TEST_F(TickerctlAgainstTheService, CommandsRepliesAndExitCodes) {
  const int port = service.port();
  const testing::scratch_ticker ticker("T");
  const std::string T = ticker.name;
  tickerctl_run empty(port, {"ListTickers"});
  EXPECT_EQ(empty.exit_code, 0);
  EXPECT_EQ(empty.standard_output(), "ok\n");

  tickerctl_run add(port, {"on_ticker", T, "AddGroupAfterCurrent", "@" ORV_SOURCE_DIR "/examples/group.xml"});
  EXPECT_EQ(add.exit_code, 0);
  EXPECT_EQ(add.standard_output(), "ok\nCreated ticker: '" + T + "'\nok\n");
  tickerctl_run content(port, {"on_ticker", T, "GetGroupsWithContent"});
  EXPECT_EQ(content.exit_code, 0);
  EXPECT_EQ(content.standard_output().rfind("ok\nheadlines\r\n---", 0), 0u) << content.standard_output();
  EXPECT_NE(content.standard_output().find(
                "|scroll_text: text.=Harbour bridge reopens after repairs  (020: headline bridge)\r\n"),
            std::string::npos);

  // Arguments after the command are never options, and @- reads standard input.
  EXPECT_EQ(tickerctl_run(port, {"on_ticker", T, "set_loop", "-1"}).exit_code, 0);
  tickerctl_run piped(port, {"on_ticker", T, "AddGroupAfterCurrent", "@-"},
                      "<group name=\"piped\"><element key=\"a\"><value label=\"x\">y</value></element></group>");
  EXPECT_EQ(piped.exit_code, 0);
  EXPECT_NE(tickerctl_run(port, {"on_ticker", T, "GetGroups"}).standard_output().find("piped"), std::string::npos);

  tickerctl_run failing(port, {"DeleteTicker", "nope"});
  EXPECT_EQ(failing.exit_code, 1);
  EXPECT_EQ(failing.standard_output(), "error\nTicker not found\n");
  tickerctl_run unreadable(port, {"on_ticker", T, "AddGroupAfterCurrent", "@/nonexistent.xml"});
  EXPECT_EQ(unreadable.exit_code, 2);
  EXPECT_NE(unreadable.standard_error().find("/nonexistent.xml"), std::string::npos);
}

TEST(TickerctlWithoutAService, NoServiceMeansExitTwoAndHelpShowsAnExample) {
  tickerctl_run nobody(testing::free_port(), {"ListTickers"});
  EXPECT_EQ(nobody.exit_code, 2);
  EXPECT_NE(nobody.standard_error().find("cannot connect"), std::string::npos);
  tickerctl_run help(1, {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.standard_output().find("orv_tickerctl on_ticker T AddGroupAfterCurrent @group.xml"),
            std::string::npos);
  EXPECT_EQ(tickerctl_run(1, {}).exit_code, 2);
}

}  // namespace
}  // namespace orv
