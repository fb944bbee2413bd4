#pragma once

#include <memory>

#include "runtime/asyncore.h"
#include "runtime/protocol.h"

namespace vorn {

// Accepts connections on every IPv4 address and gives each a protocol from its factory.
// It stays registered with the event loop until close() or the loop's end, whether or not
// anyone keeps the handle.
class tcp_listener {
 public:
  virtual ~tcp_listener() = default;
  // The bound port; the one the system chose when listening on port 0.
  virtual int port() const = 0;
  // Stops accepting; connections already accepted go on.
  virtual void close() = 0;
};

// Throws std::runtime_error naming the port and the system error when binding fails.
std::shared_ptr<tcp_listener> listen_tcp(asyncore& core, int port,
                                         std::shared_ptr<protocol_factory_interface> factory);

}  // namespace vorn
