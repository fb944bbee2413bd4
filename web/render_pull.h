#pragma once

#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

struct orv_renderer_channel;

namespace orv::web {

// One ticker's renderer channel, driven by the loop: next() makes one request and the
// answer (a JSON element message) comes back through the callback once the service has
// reset it. The channel's socket is watched through a duplicate descriptor, so the channel
// may close and reopen its own without the loop noticing a reused number.
class render_pull {
 public:
  using answer_handler = std::function<void(const std::string& element_json)>;

  render_pull(boost::asio::io_context& io, std::string ticker, answer_handler answer);
  ~render_pull();
  render_pull(const render_pull&) = delete;
  render_pull& operator=(const render_pull&) = delete;

  // Asks for the next element; ignored while a request is open.
  void next();
  bool waiting() const { return waiting_; }

 private:
  void wait_for_answer();
  void answered(int status);
  std::string element_json();
  void stop_watching();

  boost::asio::io_context& io_;
  std::string ticker_;
  answer_handler answer_;
  orv_renderer_channel* channel_ = nullptr;
  boost::asio::posix::stream_descriptor watch_;
  int watched_fd_ = -1;
  bool waiting_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace orv::web
