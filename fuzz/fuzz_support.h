#pragma once

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/logger_base.h"
#include "runtime/plaintalk.h"
#include "runtime/protocol.h"
#include "tests/support/fake_connection.h"

namespace orv::fuzz {

// Accepts every level, so that each log statement is built, and keeps nothing.
class discarding_logger : public vorn::logger_base {
 public:
  bool should_log(int) const override { return true; }
  std::shared_ptr<vorn::logger_base> create_sublogger(const std::string&, int) override {
    return std::make_shared<discarding_logger>();
  }

 protected:
  void write_message(int, const std::string&) override {}
};

// Stands in for a connection: keeps what was written until it is closed.
using memory_transport = orv::testing::fake_transport;

// The messages in bytes as the library's framing cuts them, and whether it gave up.
struct framed {
  std::vector<std::vector<std::string>> messages;
  bool broken = false;
  std::string refused_tag;  // the broken message's tag, when it was complete
};

// Feeds bytes through the framing in chunks no longer than max_chunk (0: all at once).
inline framed frame(std::string_view bytes, std::size_t max_chunk = 0) {
  struct collector : vorn::plaintalk_protocol {
    collector() : vorn::plaintalk_protocol(nullptr) { attach_transport(wire); }
    ~collector() override { detach_transport(); }
    void connection_made() override { install_message_parser(std::make_shared<vorn::message_accumulator>(*this)); }
    void message_received(const std::vector<std::string>& fields) override { result.messages.push_back(fields); }
    void framing_refused(std::string_view tag, std::string_view) override { result.refused_tag = tag; }
    memory_transport wire;
    framed result;
  } parser;
  const std::size_t step = max_chunk ? max_chunk : bytes.size();
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    const std::string_view chunk = bytes.substr(at, step);
    parser.data_received(chunk.data(), chunk.size());
  }
  parser.result.broken = !parser.wire.open;
  return parser.result;
}

// Parsers report malformed documents on standard error; at thousands of inputs a second
// that is only noise. A stream without buffer writes nothing.
inline void quiet_cerr() { std::cerr.rdbuf(nullptr); }

// A broken invariant: report and abort, so that the fuzzer keeps the input.
inline void require(bool holds, const char* invariant) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", invariant);
  std::abort();
}

}  // namespace orv::fuzz
