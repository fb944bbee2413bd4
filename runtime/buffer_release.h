#pragma once

#include <cstddef>
#include <string>

namespace vorn {

// Freeing a buffer of many megabytes costs the system about a millisecond per 16 MiB to
// unmap its pages, all in the turn that frees it. Handing the pages of its last `step`
// bytes back first and shortening it by as much spreads that cost over as many turns as
// the caller likes; the free at the end costs next to nothing. The bytes given back are
// lost. Returns false, and leaves the buffer as it is, once it is no longer than `step`.
bool release_tail(std::string& buffer, std::size_t step);

}  // namespace vorn
