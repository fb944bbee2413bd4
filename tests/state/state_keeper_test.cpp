#include "state/state_keeper.h"

#include <gtest/gtest.h>

#include <fstream>

#include "engine/ticker_clock.h"
#include "engine/ticker_control.h"
#include "feed/group_change_integrator.h"
#include "tests/engine/ticker_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/memory_logger.h"

namespace orv::testing {
namespace {

namespace fs = std::filesystem;

// One run of the service: a loop, its keeper and the tickers it keeps.
struct service_life {
  service_life(const fs::path& folder, std::shared_ptr<memory_logger> log)
      : log(log), keeper(state_keeper::open(folder, io, log)) {}
  std::shared_ptr<TickerControl> add(const std::string& name) {
    auto feeds = std::make_shared<QuillmereTickerManager>(hub, log, make_group_change_integrator);
    auto ticker = std::make_shared<TickerControl>(name, feeds, log, false);
    ticker->SetStateListener(keeper->ticker_added(name, ticker));
    return tickers[name] = ticker;
  }
  void restore() {
    keeper->restore([this](const std::string& name) { return add(name); });
  }
  // Runs the loop until the next transaction has landed.
  bool written() {
    const std::size_t before = keeper->batches_written();
    return run_until(io, [&] { return keeper->batches_written() > before; });
  }

  // The feed hub of the last subscription made.
  std::shared_ptr<quillmere_subscriber> last_hub() const {
    return std::static_pointer_cast<quillmere_subscriber>(hub->handles.back().lock());
  }

  std::shared_ptr<memory_logger> log;
  std::shared_ptr<fake_client> hub = std::make_shared<fake_client>();
  boost::asio::io_context io;
  std::shared_ptr<state_keeper> keeper;
  std::map<std::string, std::shared_ptr<TickerControl>> tickers;
};

class StateKeeperTest : public ::testing::Test {
 protected:
  StateKeeperTest() : folder(fs::temp_directory_path() / ("orv_state_" + std::to_string(::getpid()))) {
    fs::remove_all(folder);
    fs::create_directories(folder);
  }
  ~StateKeeperTest() override { fs::remove_all(folder); }

  // Everything tickertalk and the renderer can see of a ticker, and the stored form of its groups.
  static std::string seen(TickerControl& ticker) {
    std::string text = ticker.GetGroups() + ticker.GetGroupsWithContent() + "|current " +
                       ticker.GetCurrentGroupName() + "|queue " + std::to_string(ticker.GetPriorityQueueSize());
    for (const std::string& name : ticker.GetGroupNames()) text += "|" + name;
    const ticker_lists lists = ticker.GetLists();
    for (const auto* list : {&lists.carousel, &lists.independent, &lists.run_once})
      for (const auto& group : *list) text += "\n" + group->StoredXml();
    return text;
  }
  static keys next_elements(TickerControl& ticker, int count) {
    keys shown;
    for (int i = 0; i < count; ++i) {
      TickerElement out;
      shown.push_back(ticker.GetNextElement(out) ? out.key() + describe(out) : "none");
    }
    return shown;
  }

