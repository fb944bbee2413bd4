#include "runtime/memory_budget.h"

#include <algorithm>

namespace vorn {

void memory_budget::update(holder& h, std::size_t bytes) {
  std::size_t& entry = held_[&h];
  total_ = total_ - entry + bytes;
  entry = bytes;
  while (total_ > limit_) {
    // Only scanned when over the limit, which a well-behaved load never is.
    const auto largest = std::max_element(held_.begin(), held_.end(),
                                          [](const auto& a, const auto& b) { return a.second < b.second; });
    holder* victim = largest->first;
    const std::size_t victim_bytes = largest->second;
    victim->evict("the connections together hold more than the memory budget of " + std::to_string(limit_) +
                  " bytes; this one holds the most, " + std::to_string(victim_bytes) + " bytes");
    withdraw(*victim);  // in case the victim was already closing
  }
}

void memory_budget::withdraw(holder& h) {
  const auto found = held_.find(&h);
  if (found == held_.end()) return;
  total_ -= found->second;
  held_.erase(found);
}

}  // namespace vorn
