#include "renderer/orv_renderer.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "hosting/object_access.h"
#include "hosting/object_name.h"

namespace {

namespace object_access = orv::object_access;

constexpr std::size_t area_size = 16384;
using orv::encode_object_name;
using orv::max_object_name_size;

std::string describe(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// Creates the object for the service and its renderers, or opens the one that exists.
int open_shared(const std::string& name) {
  const std::string path = "/" + name;
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, object_access::object_mode);
    if (fd >= 0) {
      if (object_access::grant(fd)) return fd;
      const int error = errno;
      ::close(fd);
      errno = error;
      return -1;
    }
    if (errno != EEXIST) return -1;
    fd = ::shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd >= 0 || errno != ENOENT) return fd;
  }
  return -1;
}

struct area {
  int fd = -1;
  char* view = nullptr;

  ~area() { close(); }

  void close() {
    if (view) ::munmap(view, area_size);
    if (fd >= 0) ::close(fd);
    view = nullptr;
    fd = -1;
  }

  // With hold, the area is held (object_access.h) while it is open; an object that its last
  // holder removed before our hold took is left for the one now under that name.
  bool open(const std::string& name, bool hold = false) {
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
      fd = open_shared(name);
      if (fd < 0) return false;
      if (!hold || (object_access::take_hold(fd) && object_access::still_linked(fd, "/" + name))) break;
      ::close(fd);
      fd = -1;
      errno = EAGAIN;
    }
    if (fd < 0) return false;
    struct stat status {};
    if (::fstat(fd, &status) != 0) return false;
    if (static_cast<std::size_t>(status.st_size) < area_size && ::ftruncate(fd, area_size) != 0) return false;
    void* mapped = ::mmap(nullptr, area_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) return false;
    view = static_cast<char*>(mapped);
    return true;
  }
};

// Reads a NUL-terminated string at offset; false when the area ends first.
bool next_text(const std::vector<char>& bytes, std::size_t& offset, orv_renderer_text& text) {
  const void* end = std::memchr(bytes.data() + offset, '\0', bytes.size() - offset);
  if (!end) return false;
  text.data = bytes.data() + offset;
  text.size = static_cast<const char*>(end) - text.data;
  offset += text.size + 1;
  return true;
}

// Bytes of the element at the start of an area, up to its closing empty label; the whole
// area when it has no end.
std::size_t element_length(const char* area) {
  std::size_t offset = 0;
  const auto skip_text = [&] {  // false when the area ends first
    const void* end = offset < area_size ? std::memchr(area + offset, '\0', area_size - offset) : nullptr;
    if (!end) return false;
    offset = static_cast<std::size_t>(static_cast<const char*>(end) - area) + 1;
    return true;
  };
  if (!skip_text()) return area_size;  // the design
  for (;;) {
    const std::size_t label = offset;
    if (!skip_text()) return area_size;
    if (offset == label + 1) return offset;  // the empty label ends the element
    if (!skip_text() || !skip_text()) return area_size;
  }
}

}  // namespace

struct orv_renderer_channel {
  std::string encoded_name;
  std::string event_name;
  int socket = -1;
  int receive_timeout_ms = 0;  // as set on socket; a new socket has none
  std::size_t unanswered = 0;  // requests sent whose reset has not been read
  area element_area;
  area title_area;
  int title_mutex = -1;
  std::vector<char> element_bytes = std::vector<char>(area_size, '\0');
  std::vector<orv_renderer_value> values;
  std::vector<char> title_bytes = std::vector<char>(area_size, '\0');
  std::vector<orv_renderer_text> titles;
  std::size_t titles_end = 0;  // bytes of the list the last title read found, end marker included
  std::string last_error;
  bool element_held = false;

  ~orv_renderer_channel() {
    disconnect();
    if (title_mutex >= 0) ::close(title_mutex);
    element_area.close();
    title_area.close();
    // Our hold is gone with the element area's descriptor; the last holder removes them.
    if (element_held) object_access::remove_unheld(encoded_name);
  }

