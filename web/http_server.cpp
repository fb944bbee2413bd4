#include "web/http_server.h"

#include <deque>

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

namespace orv::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

struct http_server::shared {
  shared(asio::io_context& io, server_limits l, access_rules a, bridge& b, const site_files& f)
      : io(io), acceptor(io), backoff(io), limits(l), access(std::move(a)), bridge_(b), files(f) {}

  asio::io_context& io;
  tcp::acceptor acceptor;
  asio::steady_timer backoff;
  server_limits limits;
  access_rules access;
  bridge& bridge_;
  const site_files& files;
  std::size_t clients = 0;
  bool open = true;
};

namespace {

using shared = http_server::shared;

// Holds one place among max_clients for as long as a connection lives.
struct client_slot {
  explicit client_slot(std::shared_ptr<shared> s) : server(std::move(s)) { ++server->clients; }
  ~client_slot() { --server->clients; }
  client_slot(const client_slot&) = delete;
  client_slot& operator=(const client_slot&) = delete;
  std::shared_ptr<shared> server;
};

const char* const content_security_policy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; font-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string percent_decoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() + 0 && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i] == '+' ? ' ' : text[i];
    }
  }
  return out;
}

struct target {
  std::string path;  // still encoded: a ticker name may hold "/"
  std::string query;

  explicit target(std::string_view t) {
    const auto q = t.find('?');
    path = std::string(t.substr(0, q));
    if (q != std::string_view::npos) query = std::string(t.substr(q + 1));
  }
  std::string param(std::string_view name) const {
    std::string_view rest = query;
    while (!rest.empty()) {
      const auto amp = rest.find('&');
      const auto pair = rest.substr(0, amp);
      const auto eq = pair.find('=');
      if (pair.substr(0, eq) == name) return eq == std::string_view::npos ? "" : percent_decoded(pair.substr(eq + 1));
      if (amp == std::string_view::npos) break;
      rest.remove_prefix(amp + 1);
    }
    return {};
  }
  // The decoded rest of the path after prefix, when the path starts with it and has a rest.
  std::optional<std::string> after(std::string_view prefix) const {
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    return percent_decoded(std::string_view(path).substr(prefix.size()));
  }
};

bool same_secret(const std::string& given, const std::string& secret) {
  unsigned char differ = given.size() != secret.size();
  for (std::size_t i = 0; i < given.size() && i < secret.size(); ++i) differ |= given[i] ^ secret[i];
  return differ == 0;
}

class ws_session : public page_client, public std::enable_shared_from_this<ws_session> {
 public:
  enum class kind { index, monitor, render };

  ws_session(tcp::socket socket, std::shared_ptr<shared> server, kind k, std::string ticker, bool may_act)
      : ws_(std::move(socket)), slot_(server), server_(std::move(server)), kind_(k), ticker_(std::move(ticker)),
        may_act_(may_act) {}
  ~ws_session() override {
    if (server_->open) server_->bridge_.leave(this);
  }

