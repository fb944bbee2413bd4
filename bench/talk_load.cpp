#include "bench/talk_load.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <cmath>
#include <deque>
#include <memory>

#include "runtime/plaintalk.h"

namespace orv::bench {

namespace asio = boost::asio;
using asio::ip::tcp;
using clock = std::chrono::steady_clock;
using error_code = boost::system::error_code;

std::vector<std::vector<std::string>> command_cycle(const std::string& ticker, const std::string& follow_group,
                                                    int connection) {
  const std::string name = "bench" + std::to_string(connection);
  const std::string group = "<group name=\"" + name + "\"><section>Bench</section><element key=\"1\">" +
                            "<design>line</design><log_msg>" + name + " 1</log_msg>" +
                            "<value label=\"text\" attribute=\"text\">" + name + " item 1</value></element></group>";
  return {
      {"ListTickers"},
      {"on_ticker", ticker, "GetGroups"},
      {"on_ticker", ticker, "AddGroupAfterGroup", follow_group, group},
      {"on_ticker", ticker, "DeleteGroupWhenInactive", name},
  };
}

double percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[rank == 0 ? 0 : std::min(rank, sorted.size()) - 1];
}

namespace {

struct load_state {
  bool sending = true;
  clock::time_point window_end;
  talk_load_result result;
};

// Cuts replies out of the bytes read with the service's own framing.
class reply_reader : public vorn::plaintalk_protocol {
 public:
  using handler = std::function<void(const std::vector<std::string>&)>;
  explicit reply_reader(handler on_reply) : vorn::plaintalk_protocol(nullptr), on_reply_(std::move(on_reply)) {
    install_message_parser(std::make_shared<vorn::message_accumulator>(*this));
  }
  void message_received(const std::vector<std::string>& fields) override { on_reply_(fields); }

 private:
  handler on_reply_;
};

class talk_connection : public std::enable_shared_from_this<talk_connection> {
 public:
  talk_connection(asio::io_context& io, const std::vector<std::vector<std::string>>& cycle, int depth,
                  load_state& state)
      : socket_(io), depth_(depth), state_(state), reader_([this](const auto& fields) { on_reply(fields); }) {
    // Each command is rendered once; only its tag changes from one sending to the next.
    for (const auto& command : cycle) {
      vorn::message wire;
      wire.start("0");
      for (const auto& field : command) wire.add_field(field);
      tails_.push_back(wire.text().substr(1) + "\r\n");
    }
  }

  void start(const tcp::endpoint& service) {
    socket_.async_connect(service, [self = shared_from_this()](const error_code& ec) {
      if (ec) return self->fail();
      self->socket_.set_option(tcp::no_delay(true));
      self->top_up();
      self->read();
    });
  }

  std::size_t waiting() const { return sent_at_.size(); }
  bool done() const {
    return closed_ || (!state_.sending && sent_at_.empty() && next_tag_ % static_cast<std::int64_t>(tails_.size()) == 0);
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    state_.result.unanswered += static_cast<std::int64_t>(sent_at_.size());
    error_code ignored;
    socket_.close(ignored);
  }

 private:
  // Keeps depth commands unanswered while sending; once stopped, still finishes the cycle
  // under way, so that no write is left without the delete that follows it.
  void top_up() {
    const auto now = clock::now();
    const auto cycle = static_cast<std::int64_t>(tails_.size());
    while (state_.sending ? static_cast<int>(sent_at_.size()) < depth_ : next_tag_ % cycle != 0) {
      outgoing_ += std::to_string(next_tag_);
      outgoing_ += tails_[static_cast<std::size_t>(next_tag_ % cycle)];
      ++next_tag_;
      sent_at_.push_back(now);
    }
    write();
  }

  void write() {
    if (writing_ || outgoing_.empty() || closed_) return;
    writing_ = true;
    in_flight_.swap(outgoing_);
    outgoing_.clear();
    asio::async_write(socket_, asio::buffer(in_flight_), [self = shared_from_this()](const error_code& ec, std::size_t) {
      self->writing_ = false;
      if (ec) return self->fail();
      self->write();
    });
  }

  void read() {
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](const error_code& ec, std::size_t n) {
      if (self->closed_) return;
      if (ec) return self->fail();
      self->reader_.data_received(self->buffer_.data(), n);
      self->top_up();  // one write for all the commands this read's replies made room for
      if (!self->closed_) self->read();
    });
  }

  void on_reply(const std::vector<std::string>& fields) {
    talk_load_result& totals = state_.result;
    if (sent_at_.empty()) {
      ++totals.out_of_order;
      return;
    }
    const auto now = clock::now();
    if (fields.empty() || fields[0] != std::to_string(answered_)) ++totals.out_of_order;
    if (fields.size() < 2 || fields[1] != "ok") ++totals.error_replies;
    if (now <= state_.window_end) {
      ++totals.answered;
      totals.latencies_us.push_back(std::chrono::duration<double, std::micro>(now - sent_at_.front()).count());
    }
    sent_at_.pop_front();
    ++answered_;
  }

  void fail() {
    if (closed_) return;
    ++state_.result.connections_lost;
    close();
  }

  tcp::socket socket_;
  const int depth_;
  load_state& state_;
  std::vector<std::string> tails_;
  std::int64_t next_tag_ = 0;
  std::int64_t answered_ = 0;
  std::deque<clock::time_point> sent_at_;
  bool writing_ = false;
  bool closed_ = false;
  std::string outgoing_;
  std::string in_flight_;
  std::array<char, 65536> buffer_;
  reply_reader reader_;
};

}  // namespace

talk_load_result run_talk_load(const tcp::endpoint& service,
                               const std::vector<std::vector<std::vector<std::string>>>& cycles, int depth,
                               std::chrono::milliseconds duration) {
  asio::io_context io;
  load_state state;
  std::vector<std::shared_ptr<talk_connection>> connections;
  for (const auto& cycle : cycles) connections.push_back(std::make_shared<talk_connection>(io, cycle, depth, state));

  const auto start = clock::now();
  state.window_end = start + duration;
  for (const auto& c : connections) c->start(service);
  io.run_until(state.window_end);
  state.sending = false;
  state.result.seconds = std::chrono::duration<double>(clock::now() - start).count();

  // Replies still due are checked, not timed: a reply that never comes is a fault too.
  const auto drain_end = clock::now() + std::chrono::seconds(5);
  auto all_done = [&] {
    for (const auto& c : connections)
      if (!c->done()) return false;
    return true;
  };
  while (!all_done() && clock::now() < drain_end) io.run_for(std::chrono::milliseconds(10));
  for (const auto& c : connections) c->close();
  io.run();

  std::sort(state.result.latencies_us.begin(), state.result.latencies_us.end());
  return std::move(state.result);
}

}  // namespace orv::bench
