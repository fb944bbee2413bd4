#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/supplier_base.h"

namespace orv {

class TickerElement;

// The pull side of a ticker: its listener asks for one element at a time.
class element_stream {
 public:
  // True when a step was taken. A finished run-once group answers true without an element,
  // so callers must tolerate out left as it was.
  virtual bool GetNextElement(TickerElement& out) = 0;
  // The listener found nothing more to show.
  virtual void OnStreamEmpty() = 0;
  // Section names of the coming groups, at most 16.
  virtual std::vector<std::string> GetUpcomingSections() = 0;
  virtual bool HasCurrentSection() = 0;

  virtual ~element_stream() = default;

  void set_listener(std::shared_ptr<supplier_base> listener) { listener_ = std::move(listener); }
  const std::shared_ptr<supplier_base>& listener() const { return listener_; }

 protected:
  std::shared_ptr<supplier_base> listener_;  // null until the listener registers
};

}  // namespace orv
