#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "web/bridge.h"
#include "web/site_files.h"

namespace orv::web {

struct server_limits {
  std::size_t max_clients = 512;                    // HTTP and WebSocket connections together
  std::size_t max_header = 8192;                    // request line and headers
  std::size_t max_body = 16384;                     // the pages send no bodies
  std::size_t max_ws_message = 65536;               // one request of a page
  std::size_t max_unsent = std::size_t{1} << 20;    // past this a page counts as not reading
  std::chrono::seconds idle{30};                    // an HTTP connection without a request
};

struct access_rules {
  std::string token;           // empty: anyone may act
  bool token_for_reads = false;  // pages and their live state need the token too
};

// The pages and their WebSockets on one address, all on the loop of io.
class http_server {
 public:
  // Throws boost::system::system_error when the address cannot be bound.
  http_server(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& where, server_limits limits,
              access_rules access, bridge& bridge, const site_files& files);
  ~http_server();
  unsigned short port() const;

  struct shared;

 private:
  void accept();

  std::shared_ptr<shared> shared_;
};

}  // namespace orv::web
