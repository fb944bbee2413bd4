#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

namespace orv {

// A first-in first-out queue of distinct names that answers "is it queued" and takes a name
// out of the middle without walking the queue. A name taken out leaves a stale entry behind,
// skipped at the front and swept out once stale entries outnumber live ones.
class name_queue {
 public:
  bool empty() const { return live_.empty(); }
  std::size_t size() const { return live_.size(); }
  bool contains(const std::string& name) const { return live_.count(name) != 0; }
  // Queues a name at the back; a name already queued moves there.
  void push_back(const std::string& name);
  // Takes the front name out; the queue must not be empty.
  std::string pop_front();
  void erase(const std::string& name);
  // The names in queue order.
  std::deque<std::string> names() const;
  void assign(const std::deque<std::string>& names);

 private:
  struct entry {
    std::string name;
    std::uint64_t serial;
  };
  bool is_live(const entry& e) const;
  void tidy();

  std::deque<entry> entries_;
  std::unordered_map<std::string, std::uint64_t> live_;  // name to the serial of its entry
  std::uint64_t next_serial_ = 0;
};

}  // namespace orv
