#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "engine/quillmere_ticker_manager.h"
#include "engine/ticker_element.h"
#include "engine/ticker_group.h"
#include "runtime/logger_base.h"

namespace orv {

// Applies the documents of one subscription to the group that subscribed. Each document is
// parsed with fresh handlers; a malformed one is logged and leaves in place what was applied
// before the error.
// The group owns the subscription, which owns this; the way back to the group is weak, so
// dropping a group ends its subscription without anyone having to close it first. Only a
// document being applied in parts holds the group, until its last part.
class group_change_integrator : public quillmere_subscriber {
 public:
  // A part ends at the first element end past this many bytes where no SECURITY is half
  // read, so the renderer never sees an element with some of its fields changed.
  static constexpr std::size_t part_size = 16 * 1024;

  group_change_integrator(std::shared_ptr<ticker_group_base> target, std::shared_ptr<element_key_index> key_index,
                          std::shared_ptr<vorn::logger_base> log);
  ~group_change_integrator() override;
  void receive(const std::string& document) override;
  bool start(std::string&& document) override;
  bool resume() override;

 private:
  struct document_in_progress;
  bool begin(std::string owned, std::string_view text, std::size_t part);
  bool parse_on();
  bool let_go();

  std::unique_ptr<document_in_progress> current_;
  std::string waiting_;
  std::weak_ptr<ticker_group_base> target_;
  std::shared_ptr<element_key_index> key_index_;
  std::shared_ptr<vorn::logger_base> log_;
};

// The subscriber factory a QuillmereTickerManager takes.
std::shared_ptr<quillmere_subscriber> make_group_change_integrator(std::shared_ptr<ticker_group_base> target,
                                                                   std::shared_ptr<element_key_index> key_index,
                                                                   std::shared_ptr<vorn::logger_base> log);

}  // namespace orv
