#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>

#include "hosting/named_event.h"
#include "hosting/named_mapping.h"
#include "hosting/section_channel.h"
#include "renderer/orv_renderer.h"
#include "tests/support/ticker_objects.h"

extern "C" int orv_renderer_c_check(void);

namespace orv {
namespace {

using namespace std::string_literals;

struct channel_handle {
  orv_renderer_channel* channel = nullptr;
  ~channel_handle() { orv_renderer_close(channel); }
};

TEST(RendererClient, LateAnswersAreNotTakenForTheNextAndMalformedAreasAreRefused) {
  testing::scratch_ticker ticker("client");
  // A service answering each request with the next scripted bytes over an area of 'x'.
  boost::asio::io_context io;
  vorn::event_dispatcher dispatcher(io);
  named_mapping elements("mem" + ticker.name, section_area_size), titles("sections" + ticker.name, section_area_size);
  named_event event("event" + ticker.name);
  std::deque<std::string> answers{"late\0\0"s, "D\0L\0A\0T\0\0"s, ""s, "D\0L\0"s, "D\0L\0A\0"s};
  auto answer = [&] {
    std::fill(elements.view().begin(), elements.view().end(), 'x');
    std::copy(answers.front().begin(), answers.front().end(), elements.view().begin());
    answers.pop_front();
  };
  event.serve(dispatcher, answer, nullptr);

  channel_handle h;
  ASSERT_EQ(orv_renderer_open(ticker.name.data(), ticker.name.size(), &h.channel), ORV_RENDERER_OK);
  EXPECT_EQ(orv_renderer_request(h.channel, 50), ORV_RENDERER_TIMED_OUT);  // the loop is not running yet
  auto work = boost::asio::make_work_guard(io);
  std::thread loop([&] { io.run(); });

  orv_renderer_element e{};
  ASSERT_EQ(orv_renderer_request(h.channel, 5000), ORV_RENDERER_OK);
  ASSERT_EQ(orv_renderer_read_element(h.channel, &e), ORV_RENDERER_OK);
  EXPECT_EQ(std::string(e.design.data, e.design.size), "D");
  ASSERT_EQ(e.value_count, 1u);
  EXPECT_EQ(std::string(e.values[0].text.data), "T");
  for (int i = 0; i < 3; ++i) {  // no design end, no attribute end, no text end
    ASSERT_EQ(orv_renderer_request(h.channel, 5000), ORV_RENDERER_OK);
    EXPECT_EQ(orv_renderer_read_element(h.channel, &e), ORV_RENDERER_MALFORMED) << i;
    EXPECT_STRNE(orv_renderer_last_error(h.channel), "");
  }
  std::fill(titles.view().begin(), titles.view().end(), 't');
  orv_renderer_titles t{};
  EXPECT_EQ(orv_renderer_read_titles(h.channel, &t), ORV_RENDERER_MALFORMED);
  work.reset();
  io.stop();
  loop.join();
}

TEST(RendererClient, NamesAreEncodedAndCheckedAndTheHeaderIsPlainC) {
  testing::scratch_ticker ticker("a/b%");
  channel_handle h;
  const mode_t previous = ::umask(077);
  ASSERT_EQ(orv_renderer_open(ticker.name.data(), ticker.name.size(), &h.channel), ORV_RENDERER_OK);
  ::umask(previous);
  struct stat status {};
  ASSERT_EQ(::stat(("/dev/shm/sectionsorvtest_a%2Fb%25" + ticker.name.substr(12)).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0660u);
  EXPECT_EQ(orv_renderer_request(h.channel, 100), ORV_RENDERER_NOT_SERVED);

  orv_renderer_channel* unused = nullptr;
  const std::string too_long(103, 'n');  // "event" and 103 bytes pass a socket address
  EXPECT_EQ(orv_renderer_open(too_long.data(), too_long.size(), &unused), ORV_RENDERER_INVALID_ARGUMENT);
  EXPECT_EQ(orv_renderer_c_check(), 0);
}

TEST(RendererClient, AreasLastWhileHeldAndOthersAreRefused) {
  testing::scratch_ticker ticker("life");
  const auto exists = [&](const char* prefix) { return std::filesystem::exists("/dev/shm/"s + prefix + ticker.name); };
  struct service_side {
    explicit service_side(const std::string& name) : endpoint(name), sections(name) {}
    ticker_endpoint endpoint;
    section_channel sections;
  };

  // Nobody else holds them: they go with the ticker, and a stale part found at creation goes.
  auto service = std::make_unique<service_side>(ticker.name);
  service->sections.write({"Old"});
  service.reset();
  for (const char* prefix : {"mem", "sections", "sectionmutex"}) EXPECT_FALSE(exists(prefix)) << prefix;
  named_mapping("sections" + ticker.name, section_area_size).view()[0] = 'S';
  service = std::make_unique<service_side>(ticker.name);
  EXPECT_EQ(service->sections.title_area()[0], '\0');

  // A renderer holding them across delete and re-create keeps sharing them; the last one out
  // removes them.
  channel_handle h;
  ASSERT_EQ(orv_renderer_open(ticker.name.data(), ticker.name.size(), &h.channel), ORV_RENDERER_OK);
  service->sections.write({"Kept"});
  // A reader that must not block keeps the last list while another holds the mutex, and
  // needs the mutex only once the bytes changed.
  const auto first_title = [&] {
    orv_renderer_titles t{};
    const int status = orv_renderer_try_read_titles(h.channel, &t);
    return std::to_string(status) + (t.count ? std::string(t.titles[0].data, t.titles[0].size) : "");
  };
  EXPECT_EQ(first_title(), "0Kept");
  const int held = ::shm_open(("/sectionmutex" + ticker.name).c_str(), O_RDWR, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  EXPECT_EQ(first_title(), "0Kept");
  std::memcpy(service->sections.title_area().data(), "New\0", 5);
  EXPECT_EQ(first_title(), std::to_string(ORV_RENDERER_TIMED_OUT) + "Kept");
  ::close(held);
  EXPECT_EQ(first_title(), "0New");
  service->sections.write({"Kept"});
  service.reset();
  EXPECT_TRUE(exists("mem") && exists("sections") && exists("sectionmutex"));
  service = std::make_unique<service_side>(ticker.name);
  EXPECT_EQ(std::string(service->sections.title_area().data()), "Kept");
  service.reset();
  orv_renderer_close(h.channel);
  h.channel = nullptr;
  for (const char* prefix : {"mem", "sections", "sectionmutex"}) EXPECT_FALSE(exists(prefix)) << prefix;

  // Another user can neither open the service's areas nor attach with areas of its own.
  boost::asio::io_context io;
  vorn::event_dispatcher dispatcher(io);
  service = std::make_unique<service_side>(ticker.name);
  testing::scratch_ticker own("own");
  named_event own_event("event" + own.name);
  own_event.serve(dispatcher, [] {}, nullptr);
  const int outcome = testing::as_stranger(io, [&] {
    orv_renderer_channel* c = nullptr;
    if (orv_renderer_open(ticker.name.data(), ticker.name.size(), &c) != ORV_RENDERER_REFUSED) return 1;
    if (orv_renderer_open(own.name.data(), own.name.size(), &c) != ORV_RENDERER_OK) return 2;
    const int status = orv_renderer_request(c, 5000);
    const bool told = std::string(orv_renderer_last_error(c)).find("orvticker") != std::string::npos;
    orv_renderer_close(c);
    return status == ORV_RENDERER_REFUSED && told ? 0 : 3;
  });
  if (outcome == -1) GTEST_SKIP() << "not root: no peer can run as another user here";
  EXPECT_EQ(outcome, 0);
}

}  // namespace
}  // namespace orv
