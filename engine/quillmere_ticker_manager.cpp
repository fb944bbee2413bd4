#include "engine/quillmere_ticker_manager.h"

#include "engine/ticker_element.h"

namespace orv {

QuillmereTickerManager::QuillmereTickerManager(std::shared_ptr<quillmere_client_base> client,
                                               std::shared_ptr<vorn::logger_base> log,
                                               subscriber_factory make_subscriber)
    : client_(std::move(client)),
      log_(std::move(log)),
      key_index_(std::make_shared<element_key_index>()),
      make_subscriber_(std::move(make_subscriber)) {}

quillmere_subscription QuillmereTickerManager::AddManagedGroup(std::shared_ptr<ticker_group_base> group,
                                                               const std::vector<std::string>& urls) {
  if (urls.empty()) return nullptr;
  if (log_ && log_->should_log(50)) log_->stream(50) << "Adding managed group with url: " << urls.front() << "\r\n";
  if (!client_) return nullptr;
  std::shared_ptr<quillmere_subscriber> subscriber;
  if (make_subscriber_) subscriber = make_subscriber_(std::move(group), key_index_, log_);
  return client_->subscribe(urls, std::move(subscriber));
}

}  // namespace orv
