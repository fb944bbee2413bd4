#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>

#include "stress/stress_clients.h"

namespace orv::stress {

// Where the attacks on the renderer objects put their figures and verdicts.
struct access_report {
  std::function<void(const std::string& name, double value, const std::string& unit)> figure;
  std::function<void(const std::string& what, bool held)> check;
  std::function<void(const std::string& text)> note;
};

// A peer of another user (a throwaway one, made with useradd where the run is root) must be
// refused at the request socket and kept out of the areas, and must not lock out the real
// renderer; then the service runs out of descriptors while a renderer connects: it must not
// spin or flood its logs, and must take the renderer once descriptors are freed. Creates the
// ticker it attacks. scratch holds the service's console output and log files. Run it with
// no other thread running: it forks.
void attack_renderer_objects(pid_t service, const tcp::endpoint& service_at, const std::filesystem::path& scratch,
                             const access_report& out);

}  // namespace orv::stress
