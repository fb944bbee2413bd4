#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

namespace orv::stress {

// A dbus-daemon of the run's own, so the service's automation objects can be loaded.
class private_bus {
 public:
  explicit private_bus(const std::filesystem::path& folder);
  ~private_bus();
  private_bus(const private_bus&) = delete;
  private_bus& operator=(const private_bus&) = delete;

  const std::string& address() const { return address_; }
  bool ready() const;

 private:
  std::filesystem::path socket_;
  std::string address_;
  pid_t pid_ = -1;
};

// One client that keeps calls to the automation objects in flight, from its own thread, until
// stopped: the registry's ListTickers and, on one ticker's object, ListGroups, GetGroupNames
// and AddPriorityGroup.
class automation_flood {
 public:
  automation_flood(const std::string& bus_address, const std::string& ticker);
  ~automation_flood();

  std::int64_t answered() const { return answered_; }
  std::int64_t failed() const { return failed_; }
  const std::string& trouble() const { return trouble_; }

 private:
  void run(const std::string& bus_address, const std::string& ticker);

  std::atomic<bool> stop_{false};
  std::atomic<std::int64_t> answered_{0};
  std::atomic<std::int64_t> failed_{0};
  std::string trouble_;
  std::thread thread_;
};

}  // namespace orv::stress