  scoped_ticker_clock clock{1'000'000};
  fs::path folder;
  std::shared_ptr<memory_logger> log = std::make_shared<memory_logger>(100);
};

TEST_F(StateKeeperTest, TickersComeBackAsTheyWereAndGoOnAsTheyWouldHave) {
  service_life first(folder, log);
  auto t = first.add("T");
  t->SetDesigns({{"news", "D1"}});
  t->SetIcons({{"i", "I1"}}, {{"i", "C1"}});
  ASSERT_TRUE(t->AddGroupAfterCurrent(group_xml("one", {"a", "b", "c"}, " ttl=\"3\"")));
  ASSERT_TRUE(t->AddGroupAfterGroup("one", group_xml("two", {"w", "x", "y", "z"}, " chunking=\"3\"")));
  ASSERT_TRUE(t->AddGroupAfterGroup("two", group_xml("three", {"p", "q"})));
  ASSERT_TRUE(t->AddGroupAfterGroup("three", group_xml("four", {"r"})));
  ASSERT_TRUE(t->AddIndependentGroup(group_xml("ind", {"i1", "i2"}, " interval=\"3600\"")));
  ASSERT_TRUE(t->AddGroupToRunOncePriorityQueue(group_xml("once", {"o1", "o2", "o3"})));
  next_elements(*t, 9);  // the run-once group, the independent group, "one" partly
  ASSERT_TRUE(t->AddPriorityGroup("three"));
  ASSERT_TRUE(t->AddGroupSuperseedCurrent(group_xml("sup", {"s1", "s2"})));
  next_elements(*t, 1);
  ASSERT_TRUE(t->SetNextGroup("four"));
  ASSERT_TRUE(t->MarkGroupForDeletion("sup"));
  auto paused = first.add("P");
  ASSERT_TRUE(paused->AddGroupAfterCurrent(group_xml("g", {"a"})));
  paused->set_loop("no");
  paused->pause_ticker();
  first.add("gone")->AddGroupAfterCurrent(group_xml("g", {"a"}));
  ASSERT_TRUE(first.written());

  // Changes after the last write are written at shutdown.
  first.keeper->ticker_deleted("gone");
  ASSERT_TRUE(t->PutElement("two", "<element key=\"x\"><value label=\"t\">changed</value></element>"));
  t->DeleteGroup("three");
  first.keeper->shutdown();

  service_life second(folder, log);
  second.restore();
  ASSERT_EQ(second.tickers.size(), 2u) << "a deleted ticker stays deleted";
  auto restored = second.tickers.at("T");
  EXPECT_EQ(seen(*restored), seen(*t));
  EXPECT_EQ(seen(*second.tickers.at("P")), seen(*paused));
  EXPECT_EQ(restored->GetSettings().designs, t->GetSettings().designs);
  EXPECT_EQ(restored->GetSettings().icon_commands, t->GetSettings().icon_commands);
  const ticker_lists lists = t->GetLists();
  const std::size_t listed = lists.carousel.size() + lists.independent.size() + lists.run_once.size();
  EXPECT_TRUE(log->contains("Restored ticker 'T': " + std::to_string(listed) + " groups, ")) << listed;
  EXPECT_TRUE(log->contains("Restored 2 tickers: "));
  EXPECT_EQ(next_elements(*restored, 50), next_elements(*t, 50));
  EXPECT_EQ(next_elements(*second.tickers.at("P"), 3), keys(3, "none"));

  // A change to one group writes that group only.
  ASSERT_TRUE(second.written());
  const std::size_t rows = second.keeper->group_rows();
  ASSERT_TRUE(restored->PutElement("two", "<element key=\"new\"/>"));
  ASSERT_TRUE(second.written());
  EXPECT_EQ(second.keeper->group_rows(), rows + 1);
  // So does a feed hub's update of one element in place.
  ASSERT_TRUE(restored->AddGroupAfterCurrent("<group name=\"fed\"><subscribeurl>http://hub/f</subscribeurl></group>"));
  second.last_hub()->receive("<GROUP><SECURITIES><SECURITY id=\"k\"><PRICE>1</PRICE></SECURITY></SECURITIES></GROUP>");
  ASSERT_TRUE(second.written());
  second.last_hub()->receive("<SECURITY id=\"k\"><PRICE>2</PRICE></SECURITY>");
  ASSERT_TRUE(second.written());
  EXPECT_EQ(second.keeper->group_rows(), rows + 3);
}

// A write of many groups spans loop turns; lists that change between them, even all at once,
// are written as they end up.
TEST_F(StateKeeperTest, ListsChangingWhileAWriteSpansTurnsAreWrittenAsTheyEndUp) {
  service_life first(folder, log);
  auto t = first.add("T");
  const auto fill = [&](int round) {
    for (int g = 0; g < 300; ++g)
      ASSERT_TRUE(t->AddGroupAfterCurrent(group_xml(std::to_string(round) + "g" + std::to_string(g), {"a"})));
  };
  fill(0);
  for (int turn = 1; first.keeper->batches_written() < 2 && turn < 3000; ++turn) {
    if (first.io.stopped()) first.io.restart();
    first.io.run_one_for(std::chrono::milliseconds(10));
    t->ClearAll();
    fill(turn);
  }
  EXPECT_EQ(first.keeper->batches_written(), 2u);
  first.keeper->shutdown();

  service_life second(folder, log);
  second.restore();
  EXPECT_EQ(seen(*second.tickers.at("T")), seen(*t));
}

TEST_F(StateKeeperTest, AnUnusableFileIsMovedAsideAndTheServiceStartsEmpty) {
  {
    service_life first(folder, log);
    first.add("T")->AddGroupAfterCurrent(group_xml("g", {"a"}));
    first.keeper->shutdown();
  }
  const fs::path file = folder / state_store::file_name;
  std::ofstream(file, std::ios::binary | std::ios::in | std::ios::out).write("garbage!", 8);
  {
    service_life second(folder, log);
    second.restore();
    EXPECT_TRUE(second.tickers.empty());
    EXPECT_TRUE(log->contains("cannot be used"));
    second.add("U")->AddGroupAfterCurrent(group_xml("g", {"a"}));
    second.keeper->shutdown();
  }
  {
    sqlite::database newer(file);
    newer.exec("PRAGMA user_version = 99");
  }
  log->clear();
  service_life third(folder, log);
  third.restore();
  EXPECT_TRUE(third.tickers.empty());
  EXPECT_TRUE(log->contains("schema version 99 is newer"));
  int aside = 0;  // each file moved aside keeps a name of its own, however close they came
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    aside += name.starts_with("tickers.db.unusable-") && !name.ends_with("-wal") && !name.ends_with("-shm") ? 1 : 0;
  }
  EXPECT_EQ(aside, 2);
}

}  // namespace
}  // namespace orv::testing
