#include "hosting/section_channel.h"

#include <algorithm>
#include <cerrno>
#include <sys/file.h>

#include "engine/ticker_element.h"
#include "hosting/object_access.h"
#include "hosting/object_name.h"
#include "runtime/system_error.h"

namespace orv {
namespace {

// Appends text and its terminator at offset when they fit before the reserved tail.
bool put(std::span<char> area, std::size_t& offset, const std::string& text, std::size_t reserve) {
  if (offset + text.size() + 1 + reserve > area.size()) return false;
  std::copy(text.begin(), text.end(), area.begin() + static_cast<std::ptrdiff_t>(offset));
  offset += text.size();
  area[offset++] = '\0';
  return true;
}

}  // namespace

void write_empty_element(std::span<char> area) {
  area[0] = '\0';
  area[1] = '\0';
}

area_write write_element_area(std::span<char> area, const TickerElement& element) {
  area_write result{0, element.values().size(), false};
  std::size_t offset = 0;
  // One byte stays reserved for the terminating empty label.
  if (!put(area, offset, element.design(), 1)) {
    write_empty_element(area);
    result.cut = true;
    return result;
  }
  for (const auto& value : element.values()) {
    const std::size_t size = value.label.size() + value.attribute.size() + value.text.size() + 3;
    if (offset + size + 1 > area.size()) {
      result.cut = true;
      break;
    }
    put(area, offset, value.label, 0);
    put(area, offset, value.attribute, 0);
    put(area, offset, value.text, 0);
    ++result.written;
  }
  area[offset] = '\0';
  return result;
}

area_write write_title_area(std::span<char> area, const std::vector<std::string>& titles) {
  area_write result{0, titles.size(), false};
  std::size_t offset = 0;
  for (const auto& title : titles) {
    if (!put(area, offset, title, 1)) {
      result.cut = true;
      break;
    }
    ++result.written;
  }
  area[offset] = '\0';
  return result;
}

object_lifetime::object_lifetime(const std::string& ticker_name) : encoded_(encode_object_name(ticker_name)) {
  if (object_access::remove_unheld(encoded_) == object_access::removal::refused)
    throw vorn::win32_error("Couldn't remove stale object named mem" + ticker_name);
}

object_lifetime::~object_lifetime() { object_access::remove_unheld(encoded_); }

ticker_endpoint::ticker_endpoint(const std::string& ticker_name)
    : event_("event" + ticker_name), lifetime_(ticker_name), element_("mem" + ticker_name, section_area_size, true) {}

section_channel::section_channel(const std::string& ticker_name)
    : mutex_("sectionmutex" + ticker_name, "Couldn't create mutex named sectionmutex" + ticker_name),
      area_("sections" + ticker_name, section_area_size) {}

std::optional<area_write> section_channel::write(const std::vector<std::string>& titles) {
  while (::flock(mutex_.fd(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return std::nullopt;
  }
  const area_write result = write_title_area(area_.view(), titles);
  ::flock(mutex_.fd(), LOCK_UN);
  return result;
}

}  // namespace orv
