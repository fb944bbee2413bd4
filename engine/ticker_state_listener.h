#pragma once

#include <memory>
#include <string>

namespace orv {

class TickerControl;
class TickerGroup;

// Told of every change to what decides a ticker's next element, so the state can be kept
// elsewhere (the engine never knows where). Calls come on the ticker's own thread and must
// be cheap: they only note what changed.
class ticker_state_listener {
 public:
  virtual ~ticker_state_listener() = default;
  // The group's own state: its elements, attributes, cursor or counts. Said once, when the
  // group's state mark is set; the listener clears the mark when it has taken the group.
  virtual void group_changed(const std::shared_ptr<TickerGroup>& group) = 0;
  // The ticker's own state: current groups, override, priority queue, tables, modes.
  virtual void ticker_changed() = 0;
  // A list of the ticker gained, lost or reordered groups.
  virtual void lists_changed() = 0;
};

// Keeps the state of every ticker: the registry tells it of each ticker it creates or deletes.
class ticker_state_keeper {
 public:
  virtual ~ticker_state_keeper() = default;
  // Returns the listener the new ticker reports its changes to.
  virtual std::shared_ptr<ticker_state_listener> ticker_added(const std::string& name,
                                                              const std::shared_ptr<TickerControl>& ticker) = 0;
  virtual void ticker_deleted(const std::string& name) = 0;
};

}  // namespace orv
