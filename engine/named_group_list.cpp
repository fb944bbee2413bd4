#include "engine/named_group_list.h"

#include <algorithm>

namespace orv {

named_group_list::position named_group_list::insert(position before, const group_ptr& group) {
  const position inserted = groups_.insert(before, group);
  index_[group->name()].push_back(inserted);
  changed();
  return inserted;
}

named_group_list::position named_group_list::erase(position at) {
  const auto entry = index_.find((*at)->name());
  std::vector<position>& positions = entry->second;
  positions.erase(std::find(positions.begin(), positions.end(), at));
  if (positions.empty()) index_.erase(entry);
  if (at == remembered_) remembered_ = groups_.end();
  const position next = groups_.erase(at);
  changed();
  return next;
}

void named_group_list::clear() {
  groups_.clear();
  index_.clear();
  remembered_ = groups_.end();
  changed();
}

named_group_list::position named_group_list::find(const std::string& name, bool include_marked) {
  const auto entry = index_.find(name);
  if (entry == index_.end()) return groups_.end();
  auto wanted = [include_marked](const group_ptr& group) { return include_marked || !group->IsMarked(); };
  position found = groups_.end();
  int candidates = 0;
  for (position at : entry->second) {
    if (!wanted(*at)) continue;
    found = at;
    ++candidates;
  }
  if (candidates < 2) return found;
  // Groups marked for deletion can leave several of one name; the index keeps no order
  // (moves reorder the list), so the list decides. Rare, and bounded by the list.
  return std::find_if(groups_.begin(), groups_.end(),
                      [&](const group_ptr& group) { return group->name() == name && wanted(group); });
}

}  // namespace orv
