#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "runtime/line_logger.h"
#include "runtime/log_targets.h"
#include "runtime/system_error.h"

namespace {

using namespace std::chrono;

// Keeps each message as "source|level|text".
struct recorded : vorn::log_message_stream_base {
  void write_message(const vorn::log_message& m) override {
    lines.push_back(m.source + "|" + std::to_string(m.level) + "|" + m.text);
    times.push_back(m.time);
  }
  std::vector<std::string> lines;
  std::vector<system_clock::time_point> times;
};

class Logging : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  // 2026-12-05 10:00:00.042 UTC, and a way to move it on.
  system_clock::time_point now = sys_days{year{2026} / 12 / 5} + 10h + 42ms;
  std::shared_ptr<vorn::timetracker> timer = std::make_shared<vorn::timetracker>([this] { return now; });
  std::shared_ptr<vorn::line_logger> root = std::make_shared<vorn::line_logger>("", 50, timer);
};

TEST_F(Logging, SubloggersFollowTheirParentsLevelUntilGivenTheirOwn) {
  auto follows = std::static_pointer_cast<vorn::line_logger>(root->create_sublogger("asyncore", -1));
  auto fixed = root->create_sublogger("tickertalk", 30);
  auto grandchild = follows->create_sublogger("deeper", -1);
  EXPECT_TRUE(follows->should_log(50));
  EXPECT_FALSE(follows->should_log(51));
  EXPECT_FALSE(fixed->should_log(31));

  root->set_accepted_level(80);
  EXPECT_TRUE(follows->should_log(80) && grandchild->should_log(80));
  EXPECT_FALSE(fixed->should_log(31));
  follows->set_accepted_level(20);
  EXPECT_FALSE(grandchild->should_log(21));
  EXPECT_TRUE(root->should_log(80));
}

TEST_F(Logging, EveryLoggerOfATreeWritesOneMessagePerStatementToTheSharedTarget) {
  auto sub = root->create_sublogger("tickertalk", -1);
  sub->stream(50) << "nobody hears this";
  auto target = std::make_shared<recorded>();
  root->shared_log_target(target);  // set after the sublogger exists: it still reaches it

  sub->stream(45) << "Creating " << 2 << " protocols" << std::endl;
  root->stream(40) << "Message loop stopped.\n----\n";
  sub->stream(90) << "unasked and too detailed";
  EXPECT_EQ(target->lines,
            (std::vector<std::string>{"tickertalk|45|Creating 2 protocols", "|40|Message loop stopped.\n----"}));
  EXPECT_EQ(target->times.at(0), now);
}

TEST_F(Logging, ConsoleLinesWithAndWithoutColour) {
  using target = vorn::console_log_target;
  ::testing::internal::CaptureStdout();
  target plain(timer, STDOUT_FILENO, false);
  plain.write_message({now, "tickertalk", "hello", 50});
  plain.write_message({now, "x", "never shown", 0});
  plain.write_message({now, "x", "shown", 1});
  target(timer, STDOUT_FILENO, true).write_message({now, "s", "failure", 15});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "2026-12-05 10:00:00.042 [tickertalk] hello\n2026-12-05 10:00:00.042 [x] shown\n"
            "\x1b[0;94m2026-12-05 10:00:00.042\x1b[0;37m [s] \x1b[0;91mfailure\x1b[0m\n");

  // Console attribute bits (blue, green, red, bright; background above) to terminal colours.
  EXPECT_EQ(target::ansi_for_attribute(78), "\x1b[0;93;41m");
  EXPECT_EQ(target::ansi_for_attribute(0xA0), "\x1b[0;30;102m");
  EXPECT_EQ(std::vector<int>(
                {target::attribute_for_level(9), target::attribute_for_level(50), target::attribute_for_level(250)}),
            std::vector<int>({78, 7, 2}));
}

TEST_F(Logging, StandardTargetsWriteTheConsoleAndOneFilePerDay) {
  const auto dir = std::filesystem::temp_directory_path() / ("vorn-log-" + std::to_string(::getpid())) / "nested";
  std::filesystem::remove_all(dir.parent_path());
  ::testing::internal::CaptureStdout();
  auto console = std::make_shared<vorn::console_log_target>(timer, STDOUT_FILENO, false);
  root->construct_standard_log_targets("Ticker Service", dir, console, false, "ticker-", true);
  root->stream(40) << "first day";
  now += 24h;
  root->create_sublogger("feed", -1)->stream(20) << "second day";
  // A second process start, this time without console, appends to the day's file.
  root->construct_standard_log_targets("Ticker Service", dir, console, false, "ticker-", false);
  // A burst of one line is written once, with its count when another line follows.
  for (int i = 0; i < 4; ++i) root->stream(40) << "again";
  root->stream(40) << "other";
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "2026-12-05 10:00:00.042 [] first day\n2026-12-06 10:00:00.042 [feed] second day\n");
  auto read = [](const std::filesystem::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(read(dir / "ticker-2026-12-05.log"),
            "2026-12-05 10:00:00.042 ---- Ticker Service ----\n2026-12-05 10:00:00.042 [] first day\n");
  EXPECT_EQ(read(dir / "ticker-2026-12-06.log"),
            "2026-12-06 10:00:00.042 ---- Ticker Service ----\n2026-12-06 10:00:00.042 [feed] second day\n"
            "2026-12-06 10:00:00.042 ---- Ticker Service ----\n2026-12-06 10:00:00.042 [] again\n"
            "2026-12-06 10:00:00.042 [] Last message repeated 3 more times\n2026-12-06 10:00:00.042 [] other\n");
  std::filesystem::remove_all(dir.parent_path());
}