  void start(http::request<http::string_body> request) {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.read_message_max(server_->limits.max_ws_message);
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->joined();
    });
  }

  void send(const std::string& json) override {
    if (closing_) return;
    unsent_ += json.size();
    if (unsent_ > server_->limits.max_unsent) {
      // A page that stopped reading is dropped, never buffered without bound.
      closing_ = true;
      beast::get_lowest_layer(ws_).close();
      return;
    }
    queue_.push_back(json);
    if (queue_.size() == 1) write_next();
  }
  void refuse(const std::string& json) override {
    send(json);
    close_when_sent_ = true;
  }
  bool may_act() const override { return may_act_; }

 private:
  void joined() {
    auto self = shared_from_this();
    switch (kind_) {
      case kind::index: server_->bridge_.watch_index(self); break;
      case kind::monitor: server_->bridge_.watch_ticker(ticker_, self); break;
      case kind::render:
        if (!may_act_) {
          refuse(R"({"type":"refused","reason":"This render page needs the bridge's token."})");
          return;
        }
        if (!server_->bridge_.claim_render(ticker_, self)) {
          refuse(R"({"type":"refused","reason":"This ticker already has a render page: a second one would split its elements with it."})");
          return;
        }
        break;
    }
    read_next();
  }

  void read_next() {
    ws_.async_read(in_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return;
      self->received(beast::buffers_to_string(self->in_.data()));
      self->in_.consume(self->in_.size());
      self->read_next();
    });
  }

  void received(const std::string& text) {
    if (kind_ == kind::render) {
      if (text == "next") server_->bridge_.pull(ticker_);
      return;
    }
    if (auto request = parse_page_request(text))
      server_->bridge_.act(shared_from_this(), kind_ == kind::index ? "" : ticker_, *request);
  }

  void write_next() {
    ws_.text(true);
    ws_.async_write(asio::buffer(queue_.front()), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return;
      self->unsent_ -= self->queue_.front().size();
      self->queue_.pop_front();
      if (!self->queue_.empty())
        self->write_next();
      else if (self->close_when_sent_)
        self->ws_.async_close(websocket::close_code::policy_error, [self](beast::error_code) {});
    });
  }

  websocket::stream<beast::tcp_stream> ws_;
  client_slot slot_;
  std::shared_ptr<shared> server_;
  kind kind_;
  std::string ticker_;
  bool may_act_;
  beast::flat_buffer in_;
  std::deque<std::string> queue_;
  std::size_t unsent_ = 0;
  bool closing_ = false;
  bool close_when_sent_ = false;
};

class http_session : public std::enable_shared_from_this<http_session> {
 public:
  http_session(tcp::socket socket, std::shared_ptr<shared> server)
      : stream_(std::move(socket)), slot_(std::make_unique<client_slot>(server)), server_(std::move(server)),
        buffer_(server_->limits.max_header + server_->limits.max_body) {}

