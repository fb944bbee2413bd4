#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "hosting/named_event.h"
#include "hosting/named_mapping.h"

namespace orv {

class TickerElement;

// Both shared areas of a ticker have this size; nothing is ever written past it.
inline constexpr std::size_t section_area_size = 16384;

// What went into an area: written of total items (values or titles). cut is set when
// something did not fit; the area stays well-formed all the same.
struct area_write {
  std::size_t written = 0;
  std::size_t total = 0;
  bool cut = false;
};

// Element layout: design, 0x00, then label, 0x00, attribute, 0x00, text, 0x00 for every value,
// then 0x00. Values that do not fit are left off from the first one that does not; a design
// that does not fit leaves the empty element. written counts values.
area_write write_element_area(std::span<char> area, const TickerElement& element);
// 0x00 0x00: an empty design and an ended value list.
void write_empty_element(std::span<char> area);
// Title layout: every title followed by 0x00, then 0x00. Titles that do not fit are left off.
area_write write_title_area(std::span<char> area, const std::vector<std::string>& titles);

// A ticker's shared objects last while the service or a renderer holds them, as kernel
// objects do. Made before the objects, it removes the ones nobody holds any more (a deleted
// ticker's a renderer kept, a crashed run's), so a ticker nobody holds starts from zeroed
// areas; destroyed after the service has let go of them, it removes them unless a renderer
// still holds them.
class object_lifetime {
 public:
  // Throws win32_error "Couldn't remove stale object named mem" + ticker when the system
  // will not remove unheld objects (another user's).
  explicit object_lifetime(const std::string& ticker_name);
  ~object_lifetime();
  object_lifetime(const object_lifetime&) = delete;
  object_lifetime& operator=(const object_lifetime&) = delete;

 private:
  std::string encoded_;
};

// The request event ("event" + ticker) and the element area ("mem" + ticker), which the
// service holds while the endpoint lives.
class ticker_endpoint {
 public:
  // Throws win32_error "Couldn't create event named ", "Couldn't create mapping named " + the
  // object name, or "Couldn't map view". The event comes first: it fails while another
  // process serves the ticker, and that process's objects are left alone.
  explicit ticker_endpoint(const std::string& ticker_name);

  named_event& event() { return event_; }
  std::span<char> element_area() const { return element_.view(); }

 private:
  named_event event_;
  object_lifetime lifetime_;
  named_mapping element_;
};

// The title area ("sections" + ticker) and its mutex, an exclusive flock on the shared object
// "sectionmutex" + ticker that a renderer takes while it reads the titles.
class section_channel {
 public:
  // Throws win32_error "Couldn't create mutex named " or "Couldn't create mapping named " +
  // the object name, or "Couldn't map view".
  explicit section_channel(const std::string& ticker_name);

  // Writes the titles under the mutex. The service never waits for a renderer: when one holds
  // the mutex nothing is written and the result is empty.
  std::optional<area_write> write(const std::vector<std::string>& titles);

  std::span<char> title_area() const { return area_.view(); }

 private:
  shared_object mutex_;
  named_mapping area_;
};

}  // namespace orv
