#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace orv::web {

std::vector<std::string> split_lines(const std::string& text);

// What the monitor can know of one ticker's carousel through tickertalk: the groups and
// their elements as GetGroupsWithContent lists them, the group the last "run" message came
// from, the run-once queue size of the last "priority_size" event, and what the pages' own
// actions did to groups. Tickertalk lists neither independent nor run-once groups nor the
// marks and priority queue that other clients set.
class carousel_view {
 public:
  void listed(bool exists, const std::string& listing);
  // A "run" message of the ticker: its text is the log text of the element shown before the
  // last one, with its time-to-live suffix. A group's main element (its first unless another
  // is named) carries the group's name, so a group shows as current once a round.
  // Both say whether the view changed.
  bool ran(const std::string& text);
  bool run_once_queue(int size) { return std::exchange(run_once_queue_, size) != size; }
  void marked(const std::string& group) { marked_.insert(group); }
  void prioritised(const std::string& group) { prioritised_.insert(group); }

  // The groups with their elements, marks and priorities; it changes with the carousel.
  std::string state_json() const;
  // The current group and the run-once queue; it changes with every group shown.
  std::string current_json() const;

 private:
  struct group {
    std::string name;
    std::vector<std::string> elements;  // element_summary lines
  };

  bool exists_ = false;
  std::vector<group> groups_;
  std::string current_;
  bool outside_ = false;  // the last run text is in no carousel group: independent or run-once
  int run_once_queue_ = -1;
  std::set<std::string> marked_;       // DeleteGroupWhenInactive accepted while current
  std::set<std::string> prioritised_;  // AddPriorityGroup accepted, until the group runs
};

}  // namespace orv::web
