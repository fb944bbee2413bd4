#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/logger_base.h"

namespace orv {

class ticker_group_base;
class element_key_index;

// Receives each document the feed hub pushes for one subscription.
class quillmere_subscriber {
 public:
  virtual ~quillmere_subscriber() = default;
  // Applies a whole document at once.
  virtual void receive(const std::string& document) = 0;
  // The same in parts, so a large document does not hold the loop: start takes the document
  // and applies a part; while it returns false, resume applies the next part, once other work
  // has run, until it returns true. By default the whole document goes at once.
  virtual bool start(std::string&& document) {
    receive(document);
    return true;
  }
  virtual bool resume() { return true; }
};

// A live subscription; it ends when the last copy of the handle is dropped.
using quillmere_subscription = std::shared_ptr<void>;

class quillmere_client_base {
 public:
  virtual ~quillmere_client_base() = default;
  // Only the first URL is used; urls must not be empty.
  virtual quillmere_subscription subscribe(const std::vector<std::string>& urls,
                                           std::shared_ptr<quillmere_subscriber> subscriber) = 0;
};

// The feed-hub side of one ticker: subscribes its groups and owns the ticker's key index.
// The subscriber for a group comes from a factory so the engine does not depend on the feed code.
class QuillmereTickerManager {
 public:
  using subscriber_factory = std::function<std::shared_ptr<quillmere_subscriber>(
      std::shared_ptr<ticker_group_base> group, std::shared_ptr<element_key_index> key_index,
      std::shared_ptr<vorn::logger_base> log)>;

  // A null client is allowed (tickers without feeds): groups then get no subscription.
  QuillmereTickerManager(std::shared_ptr<quillmere_client_base> client, std::shared_ptr<vorn::logger_base> log,
                         subscriber_factory make_subscriber);

  quillmere_subscription AddManagedGroup(std::shared_ptr<ticker_group_base> group,
                                         const std::vector<std::string>& urls);
  const std::shared_ptr<element_key_index>& key_index() const { return key_index_; }

 private:
  std::shared_ptr<quillmere_client_base> client_;
  std::shared_ptr<vorn::logger_base> log_;
  std::shared_ptr<element_key_index> key_index_;
  subscriber_factory make_subscriber_;
};

}  // namespace orv
