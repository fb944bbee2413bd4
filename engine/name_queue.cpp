#include "engine/name_queue.h"

namespace orv {

bool name_queue::is_live(const entry& e) const {
  const auto it = live_.find(e.name);
  return it != live_.end() && it->second == e.serial;
}

void name_queue::push_back(const std::string& name) {
  live_[name] = next_serial_;
  entries_.push_back({name, next_serial_++});
  tidy();
}

std::string name_queue::pop_front() {
  std::string name = std::move(entries_.front().name);
  entries_.pop_front();
  live_.erase(name);
  tidy();
  return name;
}

void name_queue::erase(const std::string& name) {
  if (live_.erase(name) != 0) tidy();
}

std::deque<std::string> name_queue::names() const {
  std::deque<std::string> names;
  for (const entry& e : entries_)
    if (is_live(e)) names.push_back(e.name);
  return names;
}

void name_queue::assign(const std::deque<std::string>& names) {
  entries_.clear();
  live_.clear();
  for (const std::string& name : names) push_back(name);
}

// Keeps the front entry live, so front and pop_front need no search, and the stale entries
// at most as many as the live ones, so the queue's memory follows its size.
void name_queue::tidy() {
  while (!entries_.empty() && !is_live(entries_.front())) entries_.pop_front();
  if (entries_.size() <= 2 * live_.size() + 16) return;
  std::deque<entry> kept;
  for (entry& e : entries_)
    if (is_live(e)) kept.push_back(std::move(e));
  entries_.swap(kept);
}

}  // namespace orv
