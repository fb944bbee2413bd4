// The service and the renderers run ahead of the load, as on air: the unit the service is
// registered with gives it Nice=-10, and a station runs its renderer ahead of other work the
// same way. The bridge stays at 0: its 200 monitor pages are load. Without the privilege to raise priority, everything stays at 0
// and the waits measured include what the scheduler gives to the load.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

namespace orv::stress {

constexpr int on_air_nice = -10;

// For the calling thread (and the threads and programs it starts after); false when refused.
inline bool take_on_air_priority() { return ::setpriority(PRIO_PROCESS, ::gettid(), on_air_nice) == 0; }

}  // namespace orv::stress
