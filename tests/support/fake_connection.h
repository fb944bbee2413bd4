#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/plaintalk.h"
#include "runtime/protocol.h"

namespace orv::testing {

// Stands in for a TCP connection: remembers what the protocol wrote and whether it closed.
struct fake_transport : vorn::transport {
  bool write(std::string_view bytes) override {
    if (open) written += bytes;
    return open;
  }
  void close(std::string_view) override { open = false; }
  bool is_open() const override { return open; }

  bool open = true;
  std::string written;
};

// The messages in bytes, cut by the library's own framing.
inline std::vector<std::vector<std::string>> parse_messages(std::string_view bytes) {
  struct collector : vorn::plaintalk_protocol {
    collector() : vorn::plaintalk_protocol(nullptr) { attach_transport(wire); }
    ~collector() override { detach_transport(); }
    void connection_made() override { install_message_parser(std::make_shared<vorn::message_accumulator>(*this)); }
    void message_received(const std::vector<std::string>& fields) override { messages.push_back(fields); }
    fake_transport wire;
    std::vector<std::vector<std::string>> messages;
  } parser;
  parser.data_received(bytes.data(), bytes.size());
  return parser.messages;
}

// One protocol from a factory, attached to a fake transport.
class fake_connection {
 public:
  explicit fake_connection(vorn::protocol_factory_interface& factory) : protocol_(factory.create_protocol()) {
    protocol_->attach_transport(wire);
  }
  ~fake_connection() {
    if (protocol_) protocol_->detach_transport();
  }

  // Hands the bytes over turn after turn, as a TCP connection does, until all are taken.
  void receive(std::string_view bytes) {
    while ((!bytes.empty() || protocol_->has_work_left()) && wire.open) bytes = turn(bytes);
  }
  // One turn: what the protocol leaves of bytes, for a later turn.
  std::string_view turn(std::string_view bytes) {
    return bytes.substr(std::min(bytes.size(), protocol_->data_received(bytes.data(), bytes.size())));
  }
  bool has_work_left() const { return protocol_->has_work_left(); }
  std::size_t held_input() const { return protocol_->held_input(); }
  // Everything written since the last call, as messages.
  std::vector<std::vector<std::string>> sent() {
    auto messages = parse_messages(wire.written);
    wire.written.clear();
    return messages;
  }
  // Drops this side's handle, as the library does when the connection is gone.
  void release() {
    protocol_->detach_transport();
    protocol_.reset();
  }

  fake_transport wire;

 private:
  std::shared_ptr<vorn::base_protocol> protocol_;
};

}  // namespace orv::testing
