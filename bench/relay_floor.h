#pragma once

// The floor under any bridge on this machine: a page's round trip (a small request over TCP,
// a reply of an element's size back) through a process that does nothing but relay it to an
// echo over a local socket, beside the same echo asked directly. The difference is what the
// extra process and its two sockets cost, whatever the bridge computes.

#include <cstddef>
#include <memory>

#include "bench/round_trips.h"

namespace orv::bench {

class relay_floor {
 public:
  // Starts the echoes and the relay; ready() is false when one could not be set up.
  explicit relay_floor(std::size_t reply_size);
  ~relay_floor();
  relay_floor(const relay_floor&) = delete;
  relay_floor& operator=(const relay_floor&) = delete;

  bool ready() const;
  bool echo_round_trip();
  bool relayed_round_trip();

 private:
  struct parts;
  std::unique_ptr<parts> parts_;
};

}  // namespace orv::bench
