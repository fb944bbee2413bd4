#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/ticker_element.h"
#include "hosting/named_event.h"
#include "hosting/open_security_attributes.h"
#include "hosting/section_channel.h"
#include "tests/support/child_process.h"
#include "tests/support/descriptor_exhaustion.h"
#include "tests/support/memory_logger.h"
#include "tests/support/ticker_objects.h"

namespace orv {
namespace {

using namespace std::string_literals;
using testing::raw_renderer;
using testing::run_until;
using testing::scratch_ticker;

// The area is followed by guard bytes, and all of it starts as 'Z': stale bytes after a write
// and writes past the end both show.
struct guarded_area {
  std::vector<char> bytes = std::vector<char>(section_area_size + 64, 'Z');
  std::span<char> area() { return {bytes.data(), section_area_size}; }
  std::string at(std::size_t from, std::size_t n) const { return {bytes.data() + from, n}; }
};

TickerElement element(const std::string& design, std::vector<TickerValue> values) {
  TickerElement e;
  e.SetKey("k");
  e.SetDesign(design);
  e.SetValues(std::move(values));
  return e;
}

TEST(SectionLayout, ElementsAndTitlesAsTheRendererReadsThemCutWhereTheyDoNotFit) {
  guarded_area a;
  EXPECT_FALSE(write_element_area(a.area(), element("D", {{"L1", "", "T1"}, {"L2", "A2", "T2"}})).cut);
  EXPECT_EQ(a.at(0, 20), "D\0L1\0\0T1\0L2\0A2\0T2\0\0Z"s);
  write_element_area(a.area(), element("Design", {}));
  EXPECT_EQ(a.at(0, 9), "Design\0\0\0"s);
  write_empty_element(a.area());  // only its two bytes change
  EXPECT_EQ(a.at(0, 9), "\0\0sign\0\0\0"s);
  guarded_area t;
  write_title_area(t.area(), {"A", "B"});
  EXPECT_EQ(t.at(0, 6), "A\0B\0\0Z"s);

  // What does not fit is left off whole, and nothing passes the end.
  // "D" takes 2 bytes and each value 2 + 1 + 5001: three end at 15014, a fourth does not fit.
  const TickerValue big{"L", "", std::string(5000, 'x')};
  auto written = write_element_area(a.area(), element("D", {big, big, big, big}));
  EXPECT_TRUE(written.cut);
  EXPECT_EQ(written.written, 3u);
  EXPECT_EQ(a.at(15014, 2), "\0Z"s);  // terminated, and no part of the fourth value written

  // A value that ends exactly at the last byte fits; one byte more does not.
  const std::string exact(section_area_size - 7, 'y');
  EXPECT_FALSE(write_element_area(a.area(), element("D", {{"L", "", exact}})).cut);
  EXPECT_EQ(a.bytes[section_area_size - 1], '\0');
  EXPECT_TRUE(write_element_area(a.area(), element("D", {{"L", "", exact + "y"}})).cut);
  EXPECT_EQ(a.at(0, 3), "D\0\0"s);
  // A design that does not fit leaves the empty element.
  EXPECT_TRUE(write_element_area(a.area(), element(std::string(section_area_size - 1, 'd'), {})).cut);
  EXPECT_EQ(a.at(0, 2), "\0\0"s);

  const std::string title(6000, 't');
  EXPECT_EQ(write_title_area(a.area(), {title, title, title}).written, 2u);
  EXPECT_EQ(a.bytes[12002], '\0');
  EXPECT_EQ(a.at(section_area_size, 64), std::string(64, 'Z'));
}

struct stat shm_status(const std::string& object) {
  struct stat status {};
  EXPECT_EQ(::stat(("/dev/shm/" + encode_object_name(object)).c_str(), &status), 0) << object;
  return status;
}

TEST(TickerObjects, FourObjectsForTheRendererGroupSharedWithWhoeverCameFirstAndHeldThere) {
  EXPECT_EQ(encode_object_name("a/b%c d\\e"), "a%2Fb%25c d\\e");
  EXPECT_EQ(encode_object_name("%2F"), "%252F");  // so that no two names meet
  EXPECT_EQ(encode_object_name("a\0b\n\x1f\x7f\x80"s), "a%00b%0A%1F%7F\x80");
  scratch_ticker fresh("a/b%c"), existing("existing"), stranger("stranger");
  // A renderer got there first for one of them, with a smaller element area of its own, and
  // holds it; someone else left a world-writable one for the third.
  const int fd = ::shm_open(("/mem" + existing.name).c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(::ftruncate(fd, 100), 0);
  ASSERT_EQ(::pwrite(fd, "R", 1, 0), 1);
  ASSERT_EQ(::flock(fd, LOCK_SH), 0);
  const int planted = ::shm_open(("/mem" + stranger.name).c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_EQ(::fchmod(planted, 0666), 0);
  ASSERT_EQ(::flock(planted, LOCK_SH), 0);
  ASSERT_EQ(::pwrite(planted, "P", 1, 0), 1);
  const mode_t previous = ::umask(077);
  ticker_endpoint endpoint(fresh.name), shared(existing.name), replaced(stranger.name);
  section_channel sections(fresh.name);
  ::umask(previous);
  ::close(fd);
  ::close(planted);
  for (const std::string prefix : {"mem", "sections", "sectionmutex"}) {
    EXPECT_EQ(shm_status(prefix + fresh.name).st_mode & 0777, 0660u) << prefix;
    EXPECT_EQ(shm_status(prefix + fresh.name).st_gid, open_security_attributes().group()) << prefix;
  }
  EXPECT_EQ(replaced.element_area()[0], '\0');
  EXPECT_EQ(shm_status("mem" + stranger.name).st_mode & 0777, 0660u);
  for (const std::string& object : {"mem" + fresh.name, "sections" + fresh.name, "mem" + existing.name})
    EXPECT_EQ(shm_status(object).st_size, 16384) << object;
  EXPECT_EQ(shared.element_area()[0], 'R');
}

TEST(RequestEvent, EveryRequestIsAnsweredAndNeitherFailuresNorStalledRenderersHoldUpOthers) {
  boost::asio::io_context io;
  vorn::event_dispatcher dispatcher(io);
  auto log = std::make_shared<testing::memory_logger>();
  scratch_ticker ticker("event");
  auto event = std::make_unique<named_event>("event" + ticker.name);
  int served = 0;
  event->serve(
      dispatcher,
      [&] {
        if (++served == 1) throw std::runtime_error("no element");
      },
      log);

  // Three at once, one of which fails: none may wait for a later byte to be noticed.
  auto first = std::make_unique<raw_renderer>(ticker.name);
  raw_renderer second(ticker.name);
  ASSERT_TRUE(first->ask(3) && second.ask());
  int first_resets = 0, second_resets = 0;
  EXPECT_TRUE(run_until(io, [&] {
    first_resets += first->take_resets();
    second_resets += second.take_resets();
    return first_resets == 3 && second_resets == 1;
  }));
  EXPECT_TRUE(log->contains("failed: no element"));
  first.reset();
  EXPECT_TRUE(run_until(io, [&] { return event->connection_count() == 1; }));

  // Far more resets than a socket holds unread.
  raw_renderer stalled(ticker.name);
  ASSERT_TRUE(stalled.ask(20000));
  ASSERT_TRUE(run_until(io, [&] { return log->contains("Couldn't reset event: Resource temporarily unavailable"); }));
  EXPECT_EQ(event->connection_count(), 1u);
  ASSERT_TRUE(second.ask());
  EXPECT_TRUE(run_until(io, [&] { return second.take_resets() == 1; }));

  event.reset();
  EXPECT_EQ(second.take_resets(), -1);
  EXPECT_FALSE(raw_renderer(ticker.name).connected);
}

TEST(RequestEvent, ANewRendererReplacesTheOldestIdleOneAndRunningOutOfDescriptorsPausesAccepting) {
  boost::asio::io_context io;
  vorn::event_dispatcher dispatcher(io);
  auto log = std::make_shared<testing::memory_logger>();
  scratch_ticker ticker("cap");
  named_event event("event" + ticker.name);
  event.serve(dispatcher, [] {}, log);
  std::vector<std::unique_ptr<raw_renderer>> renderers;
  for (int i = 0; i < 64; ++i) {
    renderers.push_back(std::make_unique<raw_renderer>(ticker.name));
    ASSERT_TRUE(run_until(io, [&] { return event.connection_count() == renderers.size(); }));
  }
  raw_renderer newcomer(ticker.name);
  ASSERT_TRUE(run_until(io, [&] { return renderers.front()->take_resets() == -1; }));
  EXPECT_EQ(event.connection_count(), 64u);
  ASSERT_TRUE(newcomer.ask());
  EXPECT_TRUE(run_until(io, [&] { return newcomer.take_resets() == 1; }));
  EXPECT_EQ(renderers[1]->take_resets(), 0);  // still connected
  renderers.erase(renderers.begin(), renderers.begin() + 2);
  ASSERT_TRUE(run_until(io, [&] { return event.connection_count() == 63; }));
  io.poll();  // the closed connection's descriptor goes from a handler of its own

  // No descriptor for the next renderer: one line, no spinning, until one is freed.
  raw_renderer late(ticker.name);  // waits in the backlog until the loop runs
  ASSERT_TRUE(late.connected && late.ask());
  {
    testing::descriptor_exhaustion exhausted;
    const auto start = std::chrono::steady_clock::now();
    std::size_t handlers = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(300))
      handlers += io.run_one_for(std::chrono::milliseconds(10));
    EXPECT_LT(handlers, 50u);
    EXPECT_EQ(log->count("Out of descriptors"), 1);
    EXPECT_EQ(late.take_resets(), 0);
    renderers.pop_back();  // the service closes that descriptor and takes the late one at once
    EXPECT_TRUE(run_until(io, [&] { return late.take_resets() == 1; }));
  }
  EXPECT_EQ(log->count("accepting resumed"), 1);
}

}  // namespace
}  // namespace orv
