#include "runtime/protocol.h"

#include <algorithm>
#include <cstring>

namespace vorn {

void receive_buffer::consume(std::size_t n) {
  read_ += std::min(n, fill_ - read_);
  if (read_ == fill_) read_ = fill_ = 0;
}

void receive_buffer::append(const char* data, std::size_t length) {
  if (length == 0) return;  // an empty, never-filled buffer has no storage to copy into
  if (fill_ + length > capacity_) {
    const std::size_t unread = fill_ - read_;
    if (unread + length <= capacity_) {
      compact();
    } else {
      // Only the unread bytes move, and the new block is not cleared first: growing a
      // buffer of many megabytes is one copy, not three passes.
      const std::size_t grown = std::max(capacity_ * 2, unread + length);
      auto bigger = std::make_unique_for_overwrite<char[]>(grown);
      if (unread > 0) std::memcpy(bigger.get(), bytes_.get() + read_, unread);
      bytes_ = std::move(bigger);
      capacity_ = grown;
      read_ = 0;
      fill_ = unread;
    }
  }
  std::memcpy(bytes_.get() + fill_, data, length);
  fill_ += length;
}

void receive_buffer::compact() {
  if (read_ == 0) return;
  std::memmove(bytes_.get(), bytes_.get() + read_, fill_ - read_);
  fill_ -= read_;
  read_ = 0;
}

std::size_t base_protocol::data_received(const char* data, std::size_t length) {
  if (buffer_.unread().size() + length > max_buffered_input) {
    close_connection("more than 16 MiB of unprocessed input");
    return length;
  }
  buffer_.append(data, length);
  received_data_added_to_buffer();
  return length;
}

bool base_protocol::write(std::string_view bytes) { return has_transport() && transport_->write(bytes); }

bool base_protocol::write_parts(std::vector<std::string>&& parts) {
  return has_transport() && transport_->write_parts(std::move(parts));
}

bool base_protocol::has_transport() const { return transport_ && transport_->is_open(); }

void base_protocol::close_connection(std::string_view reason) {
  if (has_transport()) transport_->close(reason);
}

void base_protocol::attach_transport(transport& t) {
  transport_ = &t;
  connection_made();
}

void base_protocol::detach_transport() {
  if (!transport_) return;
  transport_ = nullptr;
  connection_lost();
}

}  // namespace vorn
