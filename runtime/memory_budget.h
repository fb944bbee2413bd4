#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

namespace vorn {

// What the connections of one event loop may hold in memory together: input of messages
// not yet complete and output not yet sent. Each connection has its own caps as well; this
// one keeps many connections that each stay under theirs from adding up to more than the
// machine can give. Passing it closes the connection holding the most, so the cost of a
// greedy or stalled peer falls on that peer.
class memory_budget {
 public:
  static constexpr std::size_t default_limit = std::size_t{256} << 20;

  // A connection as the budget sees it.
  class holder {
   public:
    // Closes the connection, which withdraws it from the budget before returning.
    virtual void evict(const std::string& reason) = 0;

   protected:
    ~holder() = default;
  };

  explicit memory_budget(std::size_t limit = default_limit) : limit_(limit) {}
  memory_budget(const memory_budget&) = delete;
  memory_budget& operator=(const memory_budget&) = delete;

  std::size_t limit() const { return limit_; }
  void set_limit(std::size_t bytes) { limit_ = bytes; }
  std::size_t total() const { return total_; }

  // Records what h holds now; past the limit, evicts the largest holders until within it.
  void update(holder& h, std::size_t bytes);
  void withdraw(holder& h);

 private:
  std::unordered_map<holder*, std::size_t> held_;
  std::size_t total_ = 0;
  std::size_t limit_;
};

}  // namespace vorn
