#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

namespace vorn {

// Freeing a buffer of many megabytes costs the system about a millisecond per 16 MiB to
// unmap its pages, all in the turn that frees it. Handing the pages of its last `step`
// bytes back first and shortening it by as much spreads that cost over as many turns as
// the caller likes; the free at the end costs next to nothing. The bytes given back are
// lost. Returns false, and leaves the buffer as it is, once it is no longer than `step`.
bool release_tail(std::string& buffer, std::size_t step);

// Lets go of what a caller dropped over the loop's turns, from the turn after this call on,
// about 0.2 ms of freeing a turn: thousands of objects freed at once (a ticker's carousel,
// say) would hold the loop for milliseconds. An object that is large by itself still goes
// in one piece.
void release_in_turns(boost::asio::io_context& io, std::vector<std::shared_ptr<void>> dropped);

// The allocator as the service runs it; benchmarks of the service's code call it too.
// - Fixed thresholds: buffers of a burst (megabyte messages and replies) are mapped apart
//   and go back to the system when freed. Left to itself, the allocator raises both after
//   the first large frees and keeps such memory in its heap for good.
// - No fast bins: a small block is merged with its free neighbours when it is freed. Fast
//   bins put that off until the next large allocation sorts them all out at once, which
//   after the 100,000 small frees of a large feed group's old elements took 5-9 ms of a
//   single turn.
void tune_allocator();

}  // namespace vorn
