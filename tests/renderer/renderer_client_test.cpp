#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <future>
#include <optional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include "engine/ticker_element.h"
#include "hosting/named_event.h"
#include "hosting/named_mapping.h"
#include "hosting/supplier.h"
#include "renderer/orv_renderer.h"
#include "tests/hosting/channel_test_support.h"
#include "tests/support/memory_logger.h"

extern "C" int orv_renderer_c_check(void);

namespace orv {
namespace {

using namespace std::string_literals;
using testing::scratch_ticker;

std::string text(const orv_renderer_text& t) { return {t.data, t.size}; }

// A stream that hands out its elements in turn, then nothing.
class list_stream : public element_stream {
 public:
  std::vector<TickerElement> elements;
  std::vector<std::string> sections;
  std::size_t next = 0;
  bool GetNextElement(TickerElement& out) override {
    if (next >= elements.size()) return false;
    out = elements[next++];
    return true;
  }
  void OnStreamEmpty() override {}
  std::vector<std::string> GetUpcomingSections() override { return sections; }
  bool HasCurrentSection() override { return !sections.empty(); }
};

TickerElement element(const std::string& design, std::vector<TickerValue> values) {
  TickerElement e;
  e.SetKey("k" + design);
  e.SetDesign(design);
  e.SetValues(std::move(values));
  return e;
}

// The service side in this process. Its loop runs on a thread of its own only between
// start() and stop(), so the test touches service objects only while it is stopped.
class in_process_service {
 public:
  explicit in_process_service(const std::string& name) : name_(name) { make_supplier(); }
  ~in_process_service() { stop(); }

  void make_supplier() {
    supplier_ = std::make_shared<supplier>(name_, dispatcher_, nullptr, nullptr, log_);
    supplier_->set_stream(stream_);
  }
  void drop_supplier() { supplier_.reset(); }
  void start() {
    io_.restart();
    thread_ = std::thread([this] { io_.run(); });
  }
  void stop() {
    if (!thread_.joinable()) return;
    work_.reset();
    io_.stop();
    thread_.join();
    work_.emplace(io_.get_executor());
  }
  list_stream& stream() { return *stream_; }
  supplier& side() { return *supplier_; }

 private:
  std::string name_;
  boost::asio::io_context io_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_{io_.get_executor()};
  vorn::event_dispatcher dispatcher_{io_};
  std::shared_ptr<testing::memory_logger> log_ = std::make_shared<testing::memory_logger>();
  std::shared_ptr<list_stream> stream_ = std::make_shared<list_stream>();
  std::shared_ptr<supplier> supplier_;
  std::thread thread_;
};

struct channel_handle {
  orv_renderer_channel* channel = nullptr;
  ~channel_handle() { orv_renderer_close(channel); }
};

TEST(RendererClient, OpensBeforeTheTickerExistsAndSharesItsObjectsOnceItDoes) {
  scratch_ticker ticker("client");
  channel_handle h;
  const mode_t previous = ::umask(077);
  ASSERT_EQ(orv_renderer_open(ticker.name().data(), ticker.name().size(), &h.channel), ORV_RENDERER_OK);
  ::umask(previous);
  struct stat status {};
  ASSERT_EQ(::stat(("/dev/shm/mem" + ticker.name()).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0666u);
  EXPECT_EQ(orv_renderer_request(h.channel, 100), ORV_RENDERER_NOT_SERVED);

  in_process_service service(ticker.name());
  service.stream().elements = {element("D", {{"L1", "", "T1"}, {"L2", "A2", "T2"}})};
  service.stream().sections = {"S1", "S2"};
  service.side().refresh_titles();
  service.start();
  ASSERT_EQ(orv_renderer_request(h.channel, 5000), ORV_RENDERER_OK) << orv_renderer_last_error(h.channel);

  orv_renderer_element e{};
  ASSERT_EQ(orv_renderer_read_element(h.channel, &e), ORV_RENDERER_OK);
  EXPECT_EQ(text(e.design), "D");
  ASSERT_EQ(e.value_count, 2u);
  EXPECT_EQ(text(e.values[0].label) + "|" + text(e.values[0].attribute) + "|" + text(e.values[0].text), "L1||T1");
  EXPECT_EQ(text(e.values[1].label) + "|" + text(e.values[1].attribute) + "|" + text(e.values[1].text), "L2|A2|T2");
  EXPECT_EQ(e.values[1].text.data[2], '\0');

  orv_renderer_titles t{};
  ASSERT_EQ(orv_renderer_read_titles(h.channel, &t), ORV_RENDERER_OK);
  ASSERT_EQ(t.count, 2u);
  EXPECT_EQ(text(t.titles[0]) + "," + text(t.titles[1]), "S1,S2");

  // Nothing left: the empty element.
  ASSERT_EQ(orv_renderer_request(h.channel, 5000), ORV_RENDERER_OK);
  ASSERT_EQ(orv_renderer_read_element(h.channel, &e), ORV_RENDERER_OK);
  EXPECT_EQ(e.design.size, 0u);
  EXPECT_EQ(e.value_count, 0u);
}

TEST(RendererClient, AnAnswerThatCameTooLateIsNotTakenForTheNextOne) {
  scratch_ticker ticker("late");
  in_process_service service(ticker.name());
  service.stream().elements = {element("first", {}), element("second", {})};
  channel_handle h;
  ASSERT_EQ(orv_renderer_open(ticker.name().data(), ticker.name().size(), &h.channel), ORV_RENDERER_OK);
  EXPECT_EQ(orv_renderer_request(h.channel, 50), ORV_RENDERER_TIMED_OUT);  // the loop is not running

  service.start();
  ASSERT_EQ(orv_renderer_request(h.channel, 5000), ORV_RENDERER_OK);
  orv_renderer_element e{};
  ASSERT_EQ(orv_renderer_read_element(h.channel, &e), ORV_RENDERER_OK);
  EXPECT_EQ(text(e.design), "second");
}

TEST(RendererClient, ADeletedTickerClosesTheChannelAndANewOneIsFoundAgain) {
  scratch_ticker ticker("deleted");
  in_process_service service(ticker.name());
  channel_handle h;
  ASSERT_EQ(orv_renderer_open(ticker.name().data(), ticker.name().size(), &h.channel), ORV_RENDERER_OK);

  // Waiting without limit on a request that the deletion cuts short.
  auto waiting = std::async(std::launch::async, [&] { return orv_renderer_request(h.channel, -1); });
  ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  service.drop_supplier();
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), ORV_RENDERER_CLOSED);
  EXPECT_EQ(orv_renderer_request(h.channel, 100), ORV_RENDERER_NOT_SERVED);

