#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/ticker_group.h"

namespace orv {

// A list of groups that finds a group by name without walking the list: an index from each
// name to the positions holding it. Every change goes through here so the index stays in
// step; a group's name must not change while it is listed.
class named_group_list {
 public:
  using group_ptr = std::shared_ptr<TickerGroup>;
  using position = std::list<group_ptr>::iterator;
  using const_position = std::list<group_ptr>::const_iterator;

  position begin() { return groups_.begin(); }
  position end() { return groups_.end(); }
  const_position begin() const { return groups_.begin(); }
  const_position end() const { return groups_.end(); }
  bool empty() const { return groups_.empty(); }
  std::size_t size() const { return groups_.size(); }

  position insert(position before, const group_ptr& group);
  position erase(position at);
  void clear();
  // Moves a group in front of before; every position stays valid.
  void move(position before, position moved) {
    groups_.splice(before, groups_, moved);
    changed();
  }
  // A position the owner keeps between calls; it becomes end() when its group leaves.
  position& remembered() { return remembered_; }
  // Called after every insert, erase, clear and move.
  void set_on_change(std::function<void()> on_change) { on_change_ = std::move(on_change); }

  // The first group of that name in list order that is not marked for deletion (a group
  // may mark itself at any time, so marks are read now), or any such group when
  // include_marked. end() when there is none.
  position find(const std::string& name, bool include_marked = false);

 private:
  std::list<group_ptr> groups_;
  std::unordered_map<std::string, std::vector<position>> index_;
  position remembered_ = groups_.end();
  std::function<void()> on_change_;

  void changed() {
    if (on_change_) on_change_();
  }
};

}  // namespace orv
