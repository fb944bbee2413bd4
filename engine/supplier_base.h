#pragma once

#include <memory>

namespace orv {

class element_stream;

// The listener of a ticker's element stream: the side that delivers elements to the renderer.
class supplier_base {
 public:
  // The stream this listener pulls from; held weakly so the listener never keeps its ticker alive.
  virtual void set_stream(std::weak_ptr<element_stream> stream) = 0;
  // Drops whatever element and titles are waiting for the renderer.
  virtual void clear() = 0;
  // Fetches the upcoming section titles now instead of at the next request.
  virtual void refresh_titles() = 0;

  virtual ~supplier_base() = default;
};

}  // namespace orv