  service.make_supplier();
  service.stream().elements = {element("again", {})};
  service.start();
  ASSERT_EQ(orv_renderer_request(h.channel, 5000), ORV_RENDERER_OK) << orv_renderer_last_error(h.channel);
  orv_renderer_element e{};
  ASSERT_EQ(orv_renderer_read_element(h.channel, &e), ORV_RENDERER_OK);
  EXPECT_EQ(text(e.design), "again");
}

TEST(RendererClient, AreasWithoutTerminatorsAreReportedMalformed) {
  scratch_ticker ticker("malformed");
  // A service that answers with whatever bytes the test puts in the areas.
  boost::asio::io_context io;
  vorn::event_dispatcher dispatcher(io);
  named_mapping elements("mem" + ticker.name(), section_area_size);
  named_mapping titles("sections" + ticker.name(), section_area_size);
  named_event event("event" + ticker.name());
  std::string answer;
  event.serve(
      dispatcher,
      [&] {
        std::fill(elements.view().begin(), elements.view().end(), 'x');
        std::copy(answer.begin(), answer.end(), elements.view().begin());
      },
      nullptr);
  auto work = boost::asio::make_work_guard(io);
  std::thread loop([&] { io.run(); });

  channel_handle h;
  ASSERT_EQ(orv_renderer_open(ticker.name().data(), ticker.name().size(), &h.channel), ORV_RENDERER_OK);
  orv_renderer_element e{};
  for (const std::string& bytes : {""s, "D\0L\0"s, "D\0L\0A\0"s}) {
    answer = bytes;
    ASSERT_EQ(orv_renderer_request(h.channel, 5000), ORV_RENDERER_OK);
    EXPECT_EQ(orv_renderer_read_element(h.channel, &e), ORV_RENDERER_MALFORMED) << bytes.size() << " bytes";
    EXPECT_STRNE(orv_renderer_last_error(h.channel), "");
  }
  answer = "D\0L\0A\0T\0\0"s;
  ASSERT_EQ(orv_renderer_request(h.channel, 5000), ORV_RENDERER_OK);
  EXPECT_EQ(orv_renderer_read_element(h.channel, &e), ORV_RENDERER_OK);
  EXPECT_EQ(e.value_count, 1u);

  std::fill(titles.view().begin(), titles.view().end(), 't');
  orv_renderer_titles t{};
  EXPECT_EQ(orv_renderer_read_titles(h.channel, &t), ORV_RENDERER_MALFORMED);

  work.reset();
  io.stop();
  loop.join();
}

TEST(RendererClient, NamesAreEncodedAndCheckedAndTheHeaderIsPlainC) {
  scratch_ticker ticker("a/b%");
  channel_handle h;
  ASSERT_EQ(orv_renderer_open(ticker.name().data(), ticker.name().size(), &h.channel), ORV_RENDERER_OK);
  struct stat status {};
  EXPECT_EQ(::stat(("/dev/shm/sections" + encode_object_name(ticker.name())).c_str(), &status), 0);
  EXPECT_NE(encode_object_name(ticker.name()).find("a%2Fb%25"), std::string::npos);

  orv_renderer_channel* unused = nullptr;
  const std::string too_long(103, 'n');
  EXPECT_EQ(orv_renderer_open(too_long.data(), too_long.size(), &unused), ORV_RENDERER_INVALID_ARGUMENT);
  EXPECT_EQ(unused, nullptr);
  EXPECT_EQ(orv_renderer_c_check(), 0);
}

}  // namespace
}  // namespace orv
