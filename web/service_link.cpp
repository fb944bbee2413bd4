#include "web/service_link.h"

#include "runtime/plaintalk.h"

namespace orv::web {

class service_link::protocol : public vorn::plaintalk_protocol {
 public:
  explicit protocol(service_link& link) : vorn::plaintalk_protocol(nullptr), link_(link.weak_from_this()) {}

  void connection_made() override {
    install_message_parser(std::make_shared<vorn::message_accumulator>(*this));
    write("0 protocol tickertalk\r\n");
    if (auto link = link_.lock(); link && link->on_connection) link->on_connection(true);
  }
  void message_received(const std::vector<std::string>& message) override {
    if (auto link = link_.lock()) link->received(message);
  }

 private:
  std::weak_ptr<service_link> link_;
};

service_link::service_link(vorn::asyncore& loop, std::shared_ptr<vorn::logger_base> logger, std::string host,
                           std::string port)
    : vorn::client_factory_base(std::move(logger)), loop_(loop), host_(std::move(host)), port_(std::move(port)) {}

void service_link::start() { connector_ = vorn::connect_tcp(loop_, shared_from_this(), host_, port_); }

std::shared_ptr<vorn::base_protocol> service_link::create_protocol() {
  auto p = std::make_shared<protocol>(*this);
  protocol_ = p;
  return p;
}

void service_link::connection_failed(const std::shared_ptr<vorn::connector>& c, const std::string&) { c->connect(); }

void service_link::connection_lost(const std::shared_ptr<vorn::connector>& c, const std::string&) {
  protocol_.reset();
  fail_open_requests();
  if (on_connection) on_connection(false);
  c->connect();
}

void service_link::fail_open_requests() {
  auto open = std::move(open_);
  open_.clear();
  for (auto& [tag, handler] : open) handler({});
}

void service_link::request(const fields& request, reply_handler handler) {
  auto p = protocol_.lock();
  if (!p || open_.size() >= max_open_requests) {
    handler({});
    return;
  }
  vorn::message m;
  const std::string tag = std::to_string(next_tag_++);
  m.start(tag);
  for (const auto& f : request) m.add_field(f);
  m.end_line();
  if (!p->write(m.text())) {
    handler({});
    return;
  }
  open_.emplace_back(tag, std::move(handler));
}

void service_link::received(const fields& message) {
  if (message.empty()) return;
  if (message[0] == "*") {
    if (on_event) on_event(fields(message.begin() + 1, message.end()));
    return;
  }
  // Replies come in request order; the "protocol" reply has a tag of its own and no handler.
  if (open_.empty() || open_.front().first != message[0]) return;
  auto handler = std::move(open_.front().second);
  open_.pop_front();
  handler(fields(message.begin() + 1, message.end()));
}

class log_feed::protocol : public vorn::base_protocol {
 public:
  explicit protocol(log_feed& feed) : feed_(feed.weak_from_this()) {}

  void connection_made() override { write("\n"); }  // the greeting: plain lines, no TTL form
  void received_data_added_to_buffer() override {
    for (;;) {
      const std::string_view unread = buffer().unread();
      const auto end = unread.find('\n');
      if (end == std::string_view::npos) {
        if (unread.size() > max_line) close_connection("log line too long");
        return;
      }
      const std::string line(unread.substr(0, end));
      buffer().consume(end + 1);
      if (auto feed = feed_.lock(); feed && feed->on_line) feed->on_line(line);
    }
  }

 private:
  std::weak_ptr<log_feed> feed_;
};

log_feed::log_feed(vorn::asyncore& loop, std::shared_ptr<vorn::logger_base> logger, std::string host,
                   std::string port)
    : vorn::client_factory_base(std::move(logger)), loop_(loop), host_(std::move(host)), port_(std::move(port)) {}

void log_feed::start() { connector_ = vorn::connect_tcp(loop_, shared_from_this(), host_, port_); }

std::shared_ptr<vorn::base_protocol> log_feed::create_protocol() { return std::make_shared<protocol>(*this); }

void log_feed::connection_failed(const std::shared_ptr<vorn::connector>& c, const std::string&) { c->connect(); }
void log_feed::connection_lost(const std::shared_ptr<vorn::connector>& c, const std::string&) { c->connect(); }

}  // namespace orv::web