  int fail(int status, std::string text) {
    last_error = std::move(text);
    return status;
  }

  void disconnect() {
    if (socket >= 0) ::close(socket);
    socket = -1;
    receive_timeout_ms = 0;
    unanswered = 0;
  }

  int connect() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, event_name.data(), event_name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + event_name.size());
    socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) return fail(ORV_RENDERER_SYSTEM_ERROR, describe("socket", errno));
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
      const int error = errno;
      disconnect();
      if (error == ECONNREFUSED || error == ENOENT)
        return fail(ORV_RENDERER_NOT_SERVED, describe("No service for event named " + event_name, error));
      return fail(ORV_RENDERER_SYSTEM_ERROR, describe("connect to event named " + event_name, error));
    }
    return ORV_RENDERER_OK;
  }

  // The service may have dropped an earlier connection (ticker deleted and created again):
  // one reconnect is tried before the request counts as failed.
  int send_request() {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (socket < 0) {
        if (int status = connect(); status != ORV_RENDERER_OK) return status;
      }
      const char request = 1;
      if (::send(socket, &request, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) {
        ++unanswered;
        return ORV_RENDERER_OK;
      }
      const int error = errno;
      // A refused peer may find the socket closed before it asks; the reason waits unread.
      char unread[64];
      const ssize_t n = ::recv(socket, unread, sizeof unread, MSG_DONTWAIT);
      disconnect();
      if (n > 0 && std::memchr(unread, object_access::refusal_byte, static_cast<std::size_t>(n))) return refused();
      if (error != EPIPE && error != ECONNRESET)
        return fail(ORV_RENDERER_SYSTEM_ERROR, describe("send to event named " + event_name, error));
    }
    return fail(ORV_RENDERER_CLOSED, "The service closed event named " + event_name);
  }

  int refused() {
    return fail(ORV_RENDERER_REFUSED, "The service refused this user on event named " + event_name +
                                          ": only root, the service's user and members of the group " +
                                          object_access::renderer_group_name + " may attach");
  }

  // Resets arrive in request order, so the answer to the latest request is in place once
  // every request sent has been answered. The wait is the receive itself, bounded by the
  // socket's receive time-out: one system call per answer, as in a bare ping-pong.
  int wait_for_reset(int timeout_ms) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    int wait = timeout_ms < 0 ? -1 : timeout_ms;
    while (unanswered > 0) {
      if (wait > 0 && !receive_within(wait)) return fail(ORV_RENDERER_SYSTEM_ERROR, describe("setsockopt", errno));
      if (wait < 0 && !receive_within(0)) return fail(ORV_RENDERER_SYSTEM_ERROR, describe("setsockopt", errno));
      char resets[64];
      const ssize_t n =
          ::recv(socket, resets, unanswered < sizeof resets ? unanswered : sizeof resets, wait == 0 ? MSG_DONTWAIT : 0);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return timed_out();
      if (n <= 0 && !(n < 0 && errno == EINTR)) {
        const int error = n < 0 ? errno : 0;
        disconnect();
        if (error != 0 && error != ECONNRESET)
          return fail(ORV_RENDERER_SYSTEM_ERROR, describe("recv from event named " + event_name, error));
        return fail(ORV_RENDERER_CLOSED, "The service closed event named " + event_name);
      }
      if (n > 0 && std::memchr(resets, object_access::refusal_byte, static_cast<std::size_t>(n))) {
        disconnect();
        return refused();
      }
      if (n > 0) unanswered -= static_cast<std::size_t>(n);
      if (unanswered > 0 && wait > 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) return timed_out();
        wait = static_cast<int>(left);
      }
    }
    return ORV_RENDERER_OK;
  }

  int timed_out() { return fail(ORV_RENDERER_TIMED_OUT, "No answer from event named " + event_name + " in time"); }

  // Sets the receive time-out (0: none) unless it is set already.
  bool receive_within(int timeout_ms) {
    if (timeout_ms == receive_timeout_ms) return true;
    const timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return false;
    receive_timeout_ms = timeout_ms;
    return true;
  }

  int take_answer(int timeout_ms) {
    if (int status = wait_for_reset(timeout_ms); status != ORV_RENDERER_OK) return status;
    // A copy, so the element stays as delivered while the renderer works with it; what
    // follows the element's end is never read.
    std::memcpy(element_bytes.data(), element_area.view, element_length(element_area.view));
    return ORV_RENDERER_OK;
  }
};

