#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/quillmere_ticker_manager.h"
#include "feed/document_splitter.h"
#include "runtime/asyncore.h"
#include "runtime/logger_base.h"
#include "runtime/protocol.h"

namespace orv {

// Ends every document the feed hub pushes.
inline constexpr std::string_view quillmere_separator = "---QuillmereSeparator---";

// A document that has not ended after this many unread bytes drops the connection. Feed
// documents are kilobytes; the limit matches the largest tickertalk message.
inline constexpr std::size_t default_max_unread_feed_bytes = std::size_t{16} << 20;

struct quillmere_url {
  std::string scheme;
  std::string host;
  std::string path;
  std::int32_t port = 0;
};

// Text without "://" is taken whole as the path. A port that is not a number throws
// boost::bad_lexical_cast.
quillmere_url parse_quillmere_url(const std::string& url);

// The feed hub client of one ticker: one TCP connection per subscription.
class quillmere_client : public quillmere_client_base {
 public:
  quillmere_client(std::shared_ptr<vorn::asyncore> core, std::shared_ptr<vorn::logger_base> log);

  // Returns the connector; the subscription lives, reconnecting on its own, while it is held.
  quillmere_subscription subscribe(const std::vector<std::string>& urls,
                                   std::shared_ptr<quillmere_subscriber> subscriber) override;

  // Applies to subscriptions made from now on.
  void set_max_unread_bytes(std::size_t bytes) { max_unread_bytes_ = bytes; }

 private:
  std::shared_ptr<vorn::asyncore> core_;
  std::shared_ptr<vorn::logger_base> log_;
  std::int32_t next_id_ = 0;
  std::size_t max_unread_bytes_ = default_max_unread_feed_bytes;
};

// One subscription: makes a protocol for each connection and reconnects after every
// failure or loss, at the connector's pace.
class quillmere_client_factory : public vorn::client_factory_base,
                                 public std::enable_shared_from_this<quillmere_client_factory> {
 public:
  quillmere_client_factory(std::shared_ptr<quillmere_subscriber> subscriber, std::int32_t id, std::string path,
                           std::shared_ptr<vorn::logger_base> log,
                           std::size_t max_unread_bytes = default_max_unread_feed_bytes, std::string url = {});

  void connection_failed(const std::shared_ptr<vorn::connector>& c, const std::string& reason) override;
  void connection_lost(const std::shared_ptr<vorn::connector>& c, const std::string& reason) override;
  std::shared_ptr<vorn::base_protocol> create_protocol() override;

  const std::shared_ptr<quillmere_subscriber>& subscriber() const { return subscriber_; }
  std::int32_t id() const { return id_; }
  const std::string& path() const { return path_; }
  std::size_t max_unread_bytes() const { return max_unread_bytes_; }

 private:
  std::shared_ptr<quillmere_subscriber> subscriber_;
  std::shared_ptr<vorn::logger_base> log_;
  std::int32_t id_;
  std::string path_;
  std::size_t max_unread_bytes_;
  std::string url_;  // named in the loss lines, so a reader knows which subscription failed
};

// One connection: sends the subscription request, then splits the stream into documents.
class quillmere_client_protocol : public vorn::base_protocol {
 public:
  quillmere_client_protocol(std::shared_ptr<quillmere_client_factory> factory, std::shared_ptr<vorn::logger_base> log);

  void connection_made() override;
  std::size_t data_received(const char* data, std::size_t length) override;
  void connection_lost() override;
  const char* kind() const override { return "feed"; }
  bool release_some() override;
  bool has_work_left() const override { return in_hand_ != stage::none; }

 private:
  bool go_on();
  bool join_some();

  std::shared_ptr<quillmere_client_factory> factory_;
  std::shared_ptr<vorn::logger_base> log_;
  document_splitter documents_{quillmere_separator};
  // The message taken from the stream, joined into one document, then applied.
  enum class stage { none, joining, applying };
  stage in_hand_ = stage::none;
  document_splitter::pieces message_;
  std::size_t joined_ = 0;  // pieces of message_ copied into document_
  std::string document_;
};

}  // namespace orv
