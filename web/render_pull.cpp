#include "web/render_pull.h"

#include <unistd.h>

#include "renderer/orv_renderer.h"
#include "web/json_text.h"

namespace orv::web {

namespace {

std::string_view text(const orv_renderer_text& t) { return {t.data, t.size}; }

std::string unserved(const std::string& reason) {
  return R"({"type":"element","served":false,"reason":)" + json_string(reason) + "}";
}

}  // namespace

render_pull::render_pull(boost::asio::io_context& io, std::string ticker, answer_handler answer)
    : io_(io), ticker_(std::move(ticker)), answer_(std::move(answer)), watch_(io) {}

render_pull::~render_pull() {
  *alive_ = false;
  stop_watching();
  orv_renderer_close(channel_);
}

void render_pull::stop_watching() {
  boost::system::error_code ignored;
  watch_.close(ignored);
  watched_fd_ = -1;
}

void render_pull::next() {
  if (waiting_) return;
  if (!channel_) {
    if (int status = orv_renderer_open(ticker_.data(), ticker_.size(), &channel_); status != ORV_RENDERER_OK) {
      channel_ = nullptr;
      answer_(unserved(orv_renderer_status_text(status)));
      return;
    }
  }
  waiting_ = true;
  // Sends only. A service on this processor has often answered by the time the send
  // returns (its wake-up preempts us), so one look at the socket comes first: the answer
  // then goes out without a turn of the loop. Otherwise the loop waits for the descriptor.
  int status = orv_renderer_request(channel_, 0);
  if (status == ORV_RENDERER_TIMED_OUT) status = orv_renderer_collect(channel_);
  if (status == ORV_RENDERER_TIMED_OUT)
    wait_for_answer();
  else
    answered(status);
}

void render_pull::wait_for_answer() {
  const int fd = orv_renderer_descriptor(channel_);
  if (fd != watched_fd_) {
    stop_watching();
    const int copy = ::dup(fd);
    if (copy < 0) {
      answered(ORV_RENDERER_SYSTEM_ERROR);
      return;
    }
    watch_.assign(copy);
    watched_fd_ = fd;
  }
  watch_.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                    [this, alive = alive_](const boost::system::error_code& ec) {
                      if (!*alive || ec) return;
                      const int status = orv_renderer_collect(channel_);
                      if (status == ORV_RENDERER_TIMED_OUT)
                        wait_for_answer();
                      else
                        answered(status);
                    });
}

void render_pull::answered(int status) {
  waiting_ = false;
  if (status != ORV_RENDERER_OK) {
    stop_watching();
    answer_(unserved(status == ORV_RENDERER_NOT_SERVED || status == ORV_RENDERER_CLOSED
                         ? "ticker not served"
                         : orv_renderer_status_text(status)));
    return;
  }
  answer_(element_json());
}

std::string render_pull::element_json() {
  orv_renderer_element element{};
  if (orv_renderer_read_element(channel_, &element) != ORV_RENDERER_OK) return unserved("malformed element");
  std::string json;
  json.reserve(256);
  json += R"({"type":"element","served":true,"design":)";
  append_json_string(json, text(element.design));
  json += ",\"values\":[";
  for (std::size_t i = 0; i < element.value_count; ++i) {
    const auto& v = element.values[i];
    json += i ? ",{\"label\":" : "{\"label\":";
    append_json_string(json, text(v.label));
    json += ",\"attribute\":";
    append_json_string(json, text(v.attribute));
    json += ",\"text\":";
    append_json_string(json, text(v.text));
    json += '}';
  }
  json += "],\"titles\":[";
  // Never waits for the title mutex: while a renderer elsewhere holds it, the list read last
  // time goes out again and the next request tries anew.
  orv_renderer_titles titles{};
  if (const int status = orv_renderer_try_read_titles(channel_, &titles);
      status == ORV_RENDERER_OK || status == ORV_RENDERER_TIMED_OUT) {
    for (std::size_t i = 0; i < titles.count; ++i) {
      if (i) json += ',';
      append_json_string(json, text(titles.titles[i]));
    }
  }
  json += "]}";
  return json;
}

}  // namespace orv::web
