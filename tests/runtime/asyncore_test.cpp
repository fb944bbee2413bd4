#include <fcntl.h>
#include "runtime/asyncore.h"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "runtime/waitable_object.h"
#include "tests/runtime/run_loop.h"
#include "tests/support/memory_logger.h"

namespace {

std::shared_ptr<vorn::asyncore> make_core() {
  return std::make_shared<vorn::asyncore>(std::make_shared<orv::testing::memory_logger>());
}

TEST(Asyncore, PostQuitFromAnotherThreadOrAStopSignalEndsAnUnlimitedWait) {
  auto core = make_core();
  EXPECT_EQ(core->process(10), 0u);
  EXPECT_FALSE(core->quit_signalled());
  std::thread other([&] { core->post_quit(); });
  core->process(vorn::asyncore::infinite);
  other.join();
  EXPECT_TRUE(core->quit_signalled());

  for (int signal : {SIGTERM, SIGINT}) {
    auto signalled = make_core();
    ASSERT_EQ(::raise(signal), 0);
    signalled->process(vorn::asyncore::infinite);
    EXPECT_TRUE(signalled->quit_signalled()) << signal;
  }
}

class pipe_reader : public vorn::waitable_object {
 public:
  pipe_reader(vorn::event_dispatcher& d, int fd, bool urgent = false, std::vector<std::string>* order = nullptr)
      : waitable_object(d, fd, urgent), fd_(fd), order_(order) {}
  void on_signalled() override {
    char c;
    if (::read(fd_, &c, 1) != 1) return;
    received += c;
    if (order_) order_->push_back(std::string(1, c));
  }
  std::string received;

 private:
  int fd_;
  std::vector<std::string>* order_;
};

TEST(WaitableObject, RunsEachTimeTheDescriptorIsReadableAndStopsWithTheObject) {
  auto core = make_core();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  auto reader = std::make_unique<pipe_reader>(core->get_event_dispatcher(), fds[0]);
  core->process(0);
  EXPECT_EQ(reader->received, "");
  for (const std::string expected : {"a", "ab"}) {
    ASSERT_EQ(::write(fds[1], &expected.back(), 1), 1);
    EXPECT_TRUE(orv::testing::run_until(*core, [&] { return reader->received == expected; }));
  }
  reader.reset();
  ASSERT_EQ(::write(fds[1], "c", 1), 1);
  core->process(20);
  // The descriptor stays open for its owner, with the byte still unread.
  char c = 0;
  EXPECT_EQ(::read(fds[0], &c, 1), 1);
  EXPECT_EQ(c, 'c');
  ::close(fds[0]);
  ::close(fds[1]);
}

// Handlers already queued do not hold up an urgent descriptor: it is served between them,
// while an ordinary one waits for the loop's next look at its descriptors.
TEST(WaitableObject, AnUrgentDescriptorIsServedBetweenQueuedHandlers) {
  auto core = make_core();
  core->get_event_dispatcher().check_interval = std::chrono::microseconds(0);
  int urgent_pipe[2], plain_pipe[2];
  ASSERT_EQ(::pipe2(urgent_pipe, O_NONBLOCK), 0);
  ASSERT_EQ(::pipe2(plain_pipe, O_NONBLOCK), 0);
  std::vector<std::string> order;
  auto urgent = std::make_unique<pipe_reader>(core->get_event_dispatcher(), urgent_pipe[0], true, &order);
  auto plain = std::make_unique<pipe_reader>(core->get_event_dispatcher(), plain_pipe[0], false, &order);
  boost::asio::post(core->io_context(), [&] {
    order.push_back("first");
    ASSERT_EQ(::write(urgent_pipe[1], "u", 1), 1);
    ASSERT_EQ(::write(plain_pipe[1], "p", 1), 1);
  });
  for (const char* name : {"second", "third"})
    boost::asio::post(core->io_context(), [&order, name] { order.push_back(name); });
  EXPECT_TRUE(orv::testing::run_until(*core, [&] { return order.size() == 5; }));
  EXPECT_EQ(order, (std::vector<std::string>{"first", "u", "second", "third", "p"}));
  // Its own wait still completes later; nothing is left to read and nothing runs twice.
  core->process(20);
  EXPECT_EQ(urgent->received, "u");
  urgent.reset();
  plain.reset();
  EXPECT_FALSE(core->get_event_dispatcher().has_urgent());
  for (int fd : {urgent_pipe[0], urgent_pipe[1], plain_pipe[0], plain_pipe[1]}) ::close(fd);
}

// The loop keeps its longest handler with the kind of work the handler named ("other" when
// it named none) and logs each new longest; with an urgent descriptor it also keeps how long
// it ran handlers without a look at it. The first handler after a wait is timed only from
// where it names itself, so an unnamed one there is not timed at all.
TEST(Asyncore, KeepsItsLongestTurnWithItsKindAndItsLongestStretchWithoutALook) {
  auto logger = std::make_shared<orv::testing::memory_logger>();
  auto core = std::make_shared<vorn::asyncore>(logger);
  const auto busy = [](std::chrono::milliseconds length) {
    for (const auto until = std::chrono::steady_clock::now() + length; std::chrono::steady_clock::now() < until;) {
    }
  };
  int ran = 0;
  boost::asio::post(core->io_context(), [&] { busy(std::chrono::milliseconds(20)); ++ran; });
  boost::asio::post(core->io_context(), [&] { vorn::loop_turns::name("test", "slow"); busy(std::chrono::milliseconds(3)); ++ran; });
  EXPECT_TRUE(orv::testing::run_until(*core, [&] { return ran == 2; }));
  const auto& turns = core->turns();
  EXPECT_GE(turns.longest_turn(), std::chrono::milliseconds(3));
  EXPECT_EQ(turns.longest_kind(), "test slow");
  EXPECT_EQ(logger->count("Longest loop turn so far: "), 1);
  EXPECT_EQ(turns.longest_unwatched(), vorn::loop_turns::clock::duration{});

  int urgent_pipe[2];
  ASSERT_EQ(::pipe2(urgent_pipe, O_NONBLOCK), 0);
  auto urgent = std::make_unique<pipe_reader>(core->get_event_dispatcher(), urgent_pipe[0], true);
  // Longer than the slow one took, however long the system kept it from the processor.
  const auto longer = std::chrono::duration_cast<std::chrono::milliseconds>(turns.longest_turn()) +
                      std::chrono::milliseconds(2);
  boost::asio::post(core->io_context(), [&] { ++ran; });
  boost::asio::post(core->io_context(), [&] { busy(longer); ++ran; });
  EXPECT_TRUE(orv::testing::run_until(*core, [&] { return ran == 4; }));
  EXPECT_GE(turns.longest_turn(), longer);
  EXPECT_EQ(turns.longest_kind(), "other");
  EXPECT_TRUE(logger->contains(", other"));
  EXPECT_GE(turns.longest_unwatched(), longer);
  urgent.reset();
  for (int fd : urgent_pipe) ::close(fd);
}

}  // namespace
