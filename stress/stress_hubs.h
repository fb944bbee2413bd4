#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>

namespace orv::stress {

// Feed hubs that misbehave, on loopback ports of their own.
enum class hub_kind {
  silent,    // accepts and never says a word
  flapping,  // answers with one document, then hangs up; again at every reconnection
  endless,   // starts a document and never ends it
  large,     // sends a whole document of 1 MiB (5,000 securities) every half second
};

struct hub_totals {
  int connections = 0;
  std::int64_t bytes_sent = 0;
};

class fault_hub {
 public:
  fault_hub(boost::asio::io_context& io, hub_kind kind);
  ~fault_hub();
  std::uint16_t port() const;
  const hub_totals& totals() const;
  // Off: hangs up on every subscriber and on each one that connects, until on again.
  void serve(bool on);
  // Closes the listening socket and every connection.
  void stop();

 private:
  struct state;
  std::shared_ptr<state> state_;
};

}  // namespace orv::stress