TEST_F(Logging, DailyFilesStayWithinTheirBudgetOldestFirst) {
  const auto dir = std::filesystem::temp_directory_path() / ("vorn-budget-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto size = [&](const std::string& name) {
    std::error_code missing;
    const auto bytes = std::filesystem::file_size(dir / name, missing);
    return missing ? -1 : static_cast<long>(bytes);
  };
  std::ofstream(dir / "ticker-2026-12-01.log") << std::string(300, 'a');
  std::ofstream(dir / "ticker-2026-12-02.log") << std::string(300, 'b');
  std::ofstream(dir / "other-2026-11-01.log") << std::string(300, 'c');  // not one of ours
  vorn::daily_file_log_target files(dir, "ticker-", "Ticker Service", timer, 1000);
  const std::string line(60, 'x');  // 96 bytes a line with its time and source
  files.write_message({now, "s", line, 40});
  EXPECT_EQ(size("ticker-2026-12-01.log"), 300);
  for (int i = 0; i < 3; ++i) files.write_message({now, "s", line, 40});
  EXPECT_EQ(size("ticker-2026-12-01.log"), -1);
  EXPECT_EQ(size("ticker-2026-12-02.log"), 300);
  EXPECT_EQ(size("other-2026-11-01.log"), 300);
  // Today's file alone reaching the budget ends with a note; nothing follows it that day.
  for (int i = 0; i < 20; ++i) files.write_message({now, "s", line, 40});
  const long full = size("ticker-2026-12-05.log");
  EXPECT_EQ(size("ticker-2026-12-02.log"), -1);
  EXPECT_LE(full, 1000 + 120);
  files.write_message({now, "s", line, 40});
  EXPECT_EQ(size("ticker-2026-12-05.log"), full);
  std::ifstream in(dir / "ticker-2026-12-05.log");
  const std::string text(std::istreambuf_iterator<char>(in), {});
  EXPECT_TRUE(text.ends_with(" ---- log files reached their budget of 1000 bytes; lines are dropped until the next day ----\n"));
  now += 24h;
  files.write_message({now, "s", "next day", 40});
  EXPECT_EQ(size("ticker-2026-12-05.log"), -1);
  EXPECT_GT(size("ticker-2026-12-06.log"), 0);
  std::filesystem::remove_all(dir);
}

TEST_F(Logging, HijackedStandardStreamsBecomeLogLinesUntilTheLoggerEnds) {
  auto* original = std::cout.rdbuf();
  auto target = std::make_shared<recorded>();
  root->shared_log_target(target);
  root->hijack_standard_streams();
  std::cout << "one\ntwo " << 2 << std::endl;
  std::cerr << "broken";
  vorn::print_application_header("Orv | Ticker Service", "ticker.ini");
  root.reset();
  EXPECT_EQ(std::cout.rdbuf(), original);
  std::string all;
  for (const auto& line : target->lines) all += line + "\n";
  EXPECT_EQ(all.rfind("stdout|40|one\nstdout|40|two 2\n", 0), 0u) << all;
  EXPECT_NE(all.find("stdout|40|Orv | Ticker Service\n"), std::string::npos) << all;
  EXPECT_NE(all.find("ticker.ini"), std::string::npos) << all;
  // The unfinished stderr line is logged when the logger lets go of the stream.
  EXPECT_EQ(target->lines.back(), "stderr|20|broken");
}

TEST(SystemError, FormatsTheCodeWhereAskedAndTheRuntimeErrorCarriesTheTextAlone) {
  EXPECT_EQ(vorn::with_formatted_code("bind failed", 98), "bind failed: (0x00000062) Address already in use");
  EXPECT_EQ(vorn::format_system_error(0).substr(0, 13), "(0x00000000) ");
  errno = ENOENT;
  const vorn::win32_error e("open failed");
  EXPECT_STREQ(e.what(), "open failed: No such file or directory");
  EXPECT_EQ(e.code(), ENOENT);
}

}  // namespace
