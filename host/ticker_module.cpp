#include "host/ticker_module.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <iostream>
#include <string>
#include <vector>

#include "host/elevation.h"
#include "host/paths.h"
#include "host/registration.h"
#include "host/registry_store.h"
#include "runtime/system_error.h"

namespace orv {

namespace {

bool elevated(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
    if (word == "--elevated") return true;
  }
  return false;
}

int register_as_asked(int argc, char** argv) {
  const std::string command = registration_command(argc, argv);
  registration module{registry_store::root_from_environment(), executable_path(), std::cout};
  if (command == "Service") return module.register_service();
  if (command == "UnregServer") return module.unregister();
  return module.register_server();
}

}  // namespace

int registration_mode(int argc, char** argv) {
  int code = 0;
  try {
    if (::geteuid() != 0 && !elevated(argc, argv))
      code = relaunch_elevated(executable_path().string(), std::vector<std::string>(argv + 1, argv + argc));
    else
      code = register_as_asked(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return -1;
  }
  if (code != 0)
    std::cerr << "An error occured while trying to register or "
              << "un register Ticker Service:\n"
              << vorn::format_system_error(code) << std::endl;
  return code;
}

int start_module(vorn::logger_base& log, const std::function<int(const service_manager&)>& run) {
  registry_store registry(registry_store::root_from_environment());
  if (!registry.key_exists(appid_root_key) || !registry.key_exists(module_appid_key)) {
    std::cerr << "Ticker Service is not registered: run 'orv_ticker "
                 "--RegServer' to run it in a console, or "
                 "'orv_ticker --Service' to install it as a service."
              << std::endl;
    return ENOENT;
  }
  if (!registry.value(module_appid_key, "LocalService")) return run(service_manager(false));

  if (!service_manager::present()) {
    std::cerr << "Ticker Service is registered as a service: start it with "
                 "'systemctl start OrvTicker' (or run "
                 "'orv_ticker --RegServer' to use it in a console)."
              << std::endl;
    return ENOTCONN;
  }
  if (log.should_log(40))
    log.stream(40) << "---------------------------------\nTicker service "
                      "started as SERVICE\n"
                      "---------------------------------\nWith parameters:\n";
  const service_manager manager(true);
  manager.report("STATUS=Starting");
  const int result = run(manager);
  manager.report("STATUS=Stopped");
  manager.event("Service stopped");
  return result;
}

}  // namespace orv