extern "C" {

int orv_renderer_open(const char* name, size_t name_size, orv_renderer_channel** channel) {
  if (!channel || (!name && name_size > 0)) return ORV_RENDERER_INVALID_ARGUMENT;
  *channel = nullptr;
  try {
    const std::string encoded = encode_object_name(std::string_view(name ? name : "", name_size));
    auto opened = new orv_renderer_channel;
    opened->event_name = "event" + encoded;
    // The event's address must fit a socket address: a NUL byte and the name.
    if (("sectionmutex" + encoded).size() > max_object_name_size ||
        opened->event_name.size() + 1 > sizeof(sockaddr_un::sun_path)) {
      delete opened;
      return ORV_RENDERER_INVALID_ARGUMENT;
    }
    opened->encoded_name = encoded;
    // Areas of a group this user is not in: refused, as the service's socket would.
    const auto failure = [] { return errno == EACCES || errno == EPERM ? ORV_RENDERER_REFUSED : ORV_RENDERER_SYSTEM_ERROR; };
    int status = ORV_RENDERER_OK;
    if (!(opened->element_held = opened->element_area.open("mem" + encoded, true)))
      status = failure();
    else if (!opened->title_area.open("sections" + encoded))
      status = failure();
    else if ((opened->title_mutex = open_shared("sectionmutex" + encoded)) < 0)
      status = failure();
    if (status != ORV_RENDERER_OK) {
      delete opened;
      return status;
    }
    *channel = opened;
    return ORV_RENDERER_OK;
  } catch (const std::bad_alloc&) {
    return ORV_RENDERER_SYSTEM_ERROR;
  }
}

void orv_renderer_close(orv_renderer_channel* channel) { delete channel; }

int orv_renderer_request(orv_renderer_channel* channel, int timeout_ms) {
  if (!channel) return ORV_RENDERER_INVALID_ARGUMENT;
  try {
    channel->last_error.clear();
    if (int status = channel->send_request(); status != ORV_RENDERER_OK) return status;
    // The answer cannot be in yet: the caller waits for the descriptor.
    if (timeout_ms == 0) return channel->timed_out();
    return channel->take_answer(timeout_ms);
  } catch (const std::bad_alloc&) {
    return ORV_RENDERER_SYSTEM_ERROR;
  }
}

int orv_renderer_descriptor(const orv_renderer_channel* channel) { return channel ? channel->socket : -1; }

int orv_renderer_collect(orv_renderer_channel* channel) {
  if (!channel) return ORV_RENDERER_INVALID_ARGUMENT;
  channel->last_error.clear();
  return channel->take_answer(0);
}

int orv_renderer_read_element(orv_renderer_channel* channel, orv_renderer_element* element) {
  if (!channel || !element) return ORV_RENDERER_INVALID_ARGUMENT;
  try {
    channel->last_error.clear();
    channel->values.clear();
    const auto& bytes = channel->element_bytes;
    std::size_t offset = 0;
    orv_renderer_text design{};
    if (!next_text(bytes, offset, design)) return channel->fail(ORV_RENDERER_MALFORMED, "Element has no design");
    for (;;) {
      orv_renderer_value value{};
      if (!next_text(bytes, offset, value.label))
        return channel->fail(ORV_RENDERER_MALFORMED, "Element value list is not ended");
      if (value.label.size == 0) break;
      if (!next_text(bytes, offset, value.attribute) || !next_text(bytes, offset, value.text))
        return channel->fail(ORV_RENDERER_MALFORMED, "Element value is cut short");
      channel->values.push_back(value);
    }
    element->design = design;
    element->values = channel->values.data();
    element->value_count = channel->values.size();
    return ORV_RENDERER_OK;
  } catch (const std::bad_alloc&) {
    return ORV_RENDERER_SYSTEM_ERROR;
  }
}

}  // extern "C"

