/* Compiled as C: the client header must stay usable from C. */
#include <string.h>

#include "renderer/orv_renderer.h"

int orv_renderer_c_check(void) {
  orv_renderer_channel* channel = 0;
  orv_renderer_element element;
  memset(&element, 0, sizeof element);
  if (orv_renderer_open("x", 1, 0) != ORV_RENDERER_INVALID_ARGUMENT) return 1;
  if (orv_renderer_read_element(channel, &element) != ORV_RENDERER_INVALID_ARGUMENT) return 2;
  if (strcmp(orv_renderer_status_text(ORV_RENDERER_TIMED_OUT), "timed out") != 0) return 3;
  return 0;
}
