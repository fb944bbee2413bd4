#include "runtime/buffer_release.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

#include <boost/asio/post.hpp>

#include "runtime/loop_turns.h"

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

void release_in_turns(boost::asio::io_context& io, std::vector<std::shared_ptr<void>> dropped) {
  if (dropped.empty()) return;
  boost::asio::post(io, [&io, dropped = std::move(dropped)]() mutable {
    loop_turns::name("dropped objects", "release");
    using clock = std::chrono::steady_clock;
    const auto until = clock::now() + std::chrono::microseconds(200);
    do dropped.pop_back();
    while (!dropped.empty() && clock::now() < until);
    release_in_turns(io, std::move(dropped));
  });
}

void tune_allocator() {
  ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  ::mallopt(M_TRIM_THRESHOLD, 128 * 1024);
  ::mallopt(M_MXFAST, 0);
}

}  // namespace vorn
