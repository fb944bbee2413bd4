#include "runtime/asyncore.h"

#include <gtest/gtest.h>
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
  pipe_reader(vorn::event_dispatcher& d, int fd) : waitable_object(d, fd), fd_(fd) {}
  void on_signalled() override {
    char c;
    if (::read(fd_, &c, 1) == 1) received += c;
  }
  std::string received;

 private:
  int fd_;
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

}  // namespace
