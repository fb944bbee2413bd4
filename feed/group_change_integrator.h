#pragma once

#include <memory>
#include <string>

#include "engine/quillmere_ticker_manager.h"
#include "engine/ticker_element.h"
#include "engine/ticker_group.h"
#include "runtime/logger_base.h"

namespace orv {

// Applies the documents of one subscription to the group that subscribed. Each document is
// parsed whole, with fresh handlers; a malformed one is logged and leaves in place what
// was applied before the error.
// The group owns the subscription, which owns this; the way back to the group is weak, so
// dropping a group ends its subscription without anyone having to close it first.
class group_change_integrator : public quillmere_subscriber {
 public:
  group_change_integrator(std::shared_ptr<ticker_group_base> target, std::shared_ptr<element_key_index> key_index,
                          std::shared_ptr<vorn::logger_base> log);
  void receive(const std::string& document) override;

 private:
  std::weak_ptr<ticker_group_base> target_;
  std::shared_ptr<element_key_index> key_index_;
  std::shared_ptr<vorn::logger_base> log_;
};

// The subscriber factory a QuillmereTickerManager takes.
std::shared_ptr<quillmere_subscriber> make_group_change_integrator(std::shared_ptr<ticker_group_base> target,
                                                                   std::shared_ptr<element_key_index> key_index,
                                                                   std::shared_ptr<vorn::logger_base> log);

}  // namespace orv
