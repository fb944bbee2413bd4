#include "runtime/tcp_connection.h"

#include <algorithm>
#include <array>
#include <exception>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "runtime/buffer_release.h"
#include "runtime/descriptor_shortage.h"
#include "runtime/loop_turns.h"

namespace vorn::detail {

namespace {

constexpr std::size_t coalesce_limit = 64 * 1024;

// What the system holds of a connection's output. Closing frees it in one go, so a peer that
// stopped reading must not leave the system's own growth of several megabytes there (about
// 0.45 ms to free 4 MiB): the system doubles this, and the rest waits in our queue, which is
// let go over turns. Half a mebibyte in flight still fills any local network.
constexpr int kernel_send_buffer = 256 * 1024;

// The backlog of a peer that is behind goes in blocks the allocator maps apart: it may grow to
// megabytes, and in the shared heap it would leave free pages behind that only a trim of the
// whole heap gives back. A peer that keeps up gets small entries from the heap, as they come
// and go within a turn.
constexpr std::size_t backlog_block = 128 * 1024;

std::string describe(const boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code ec;
  auto peer = socket.remote_endpoint(ec);
  return ec ? std::string("an unknown peer") : peer.address().to_string() + ":" + std::to_string(peer.port());
}

}  // namespace

tcp_connection::tcp_connection(boost::asio::ip::tcp::socket socket, std::shared_ptr<base_protocol> protocol,
                               std::shared_ptr<logger_base> logger, closed_callback on_closed,
                               memory_budget* budget)
    : socket_(std::move(socket)),
      protocol_(std::move(protocol)),
      logger_(std::move(logger)),
      on_closed_(std::move(on_closed)),
      budget_(budget),
      peer_(describe(socket_)) {
  boost::system::error_code ignored;
  socket_.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
  socket_.set_option(boost::asio::socket_base::send_buffer_size(kernel_send_buffer), ignored);
  socket_.non_blocking(true, ignored);
}

tcp_connection::~tcp_connection() {
  // Only reached with a protocol when the event loop is torn down with this pending.
  if (budget_) budget_->withdraw(*this);
  if (auto p = std::move(protocol_)) p->detach_transport();
}

void tcp_connection::start() {
  log_line(logger_, 50, "Connected to " + peer_);
  try {
    protocol_->attach_transport(*this);
  } catch (const std::exception& e) {
    close(std::string("protocol failed: ") + e.what());
  }
  if (open_) read_next();
}

// Reads into the connection's own small inbox: the request stays queued with the reactor, so
// waiting for the next input costs no system call (a readiness wait would re-arm the
// descriptor each time). A read that fills the inbox goes on into the loop's larger chunk.
void tcp_connection::read_next() {
  socket_.async_read_some(boost::asio::buffer(inbox_),
                          [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
                            self->on_read(ec, n);
                          });
}

void tcp_connection::on_read(const boost::system::error_code& ec, std::size_t n) {
  if (!open_) return;
  loop_turns::name(protocol_->kind(), "read");
  if (ec == boost::asio::error::eof) {
    // Everything before the end was handed over already; what it asked for still leaves.
    input_ended_ = true;
    if (queue_.empty()) shut("closed by the peer", 50);
    return;
  }
  if (ec) {
    shut(ec.message(), 50);
    return;
  }
  if (n < inbox_.size()) {
    hand_over(std::string_view(inbox_.data(), n));
    return;
  }
  // Shared by every connection of the loop's thread: it is filled and handed to one
  // protocol at a time, and whatever the protocol leaves is copied out before returning.
  thread_local std::array<char, 65536> chunk;
  std::copy(inbox_.begin(), inbox_.end(), chunk.begin());
  boost::system::error_code more_error;
  const std::size_t more = socket_.read_some(boost::asio::buffer(chunk.data() + n, chunk.size() - n), more_error);
  // An end or error after these bytes shows at the next read.
  hand_over(std::string_view(chunk.data(), n + (more_error ? 0 : more)));
}

// When the protocol yields part way, the rest waits behind the handlers already queued,
// and nothing new is read until it is used up.
void tcp_connection::hand_over(std::string_view bytes) {
  auto keep = protocol_;
  std::size_t taken = bytes.size();
  // What the protocol writes during its turn leaves in one send at the end of it.
  in_turn_ = true;
  try {
    taken = keep->data_received(bytes.data(), bytes.size());
  } catch (const std::exception& e) {
    close(std::string("protocol failed: ") + e.what());
  }
  in_turn_ = false;
  if (!open_) return;
  if (in_flight_ == 0 && !queue_.empty()) write_queued();
  bytes.remove_prefix(std::min(taken, bytes.size()));
  if (bytes.empty() && !keep->has_work_left()) {
    account();
    if (open_) read_next();
    return;
  }
  held_back_.assign(bytes);
  account();
  if (!open_) return;
  boost::asio::post(socket_.get_executor(), [self = shared_from_this()] {
    if (!self->open_) return;
    loop_turns::name(self->protocol_->kind(), "read");
    const std::string rest = std::move(self->held_back_);
    self->hand_over(rest);
  });
}

bool tcp_connection::write(std::string_view bytes) {
  if (!open_) return false;
  if (bytes.empty()) return true;
  if (!room_for(bytes.size())) return false;
  queue(bytes);
  return queued(bytes.size());
}

bool tcp_connection::write_parts(std::vector<std::string>&& parts) {
  if (!open_) return false;
  std::size_t total = 0;
  for (const std::string& part : parts) total += part.size();
  if (!room_for(total)) return false;
  for (std::string& part : parts) {
    if (part.empty()) continue;
    if (part.size() < coalesce_limit)
      queue(part);
    else
      queue_.push_back(std::move(part));
  }
  return queued(total);
}

// A single large write to an idle connection is fine; a backlog that keeps growing means
// the peer is not reading.
bool tcp_connection::room_for(std::size_t bytes) {
  if (unsent_ == 0 || unsent_ + bytes <= protocol_->max_unsent_output()) return true;
  close("peer is not reading: " + std::to_string(unsent_) + " bytes unsent, the limit is " +
        std::to_string(protocol_->max_unsent_output()));
  return false;
}

// Small writes of one turn join the last entry not yet handed to the socket.
void tcp_connection::queue(std::string_view bytes) {
  if (queue_.size() > in_flight_ && (queue_.back().size() < coalesce_limit ||
                                     queue_.back().size() + bytes.size() <= queue_.back().capacity()))
    queue_.back() += bytes;
  else
    queue_.push_back(queue_entry(bytes));
}

bool tcp_connection::queued(std::size_t bytes) {
  unsent_ += bytes;
  // Within the connection's own turn the budget hears of it once, when the turn ends.
  if (in_turn_) return true;
  if (in_flight_ == 0) flush_later();
  account();
  return open_;
}

std::string tcp_connection::queue_entry(std::string_view bytes) const {
  if (unsent_ < coalesce_limit) return std::string(bytes);
  std::string entry;
  entry.reserve(std::max(backlog_block, bytes.size()));
  entry.assign(bytes);
  return entry;
}

// A write from outside this connection's turn (an event sent to every client, say) leaves
// in a handler of its own: the caller's turn stays as short as a copy however many
// connections it writes to, and what it writes to one connection meanwhile joins one send.
void tcp_connection::flush_later() {
  if (flush_posted_) return;
  flush_posted_ = true;
  boost::asio::post(socket_.get_executor(), [self = shared_from_this()] {
    self->flush_posted_ = false;
    if (!self->open_ || self->in_flight_ != 0 || self->queue_.empty()) return;
    loop_turns::name(self->protocol_->kind(), "write");
    self->write_queued();
  });
}

// About a mebibyte a send: the entries it took are freed together once it completes, and
// blocks mapped apart go back to the system one unmapping each.
std::vector<boost::asio::const_buffer> tcp_connection::gathered() const {
  std::vector<boost::asio::const_buffer> buffers;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < queue_.size() && i < 64 && bytes < (std::size_t{1} << 20); ++i) {
    buffers.push_back(boost::asio::buffer(queue_[i]));
    bytes += queue_[i].size();
  }
  return buffers;
}

