#include "feed/quillmere_client.h"

#include <algorithm>
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

// A document in hand holds back everything after it; the rest of the bytes come back in a
// later turn.
std::size_t quillmere_client_protocol::data_received(const char* data, std::size_t length) {
  if (in_hand_ != stage::none) {
    go_on();
    return 0;
  }
  const std::size_t taken = documents_.feed({data, length}, [this](document_splitter::pieces&& message) {
    message_ = std::move(message);
    in_hand_ = stage::joining;
    return go_on() && !transport_closed();
  });
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

// One step of the document in hand: its pieces joined a mebibyte at a time (copying, and
// touching the fresh pages of, 16 MiB took several milliseconds), then the document applied
// a part at a time. True once nothing is left in hand.
bool quillmere_client_protocol::go_on() {
  const auto& subscriber = factory_->subscriber();
  if (in_hand_ == stage::applying) {
    if (!subscriber || subscriber->resume()) in_hand_ = stage::none;
    return in_hand_ == stage::none;
  }
  if (!join_some()) return false;
  message_.clear();
  joined_ = 0;
  if (log_ && log_->should_log(100)) log_->stream(100) << "GOT MESSAGE: " << document_ << "\n";
  in_hand_ = subscriber && !subscriber->start(std::move(document_)) ? stage::applying : stage::none;
  document_.clear();
  return in_hand_ == stage::none;
}

// The first message carries the HTTP response header in front of the document: bytes
// before the first '<' are left out.
bool quillmere_client_protocol::join_some() {
  constexpr std::size_t step = std::size_t{1} << 20;
  if (joined_ == 0) {
    std::size_t size = 0;
    for (const std::string& piece : message_) size += piece.size();
    document_.clear();
    if (message_.size() == 1 && message_.front().starts_with('<')) {
      document_ = std::move(message_.front());
      joined_ = 1;
      return true;
    }
    document_.reserve(size);
  }
  for (std::size_t copied = 0; joined_ < message_.size() && copied < step; ++joined_) {
    std::string_view piece = message_[joined_];
    if (document_.empty()) piece.remove_prefix(std::min(piece.find('<'), piece.size()));
    document_.append(piece);
    copied += piece.size();
    std::string().swap(message_[joined_]);
  }
  return joined_ == message_.size();
}

// A document that came whole is applied to its end, a step a turn, as if the connection had
// stayed. Up to 16 MiB of an unfinished one then go back a mebibyte per turn.
bool quillmere_client_protocol::release_some() {
  if (in_hand_ != stage::none) {
    go_on();
    return true;
  }
  return documents_.discard_some(std::size_t{1} << 20);
}

void quillmere_client_protocol::connection_lost() {
  if (log_ && log_->should_log(15)) log_->stream(15) << "Connection lost\n";
}

}  // namespace orv
