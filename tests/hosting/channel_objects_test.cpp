#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include "hosting/named_event.h"
#include "hosting/section_channel.h"
#include "runtime/system_error.h"
#include "tests/hosting/channel_test_support.h"
#include "tests/support/memory_logger.h"

namespace orv {
namespace {

using testing::raw_renderer;
using testing::run_until;
using testing::scratch_ticker;

struct stat shm_status(const std::string& object) {
  struct stat status {};
  EXPECT_EQ(::stat(("/dev/shm/" + encode_object_name(object)).c_str(), &status), 0) << object;
  return status;
}

TEST(TickerObjects, ATickerHasFourObjectsOpenToEveryone) {
  scratch_ticker ticker("a/b%c");
  const mode_t previous = ::umask(077);
  ticker_endpoint endpoint(ticker.name);
  section_channel sections(ticker.name);
  ::umask(previous);

  for (const std::string prefix : {"mem", "sections", "sectionmutex"})
    EXPECT_EQ(shm_status(prefix + ticker.name).st_mode & 0777, 0666u) << prefix;
  EXPECT_EQ(shm_status("mem" + ticker.name).st_size, 16384);
  EXPECT_EQ(shm_status("sections" + ticker.name).st_size, 16384);
  std::stringstream sockets;
  sockets << std::ifstream("/proc/net/unix").rdbuf();
  EXPECT_NE(sockets.str().find("@" + encode_object_name("event" + ticker.name) + "\n"), std::string::npos);
}

TEST(TickerObjects, ExistingObjectsAreSharedAndOutliveTheTicker) {
  scratch_ticker ticker("existing");
  // A renderer got there first, with a smaller area of its own.
  const int fd = ::shm_open(("/mem" + ticker.name).c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_EQ(::ftruncate(fd, 100), 0);
  ASSERT_EQ(::pwrite(fd, "R", 1, 0), 1);
  {
    ticker_endpoint endpoint(ticker.name);
    EXPECT_EQ(endpoint.element_area()[0], 'R');
    EXPECT_EQ(shm_status("mem" + ticker.name).st_size, 16384);
    endpoint.element_area()[0] = 'S';
  }
  char byte = 0;
  ASSERT_EQ(::pread(fd, &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'S');
  EXPECT_EQ(ticker_endpoint(ticker.name).element_area()[0], 'S');
  ::close(fd);
}

// What make() throws: its text, from the start, and its code.
template <class Make>
std::pair<std::string, int> failure_of(Make make) {
  try {
    make();
  } catch (const vorn::win32_error& e) {
    return {e.what(), e.code()};
  }
  return {"no error", 0};
}

TEST(TickerObjects, NamesTooLongFailWithTheObjectsErrorText) {
  // 252 bytes once encoded.
  auto [text, code] = failure_of([] { named_mapping("mem" + std::string(83, '/'), 16384); });
  EXPECT_EQ(text.rfind("Couldn't create mapping named mem///", 0), 0u) << text;
  EXPECT_EQ(code, ENAMETOOLONG);
  // A socket address holds 107 name bytes: "event" and 103 more do not fit.
  std::tie(text, code) = failure_of([] { ticker_endpoint(std::string(103, 'e')); });
  EXPECT_EQ(text.rfind("Couldn't create event named eventeee", 0), 0u) << text;
  EXPECT_EQ(code, ENAMETOOLONG);
}

class RequestEvent : public ::testing::Test {
 protected:
  void serve(std::function<void()> extra = {}) {
    event_->serve(dispatcher_, [this, extra] { ++served_; if (extra) extra(); }, log_);
  }

  boost::asio::io_context io_;
  vorn::event_dispatcher dispatcher_{io_};
  std::shared_ptr<testing::memory_logger> log_ = std::make_shared<testing::memory_logger>();
  scratch_ticker ticker_{"event"};
  std::unique_ptr<named_event> event_ = std::make_unique<named_event>("event" + ticker_.name);
  int served_ = 0;
};

TEST_F(RequestEvent, EveryRequestByteIsAnsweredOnItsOwnConnection) {
  serve();
  auto first = std::make_unique<raw_renderer>(ticker_.name);
  raw_renderer second(ticker_.name);
  // Three at once: none may wait for a later byte to be noticed.
  ASSERT_TRUE(first->ask(3) && second.ask());
  int first_resets = 0, second_resets = 0;
  EXPECT_TRUE(run_until(io_, [&] {
    first_resets += first->take_resets();
    second_resets += second.take_resets();
    return first_resets == 3 && second_resets == 1;
  }));

  first.reset();
  EXPECT_TRUE(run_until(io_, [&] { return event_->connection_count() == 1; }));
  raw_renderer third(ticker_.name);
  ASSERT_TRUE(third.ask());
  EXPECT_TRUE(run_until(io_, [&] { return third.take_resets() == 1; }));
  EXPECT_EQ(served_, 5);
}

TEST_F(RequestEvent, StalledOrFailingRequestsStallNobodyAndDeletionClosesAll) {
  serve([this] {
    if (served_ == 1) throw std::runtime_error("no element");
  });
  raw_renderer reading(ticker_.name);
  ASSERT_TRUE(reading.ask());  // fails, and is answered all the same
  EXPECT_TRUE(run_until(io_, [&] { return reading.take_resets() == 1; }));
  EXPECT_TRUE(log_->contains("failed: no element"));

  // Far more resets than a socket holds unread.
  raw_renderer stalled(ticker_.name);
  ASSERT_TRUE(stalled.ask(20000));
  ASSERT_TRUE(run_until(io_, [&] { return log_->contains("Couldn't reset event: (0x0000000b)"); }));
  EXPECT_EQ(event_->connection_count(), 1u);
  ASSERT_TRUE(reading.ask());
  EXPECT_TRUE(run_until(io_, [&] { return reading.take_resets() == 1; }));

  event_.reset();
  EXPECT_EQ(reading.take_resets(), -1);
  EXPECT_FALSE(raw_renderer(ticker_.name).connected);
}

}  // namespace
}  // namespace orv