void tcp_connection::write_queued() {
  const auto buffers = gathered();
  in_flight_ = buffers.size();
  boost::asio::async_write(socket_, buffers,
                           [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
                             self->on_written(ec, n);
                           });
}

void tcp_connection::on_written(const boost::system::error_code& ec, std::size_t n) {
  if (!open_) return;
  loop_turns::name(protocol_->kind(), "write");
  if (ec) {
    shut(ec.message(), 50);
    return;
  }
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(in_flight_));
  in_flight_ = 0;
  unsent_ -= n;
  account();
  if (!queue_.empty())
    write_queued();
  else if (input_ended_)
    shut("closed by the peer", 50);
}

// Told to the budget only when it changed: most turns end holding what they started with.
void tcp_connection::account() {
  if (!budget_ || !open_) return;
  const std::size_t held = protocol_->held_input() + held_back_.size() + unsent_;
  if (held == accounted_) return;
  accounted_ = held;
  budget_->update(*this, held);
}

void tcp_connection::close(std::string_view reason) { shut(std::string(reason), 20); }

void tcp_connection::shut(const std::string& reason, int level) {
  if (!open_) return;
  open_ = false;
  if (budget_) budget_->withdraw(*this);
  log_line(logger_, reason.empty() ? 50 : level,
           "Connection with " + peer_ + " closed" + (reason.empty() ? "" : ": " + reason));
  boost::system::error_code ignored;
  // Replies written in the turn that closes (say, before a malformed message) still go,
  // as far as the socket takes them without waiting.
  if (in_flight_ == 0 && !queue_.empty()) socket_.write_some(gathered(), ignored);
  socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  descriptor_shortage::of(socket_.get_executor()).released();
  boost::asio::post(socket_.get_executor(), [self = shared_from_this(), reason] { self->finish(reason); });
}

