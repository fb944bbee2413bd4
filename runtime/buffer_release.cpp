#include "runtime/buffer_release.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace vorn {

bool release_tail(std::string& buffer, std::size_t step) {
  if (buffer.size() <= step) return false;
  const std::size_t kept = buffer.size() - step;
  static const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  // Whole pages only, all past what is kept (and its terminating NUL): the allocator's own
  // records lie outside the buffer.
  const auto from = (reinterpret_cast<std::uintptr_t>(buffer.data() + kept + 1) + page - 1) & ~(page - 1);
  const auto to = reinterpret_cast<std::uintptr_t>(buffer.data() + buffer.size()) & ~(page - 1);
  if (from < to) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
  buffer.resize(kept);
  return true;
}

}  // namespace vorn