namespace {

int read_titles(orv_renderer_channel* channel, orv_renderer_titles* titles, int lock) {
  if (!channel || !titles) return ORV_RENDERER_INVALID_ARGUMENT;
  try {
    channel->last_error.clear();
    const auto keep_last = [&] {
      titles->titles = channel->titles.data();
      titles->count = channel->titles.size();
      return ORV_RENDERER_OK;
    };
    // An area that still holds the bytes of the last list holds that list: read through the
    // mutex only when they changed. A write under way compares unequal, or equal to the list
    // it replaces, which is what a read just before it would have found.
    if ((lock & LOCK_NB) && channel->titles_end > 0 &&
        std::memcmp(channel->title_area.view, channel->title_bytes.data(), channel->titles_end) == 0)
      return keep_last();
    while (::flock(channel->title_mutex, lock) != 0) {
      if (errno == EWOULDBLOCK) {
        // Someone else holds the mutex: the last list read stays in place.
        keep_last();
        return channel->fail(ORV_RENDERER_TIMED_OUT, "The title mutex is held elsewhere");
      }
      if (errno != EINTR) return channel->fail(ORV_RENDERER_SYSTEM_ERROR, describe("Locking the title mutex", errno));
    }
    std::memcpy(channel->title_bytes.data(), channel->title_area.view, area_size);
    ::flock(channel->title_mutex, LOCK_UN);

    channel->titles.clear();
    channel->titles_end = 0;
    std::size_t offset = 0;
    for (;;) {
      orv_renderer_text title{};
      if (!next_text(channel->title_bytes, offset, title))
        return channel->fail(ORV_RENDERER_MALFORMED, "Title list is not ended");
      if (title.size == 0) break;
      channel->titles.push_back(title);
    }
    channel->titles_end = offset;
    titles->titles = channel->titles.data();
    titles->count = channel->titles.size();
    return ORV_RENDERER_OK;
  } catch (const std::bad_alloc&) {
    return ORV_RENDERER_SYSTEM_ERROR;
  }
}

}  // namespace

extern "C" {

int orv_renderer_read_titles(orv_renderer_channel* channel, orv_renderer_titles* titles) {
  return read_titles(channel, titles, LOCK_EX);
}

int orv_renderer_try_read_titles(orv_renderer_channel* channel, orv_renderer_titles* titles) {
  return read_titles(channel, titles, LOCK_EX | LOCK_NB);
}

const char* orv_renderer_last_error(const orv_renderer_channel* channel) {
  return channel ? channel->last_error.c_str() : "";
}

const char* orv_renderer_status_text(int status) {
  switch (status) {
    case ORV_RENDERER_OK: return "ok";
    case ORV_RENDERER_TIMED_OUT: return "timed out";
    case ORV_RENDERER_NOT_SERVED: return "ticker not served";
    case ORV_RENDERER_CLOSED: return "channel closed by the service";
    case ORV_RENDERER_MALFORMED: return "malformed area";
    case ORV_RENDERER_SYSTEM_ERROR: return "system error";
    case ORV_RENDERER_INVALID_ARGUMENT: return "invalid argument";
    case ORV_RENDERER_REFUSED:
      return "refused: only root, the service's user and members of the group orvticker may attach";
    default: return "unknown status";
  }
}

}  // extern "C"