void tcp_connection::finish(const std::string& reason) {
  loop_turns::name(protocol_->kind(), "close");
  auto protocol = std::move(protocol_);
  auto on_closed = std::move(on_closed_);
  try {
    protocol->detach_transport();
  } catch (const std::exception& e) {
    log_line(logger_, 20, std::string("Protocol failed while closing: ") + e.what());
  }
  // Output a peer never read may be megabytes: it goes too, a part per turn.
  std::deque<std::string> unsent;
  unsent.swap(queue_);
  release_in_turns(std::move(protocol), std::move(unsent), socket_.get_executor());
  if (on_closed) on_closed(reason.empty() ? "connection closed" : reason);
}

// Each part in a turn of its own, the first after the one that closed: what the allocator
// gives back to the system when a large buffer goes can take a fraction of a millisecond.
void tcp_connection::release_in_turns(std::shared_ptr<base_protocol> protocol, std::deque<std::string> unsent,
                                      const executor& on) {
  boost::asio::post(on, [protocol = std::move(protocol), unsent = std::move(unsent), on]() mutable {
    loop_turns::name("connection", "close");
    constexpr std::size_t bytes_per_turn = std::size_t{256} << 10;
    for (std::size_t freed = 0; !unsent.empty() && freed < bytes_per_turn; unsent.pop_front()) {
      if (release_tail(unsent.front(), bytes_per_turn)) break;  // one big reply: its tail this turn
      freed += unsent.front().size();
    }
    if (protocol && !protocol->release_some()) protocol.reset();
    if (protocol || !unsent.empty()) release_in_turns(std::move(protocol), std::move(unsent), on);
  });
}

}  // namespace vorn::detail
