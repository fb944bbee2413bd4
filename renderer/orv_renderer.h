/* Client side of a ticker's renderer channel, callable from C and from anything that binds C.
 *
 * A channel is opened by ticker name. orv_renderer_request asks the service for the next
 * element and returns once the answer is in place; orv_renderer_read_element then decodes it
 * and orv_renderer_read_titles reads the upcoming section titles under the title mutex.
 * Use a channel from one thread at a time. Element texts stay valid until the next request
 * or element read on the channel, title texts until the next title read, all of them until
 * the channel is closed.
 */
#ifndef ORV_RENDERER_H
#define ORV_RENDERER_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ORV_RENDERER_API __attribute__((visibility("default")))
#else
#define ORV_RENDERER_API
#endif

typedef enum orv_renderer_status {
  ORV_RENDERER_OK = 0,
  ORV_RENDERER_TIMED_OUT = 1,       /* no answer within the time-out; the next request waits for it */
  ORV_RENDERER_NOT_SERVED = 2,      /* no service serves a ticker of that name */
  ORV_RENDERER_CLOSED = 3,          /* the service closed the channel (ticker deleted, service ended) */
  ORV_RENDERER_MALFORMED = 4,       /* an area holds no well-formed list */
  ORV_RENDERER_SYSTEM_ERROR = 5,    /* a system call failed; see orv_renderer_last_error */
  ORV_RENDERER_INVALID_ARGUMENT = 6, /* null pointer, or a ticker name too long for its objects */
  ORV_RENDERER_REFUSED = 7          /* this user may not attach: not root, not the service's user and
                                       not in the renderer group ("orvticker") */
} orv_renderer_status;

/* A byte string out of an area: size bytes at data, followed by a NUL byte. */
typedef struct orv_renderer_text {
  const char* data;
  size_t size;
} orv_renderer_text;

typedef struct orv_renderer_value {
  orv_renderer_text label;
  orv_renderer_text attribute;
  orv_renderer_text text;
} orv_renderer_value;

/* The empty element (nothing to show) has an empty design and no values. */
typedef struct orv_renderer_element {
  orv_renderer_text design;
  const orv_renderer_value* values;
  size_t value_count;
} orv_renderer_element;

typedef struct orv_renderer_titles {
  const orv_renderer_text* titles;
  size_t count;
} orv_renderer_titles;

typedef struct orv_renderer_channel orv_renderer_channel;

/* Opens (creating them when the service has not yet) the ticker's shared areas and holds
 * them until the channel is closed: a ticker deleted and created again meanwhile shares them.
 * The ticker name is name_size bytes at name; any bytes are allowed. Connecting to the
 * service waits for the first request. ORV_RENDERER_REFUSED when the areas belong to a group
 * this user is not in. */
ORV_RENDERER_API int orv_renderer_open(const char* name, size_t name_size, orv_renderer_channel** channel);
/* Closes everything; the areas go when neither the service nor another renderer holds them. */
ORV_RENDERER_API void orv_renderer_close(orv_renderer_channel* channel);

/* Asks for the next element and waits for the answer: at most timeout_ms milliseconds, or
 * without limit when timeout_ms is negative. On ORV_RENDERER_OK the element is in place. */
ORV_RENDERER_API int orv_renderer_request(orv_renderer_channel* channel, int timeout_ms);

/* For callers with an event loop of their own: orv_renderer_request with a time-out of 0
 * only sends the request and answers ORV_RENDERER_TIMED_OUT (or the failure to send); wait
 * until the descriptor is readable and call orv_renderer_collect, which takes the resets that
 * have arrived without waiting: ORV_RENDERER_OK once the answer is in place, ORV_RENDERER_TIMED_OUT while it is
 * not. The descriptor is -1 while the channel is not connected; it stays the channel's. */
ORV_RENDERER_API int orv_renderer_descriptor(const orv_renderer_channel* channel);
ORV_RENDERER_API int orv_renderer_collect(orv_renderer_channel* channel);

/* Decodes the element delivered by the last successful request (the empty element before
 * the first one). */
ORV_RENDERER_API int orv_renderer_read_element(orv_renderer_channel* channel, orv_renderer_element* element);

/* Reads the title list, holding the title mutex while it copies the area. */
ORV_RENDERER_API int orv_renderer_read_titles(orv_renderer_channel* channel, orv_renderer_titles* titles);
/* The same without waiting, for callers that must not block: ORV_RENDERER_TIMED_OUT while
 * someone else holds the title mutex, with the list of the last read left in titles. An area
 * that still holds the bytes of the last list read gives that list without the mutex. */
ORV_RENDERER_API int orv_renderer_try_read_titles(orv_renderer_channel* channel, orv_renderer_titles* titles);

/* What went wrong in the last failed call on the channel; "" when nothing did. */
ORV_RENDERER_API const char* orv_renderer_last_error(const orv_renderer_channel* channel);
/* A short English text for a status code. */
ORV_RENDERER_API const char* orv_renderer_status_text(int status);

#ifdef __cplusplus
}
#endif

#endif