  void read_next() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_->limits.max_header));
    parser_->body_limit(server_->limits.max_body);
    stream_.expires_after(server_->limits.idle);
    http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      self->received(ec);
    });
  }

 private:
  void received(beast::error_code ec) {
    if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted ||
        ec == asio::error::connection_reset)
      return;
    if (ec == http::error::header_limit) return fail(http::status::request_header_fields_too_large, "headers too large");
    if (ec == http::error::body_limit || ec == http::error::buffer_overflow)
      return fail(http::status::payload_too_large, "request too large");
    if (ec) return fail(http::status::bad_request, "malformed request");
    handle(parser_->release());
  }

  void fail(http::status status, const std::string& why) {
    http::request<http::string_body> none;
    respond(none, status, "text/plain; charset=utf-8", why + "\n", false);
  }

  void handle(http::request<http::string_body> request) {
    const target t(std::string_view(request.target().data(), request.target().size()));
    const auto& access = server_->access;
    const bool shows_token = access.token.empty() || same_secret(t.param("token"), access.token);
    if (websocket::is_upgrade(request)) return upgrade(std::move(request), t, shows_token);
    if (request.method() != http::verb::get && request.method() != http::verb::head)
      return respond(request, http::status::method_not_allowed, "text/plain; charset=utf-8", "GET only\n");
    const site_file* file = nullptr;
    bool page = true;
    if (t.path == "/") file = server_->files.built_in("index.html");
    else if (t.after("/ticker/")) file = server_->files.built_in("ticker.html");
    else if (t.after("/render/")) {
      const std::string chosen = t.param("template");
      file = chosen.empty() ? server_->files.built_in("render.html") : server_->files.template_file(chosen + ".html");
    } else if (auto name = t.after("/static/")) {
      file = server_->files.built_in(*name);
      page = false;
    } else if (auto name = t.after("/templates/")) {
      file = server_->files.template_file(*name);
      page = false;
    }
    if (!file) return respond(request, http::status::not_found, "text/plain; charset=utf-8", "not found\n");
    // Scripts and styles are code anyone may read; the pages and their state follow the token.
    if (page && access.token_for_reads && !shows_token)
      return respond(request, http::status::unauthorized, "text/plain; charset=utf-8", "token required\n");
    respond(request, http::status::ok, file->content_type, file->body);
  }

  void upgrade(http::request<http::string_body> request, const target& t, bool shows_token) {
    // A page of another site must not drive this one through the visitor's browser.
    const auto origin = request[http::field::origin];
    if (!origin.empty() && origin != "http://" + std::string(request[http::field::host]))
      return respond(request, http::status::forbidden, "text/plain; charset=utf-8", "origin refused\n", false);
    if (server_->access.token_for_reads && !shows_token)
      return respond(request, http::status::unauthorized, "text/plain; charset=utf-8", "token required\n", false);
    ws_session::kind kind;
    std::string ticker;
    if (t.path == "/ws/index") kind = ws_session::kind::index;
    else if (auto name = t.after("/ws/monitor/")) kind = ws_session::kind::monitor, ticker = *name;
    else if (auto name = t.after("/ws/render/")) kind = ws_session::kind::render, ticker = *name;
    else return respond(request, http::status::not_found, "text/plain; charset=utf-8", "not found\n", false);
    stream_.expires_never();
    slot_.reset();  // the WebSocket takes its own place
    std::make_shared<ws_session>(stream_.release_socket(), server_, kind, ticker, shows_token)
        ->start(std::move(request));
  }

  void respond(const http::request<http::string_body>& request, http::status status, const std::string& type,
               const std::string& body, bool keep_alive = true) {
    auto response = std::make_shared<http::response<http::string_body>>(status, 11);
    response->set(http::field::server, "orv_ticker_web");
    response->set(http::field::content_type, type);
    response->set(http::field::cache_control, "no-cache");
    response->set("Content-Security-Policy", content_security_policy);
    response->set("X-Content-Type-Options", "nosniff");
    response->set("Referrer-Policy", "no-referrer");  // page addresses may hold the token
    response->keep_alive(keep_alive && request.keep_alive());
    if (request.method() != http::verb::head) response->body() = body;
    response->prepare_payload();
    if (request.method() == http::verb::head) response->content_length(body.size());
    http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
      if (ec) return;
      if (response->keep_alive())
        self->read_next();
      else
        self->stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    });
  }

  beast::tcp_stream stream_;
  std::unique_ptr<client_slot> slot_;
  std::shared_ptr<shared> server_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

http_server::http_server(asio::io_context& io, const tcp::endpoint& where, server_limits limits, access_rules access,
                         bridge& bridge, const site_files& files)
    : shared_(std::make_shared<shared>(io, limits, std::move(access), bridge, files)) {
  auto& acceptor = shared_->acceptor;
  acceptor.open(where.protocol());
  acceptor.set_option(tcp::acceptor::reuse_address(true));
  acceptor.bind(where);
  acceptor.listen();
  accept();
}

http_server::~http_server() {
  shared_->open = false;
  boost::system::error_code ignored;
  shared_->acceptor.close(ignored);
  shared_->backoff.cancel();
}

unsigned short http_server::port() const { return shared_->acceptor.local_endpoint().port(); }

void http_server::accept() {
  shared_->acceptor.async_accept([s = shared_, this](beast::error_code ec, tcp::socket socket) {
    if (!s->open) return;
    if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space || ec == asio::error::no_memory) {
      // Out of descriptors: wait before accepting again instead of spinning on the error.
      s->backoff.expires_after(std::chrono::milliseconds(100));
      s->backoff.async_wait([s, this](beast::error_code e) {
        if (!e && s->open) accept();
      });
      return;
    }
    if (!ec) {
      if (s->clients >= s->limits.max_clients) {
        socket.close(ec);
      } else {
        socket.set_option(tcp::no_delay(true), ec);
        std::make_shared<http_session>(std::move(socket), s)->read_next();
      }
    }
    accept();
  });
}

}  // namespace orv::web
