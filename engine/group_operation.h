#pragma once

#include <cstddef>

namespace orv {

// Where a group read from group XML goes: one for each operation that takes a group document.
enum class group_placement {
  after_group,       // AddGroupAfterGroup
  run_once_queue,    // AddGroupToRunOncePriorityQueue
  independent,       // AddIndependentGroup
  after_current,     // AddGroupAfterCurrent
  supersede_current, // AddGroupSuperseedCurrent
  before_current,    // AddGroupBeforeCurrent
};

// One of those operations with a document too big to read in one loop turn. The document
// is read in parts into a group of its own, outside the ticker; finish then does in one step
// what the operation does after its parse, against the ticker as it is at that moment. The
// ticker and the document must outlive it.
class group_operation {
 public:
  virtual ~group_operation() = default;
  // Reads up to about max_bytes more; true once the whole document is read.
  virtual bool read_some(std::size_t max_bytes) = 0;
  // The operation's result, with its log lines, as if it had been called now.
  virtual bool finish() = 0;
};

}  // namespace orv
