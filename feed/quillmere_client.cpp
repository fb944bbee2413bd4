#include "feed/quillmere_client.h"

#include <utility>

#include <boost/lexical_cast.hpp>

#include "runtime/tcp_connector.h"

namespace orv {
namespace {

// (text before the first delimiter, text after it); (text, "") without a delimiter.
std::pair<std::string, std::string> split_at(const std::string& text, std::string_view delimiter) {
  const auto at = text.find(delimiter);
  if (at == std::string::npos) return {text, ""};
  return {text.substr(0, at), text.substr(at + delimiter.size())};
}

// Sent again, unchanged, on every connection of a subscription.
std::string request_text(std::int32_t id, const std::string& path) {
  return "QuillmereID: " + std::to_string(id) + "\r\nConnection: Keep-Alive\r\nGET " + path + " HTTP/1.0\r\n\r\n";
}

}  // namespace

quillmere_url parse_quillmere_url(const std::string& url) {
  quillmere_url parsed;
  auto [scheme, rest] = split_at(url, "://");
  if (rest.empty()) {
    parsed.path = url;
    return parsed;
  }
  parsed.scheme = std::move(scheme);
  auto [host_port, path] = split_at(rest, "/");
  parsed.path = "/" + path;
  auto [host, port] = split_at(host_port, ":");
  parsed.host = std::move(host);
  if (!port.empty()) parsed.port = boost::lexical_cast<std::int32_t>(port);
  return parsed;
}

quillmere_client::quillmere_client(std::shared_ptr<vorn::asyncore> core, std::shared_ptr<vorn::logger_base> log)
    : core_(std::move(core)), log_(std::move(log)) {}

quillmere_subscription quillmere_client::subscribe(const std::vector<std::string>& urls,
                                                   std::shared_ptr<quillmere_subscriber> subscriber) {
  if (urls.empty()) return nullptr;
  const quillmere_url url = parse_quillmere_url(urls.front());
  const std::int32_t id = next_id_++;
  auto factory = std::make_shared<quillmere_client_factory>(std::move(subscriber), id, url.path, log_,
                                                            max_unread_bytes_, urls.front());
  return vorn::connect_tcp(*core_, std::move(factory), url.host, std::to_string(url.port));
}

quillmere_client_factory::quillmere_client_factory(std::shared_ptr<quillmere_subscriber> subscriber, std::int32_t id,
                                                   std::string path, std::shared_ptr<vorn::logger_base> log,
                                                   std::size_t max_unread_bytes, std::string url)
    : client_factory_base(log),
      subscriber_(std::move(subscriber)),
      log_(std::move(log)),
      id_(id),
      path_(std::move(path)),
      max_unread_bytes_(max_unread_bytes),
      url_(std::move(url)) {}

// The connector paces the attempts, so asking again at once never spins.
void quillmere_client_factory::connection_failed(const std::shared_ptr<vorn::connector>& c,
                                                 const std::string& reason) {
  if (log_ && log_->should_log(20)) log_->stream(20) << "Failed. Reconnecting. (" << url_ << ": " << reason << ")\n";
  if (c) c->connect();
}

void quillmere_client_factory::connection_lost(const std::shared_ptr<vorn::connector>& c, const std::string& reason) {
  if (log_ && log_->should_log(15)) log_->stream(15) << "Lost. Reconnecting. (" << url_ << ": " << reason << ")\n";
  if (c) c->connect();
}

std::shared_ptr<vorn::base_protocol> quillmere_client_factory::create_protocol() {
  return std::make_shared<quillmere_client_protocol>(shared_from_this(), log_);
}

quillmere_client_protocol::quillmere_client_protocol(std::shared_ptr<quillmere_client_factory> factory,
                                                     std::shared_ptr<vorn::logger_base> log)
    : factory_(std::move(factory)), log_(std::move(log)) {}

void quillmere_client_protocol::connection_made() {
  const std::string request = request_text(factory_->id(), factory_->path());
  if (log_ && log_->should_log(45)) log_->stream(45) << "Connection made. Sending: " << request << "\n";
  write(request);
}

// A document being applied in parts holds back everything after it; the rest of the bytes
// come back in a later turn.
std::size_t quillmere_client_protocol::data_received(const char* data, std::size_t length) {
  if (applying_) {
    applying_ = !factory_->subscriber()->resume();
    return 0;
  }
  const std::size_t taken =
      documents_.feed({data, length}, [this](std::string&& message) { return hand_on(std::move(message)); });
  if (log_ && log_->should_log(100)) log_->stream(100) << "Got data. Buffer is now: " << documents_.unfinished_size() << "\n";
  // Whatever is left is one unfinished document; a hub that never ends it must not
  // make us buffer without bound. The connector reconnects after the loss.
  if (has_transport() && documents_.unfinished_size() > factory_->max_unread_bytes()) {
    if (log_ && log_->should_log(20))
      log_->stream(20) << "Feed document passed " << factory_->max_unread_bytes()
                       << " bytes without a separator. Dropping the connection.\n";
    close_connection();
  }
  return transport_closed() ? length : taken;
}

bool quillmere_client_protocol::hand_on(std::string&& message) {
  // The first message carries the HTTP response header in front of the document.
  const auto start = message.find('<');
  std::string document;
  if (start == 0)
    document = std::move(message);
  else if (start != std::string::npos)
    document = message.substr(start);
  if (log_ && log_->should_log(100)) log_->stream(100) << "GOT MESSAGE: " << document << "\n";
  if (const auto& subscriber = factory_->subscriber()) applying_ = !subscriber->start(std::move(document));
  return !applying_ && !transport_closed();
}

// A document that came whole is applied to its end, a part a turn, as if the connection had
// stayed. Up to 16 MiB of an unfinished one then go back a mebibyte per turn.
bool quillmere_client_protocol::release_some() {
  if (applying_) {
    applying_ = !factory_->subscriber()->resume();
    return true;
  }
  return documents_.discard_some(std::size_t{1} << 20);
}

void quillmere_client_protocol::connection_lost() {
  if (log_ && log_->should_log(15)) log_->stream(15) << "Connection lost\n";
}

}  // namespace orv
