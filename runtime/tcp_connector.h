#pragma once

#include <memory>
#include <string>

#include "runtime/asyncore.h"
#include "runtime/protocol.h"

namespace vorn {

// An outgoing connection and its attempts. Dropping the last handle closes the connection
// and cancels any pending attempt; the factory is not told.
class connector {
 public:
  virtual ~connector() = default;
  virtual bool is_connected() const = 0;
  // Starts a new attempt after the pacing delay. Ignored while an attempt is pending or a
  // connection is up. The first delay is 100 ms, doubling up to 5 s; a connection that
  // stays up 10 s resets it.
  virtual void connect() = 0;
};

// Resolves host and port (a number or a service name) off the loop thread and connects
// at once. An empty host or the port "0" fails like an unreachable address. Failures and
// losses go to the factory's connection_failed and connection_lost.
std::shared_ptr<connector> connect_tcp(asyncore& core, std::shared_ptr<client_factory_interface> factory,
                                       const std::string& host, const std::string& port);

}  // namespace vorn
