#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

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

bool abstract_socket_listed(const std::string& object) {
  std::ifstream table("/proc/net/unix");
  std::stringstream all;
  all << table.rdbuf();
  return all.str().find("@" + encode_object_name(object) + "\n") != std::string::npos;
}

TEST(TickerObjects, ATickerCreatesItsFourObjectsOpenToEveryone) {
  scratch_ticker ticker("a/b%c");
  const mode_t previous = ::umask(077);
  ticker_endpoint endpoint(ticker.name());
  section_channel sections(ticker.name());
  ::umask(previous);

  for (const std::string prefix : {"mem", "sections"}) {
    const auto status = shm_status(prefix + ticker.name());
    EXPECT_EQ(status.st_mode & 0777, 0666u) << prefix;
    EXPECT_EQ(status.st_size, 16384) << prefix;
  }
  EXPECT_EQ(shm_status("sectionmutex" + ticker.name()).st_mode & 0777, 0666u);
  EXPECT_TRUE(abstract_socket_listed("event" + ticker.name()));
  EXPECT_EQ(endpoint.element_area().size(), 16384u);
}

TEST(TickerObjects, ExistingObjectsAreOpenedAndShared) {
  scratch_ticker ticker("existing");
  // A renderer got there first, with a smaller area holding something of its own.
  const std::string path = "/" + encode_object_name("mem" + ticker.name());
  const int fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 100), 0);
  ASSERT_EQ(::pwrite(fd, "R", 1, 0), 1);

  {
    ticker_endpoint endpoint(ticker.name());
    EXPECT_EQ(endpoint.element_area()[0], 'R');
    EXPECT_EQ(shm_status("mem" + ticker.name()).st_size, 16384);
    write_empty_element(endpoint.element_area());
  }
  // The objects outlive the ticker: a ticker made again under the name shares them.
  char byte = 'x';
  ASSERT_EQ(::pread(fd, &byte, 1, 0), 1);
  EXPECT_EQ(byte, '\0');
  ticker_endpoint again(ticker.name());
  EXPECT_EQ(again.element_area()[0], '\0');
  ::close(fd);
}

TEST(TickerObjects, NamesTooLongFailWithTheObjectsErrorText) {
  // Encoded, each "/" takes three bytes: "mem" and 83 of them make 252.
  const std::string long_name(83, '/');
  try {
    named_mapping mapping("mem" + long_name, 16384);
    FAIL() << "a 252-byte encoded name was accepted";
  } catch (const vorn::win32_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Couldn't create mapping named mem//////", 0), 0u) << e.what();
    EXPECT_EQ(e.code(), ENAMETOOLONG);
  }
  // The event's socket address holds 107 name bytes, fewer than the 250 of the other objects.
  try {
    ticker_endpoint endpoint(std::string(103, 'e'));
    FAIL() << "an event name longer than a socket address was accepted";
  } catch (const vorn::win32_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Couldn't create event named eventeee", 0), 0u) << e.what();
    EXPECT_EQ(e.code(), ENAMETOOLONG);
  }
}

class RequestEvent : public ::testing::Test {
 protected:
  void serve(std::function<void()> extra = {}) {
    event_.serve(
        dispatcher_,
        [this, extra] {
          ++served_;
          if (extra) extra();
        },
        log_);
  }

  boost::asio::io_context io_;
  vorn::event_dispatcher dispatcher_{io_};
  std::shared_ptr<testing::memory_logger> log_ = std::make_shared<testing::memory_logger>();
  scratch_ticker ticker_{"event"};
  std::unique_ptr<named_event> owned_ = std::make_unique<named_event>("event" + ticker_.name());
  named_event& event_ = *owned_;
  int served_ = 0;
};

TEST_F(RequestEvent, EveryRequestByteIsServedAndAnsweredWithOneReset) {
  serve();
  raw_renderer renderer(ticker_.name());
  ASSERT_TRUE(renderer.connected());
  // Three at once: none may wait for a later request to be noticed.
  ASSERT_TRUE(renderer.ask(3));
  int resets = 0;
  EXPECT_TRUE(run_until(io_, [&] { return (resets += renderer.take_resets()) >= 3; }));
  EXPECT_EQ(served_, 3);
  EXPECT_EQ(resets, 3);
}

TEST_F(RequestEvent, RenderersComeAndGoAndTakeTurns) {
  serve();
  auto first = std::make_unique<raw_renderer>(ticker_.name());
  raw_renderer second(ticker_.name());
  ASSERT_TRUE(first->ask());
  ASSERT_TRUE(second.ask());
  int first_resets = 0, second_resets = 0;
  EXPECT_TRUE(run_until(io_, [&] {
    first_resets += first->take_resets();
    second_resets += second.take_resets();
    return first_resets == 1 && second_resets == 1;
  }));
  EXPECT_EQ(event_.connection_count(), 2u);

  first.reset();
  EXPECT_TRUE(run_until(io_, [&] { return event_.connection_count() == 1; }));
  raw_renderer third(ticker_.name());
  ASSERT_TRUE(third.ask());
  EXPECT_TRUE(run_until(io_, [&] { return third.take_resets() == 1; }));
  EXPECT_EQ(served_, 3);
}

TEST_F(RequestEvent, ARendererThatStopsReadingIsDroppedWhileOthersAreServed) {
  serve();
  raw_renderer stalled(ticker_.name());
  raw_renderer reading(ticker_.name());
  // Far more resets than a socket holds unread.
  ASSERT_TRUE(stalled.ask(20000));
  ASSERT_TRUE(run_until(io_, [&] { return event_.connection_count() == 1; }));
  EXPECT_TRUE(log_->contains("Couldn't reset event: (0x0000000b)")) << "no reset failure logged";

  const int before = served_;
  ASSERT_TRUE(reading.ask());
  EXPECT_TRUE(run_until(io_, [&] { return reading.take_resets() == 1; }));
  EXPECT_EQ(served_, before + 1);
}

TEST_F(RequestEvent, AFailedRequestIsStillAnsweredAndDeletionClosesEveryConnection) {
  serve([] { throw std::runtime_error("no element"); });
  raw_renderer renderer(ticker_.name());
  ASSERT_TRUE(renderer.ask());
  EXPECT_TRUE(run_until(io_, [&] { return renderer.take_resets() == 1; }));
  EXPECT_TRUE(log_->contains("failed: no element"));

  owned_.reset();
  EXPECT_TRUE(renderer.closed_by_service());
  raw_renderer late(ticker_.name());
  EXPECT_FALSE(late.connected());
}

}  // namespace
}  // namespace orv
