#include "host/program.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <sys/resource.h>


#include <boost/program_options.hpp>

#include "automation/automation_bus.h"
#include "control/tickertalk.h"
#include "engine/ticker_control.h"
#include "event_server/event_server.h"
#include "host/app_core.h"
#include "host/console_title.h"
#include "host/paths.h"
#include "host/settings.h"
#include "host/single_instance.h"
#include "host/startup_report.h"
#include "host/ticker_module.h"
#include "hosting/ticker_manager.h"
#include "runtime/asyncore.h"
#include "runtime/buffer_release.h"
#include "runtime/line_logger.h"
#include "runtime/log_targets.h"
#include "runtime/system_error.h"
#include "runtime/tcp_listener.h"
#include "state/state_keeper.h"

namespace po = boost::program_options;

namespace orv {

namespace {

// Tests run several instances side by side; each gets its own name through this variable.
std::string singleton_name() {
  const char* instance = std::getenv("ORV_TICKER_INSTANCE");
  return std::string("ORVTICKER_SINGLETON") + (instance ? instance : "");
}

po::options_description option_description() {
  po::options_description options("Allowed options", 80);
  // clang-format off
  options.add_options()
      ("help", "Shows this help message")
      ("log-level", po::value<int>()->default_value(50), "The log level to use. A value in [0-100]")
      ("port", po::value<int>()->default_value(6301), "The port to bind the socket interface to.")
      ("ignore-inactive-qm-groups",
       "Ignore inactive Quillmere groups. Groups that have a field called 'active' with value '0' will be ignored")
      ("RegServer", "Register Ticker Service to run as a server in a console")
      ("UnregServer",
       "Remove the Ticker Service from the registry. Only valid when Ticker Service is registered as a server.")
      ("Service", "Register Ticker Service to run as a service")
      ("elevated",
       "Used internally by Ticker Service on Windows Vista to indicate whether Ticker Service has elevated "
       "privileges or not. This parameter is not meant to be set by the user.");
  // clang-format on
  return options;
}

// Every ticker holds four descriptors and every connection one: take what the system allows.
void raise_descriptor_limit(vorn::logger_base& log) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  const rlim_t before = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    if (log.should_log(30))
      log.stream(30) << vorn::win32_error("Couldn't raise the descriptor limit from " + std::to_string(before)).what()
                     << "\n";
    return;
  }
  if (log.should_log(45))
    log.stream(45) << "Descriptor limit raised from " << before << " to " << limit.rlim_cur << "\n";
}

void main_loop(vorn::logger_base& log) {
  if (log.should_log(40)) log.stream(40) << "Starting message loop.\n";
  for (;;) {
    auto core = current_app_core.lock();
    if (!core || core->asyncore->quit_signalled()) break;
    try {
      core->asyncore->process(vorn::asyncore::infinite);
    } catch (const std::exception& e) {
      if (log.should_log(40))
        log.stream(40) << "C++ exception caught in main message loop.\n  What: " << e.what() << "\n";
    }
  }
  if (log.should_log(40))
    log.stream(40) << "Message loop stopped.\n----------------------------\nTicker service soft shutdown\n"
                      "----------------------------\n";
}

// The registry object binds to the core on its first call, through the process-wide handle.
automation_core bind_automation() {
  automation_core bound;
  if (auto core = current_app_core.lock()) {
    bound.tickers = core->ticker_manager;
    bound.logger = core->logger;
  }
  return bound;
}

// With STATE_DIRECTORY set (a service unit's StateDirectory=), the tickers are kept in a
// database there; its first folder is the one used. Without it nothing is kept.
std::shared_ptr<state_keeper> open_state(vorn::asyncore& loop, vorn::logger_base& root) {
  const char* folders = std::getenv("STATE_DIRECTORY");
  if (!folders || !*folders) return nullptr;
  const std::string folder = std::string(folders).substr(0, std::string(folders).find(':'));
  auto log = root.create_sublogger("state", -1);
  try {
    return state_keeper::open(folder, loop.io_context(), log);
  } catch (const std::exception& e) {
    if (log->should_log(20)) log->stream(20) << "Tickers are not kept: " << e.what() << std::endl;
    return nullptr;
  }
}

// Puts the kept tickers back; the listener accepts no client before the loop runs.
void restore_state(state_keeper& keeper, ticker_manager& tickers) {
  keeper.restore([&tickers](const std::string& name) {
    tickers.AddTicker(name);
    return std::dynamic_pointer_cast<TickerControl>(tickers.GetTicker(name));
  });
}

// Log targets, banner and title, then the main loop until a stop signal arrives.
int run(vorn::line_logger& root, const app_core& core, const event_server_instance& event_server,
        const service_manager& manager, const std::function<void()>& before_loop) {
  auto console = std::make_shared<vorn::console_log_target>(root.get_shared_timer(), 1);
  const auto log_folder = log_directory("Ostrant", "Ticker Service");
  root.construct_standard_log_targets("Ticker Service", log_folder, console, true, "ticker-", true);
  root.hijack_standard_streams();
  vorn::print_application_header("Orv | Ticker Service", settings_file_for_banner("ticker.ini"));
  const std::string version = product_version();
  print_startup_report({version, core.port, event_server.port(), event_server.failure(),
                        vorn::daily_file_log_target(log_folder, "ticker-", "Ticker Service", root.get_shared_timer())
                            .path_for(std::chrono::system_clock::now())},
                       std::cout);
  set_console_title(console_title(version), root);
  before_loop();
  // The automation objects are offered for the length of the main loop.
  auto automation = serve_automation(core.asyncore->io_context(), automation_settings::from_environment(),
                                     bind_automation, root.create_sublogger("OrvTickers", -1));
  if (manager.is_service()) {
    manager.event("Service started");
    manager.report("READY=1\nSTATUS=Service started");
  }
  main_loop(root);
  manager.report("STOPPING=1");
  return 0;
}

}  // namespace

bool is_registration_word(const std::string& argument) {
  std::string word = argument;
  std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const char* registration : {"/regserver", "/unregserver", "/service", "-regserver", "-unregserver",
                                   "--regserver", "--unregserver", "-service", "--service"})
    if (word == registration) return true;
  return false;
}

int ticker_service_main(int argc, char** argv) {
  vorn::tune_allocator();
  auto root = std::make_shared<vorn::line_logger>("", 95, nullptr);
  root->construct_debug_log_target();

  for (int i = 1; i < argc; ++i)
    if (is_registration_word(argv[i])) return registration_mode(argc, argv);

  auto instance = single_instance::acquire(singleton_name());
  if (!instance) {
    std::cerr << "An instance of Orv|Ticker Service is already running." << std::endl;
    return 1;
  }

  auto options = option_description();
  po::variables_map parsed;
  try {
    po::store(po::parse_command_line(argc, argv, options), parsed);
    po::notify(parsed);
  } catch (const po::invalid_option_value& e) {
    std::cout << "A specified option has an invalid value: " << e.what() << "\n\n" << options << std::endl;
    return -1;
  } catch (const po::error& e) {
    std::cout << "Error: " << e.what() << "\n\n" << options << std::endl;
    return -1;
  }

  if (parsed.count("help")) {
    std::cout << options << "\n";
    return 1;
  }

  const int log_level = parsed["log-level"].as<int>();
  if (static_cast<unsigned>(log_level) > 100) {
    std::cout << "Log level must be in [0-100]" << std::endl;
    return -1;
  }
  root->set_accepted_level(log_level);
  raise_descriptor_limit(*root);
  const int port = parsed["port"].as<int>();
  const bool ignore_inactive = parsed.count("ignore-inactive-qm-groups") > 0;

  auto loop = std::make_shared<vorn::asyncore>(root->create_sublogger("asyncore", -1));

  // Port 6300 taken: the server says so on standard error and start-up goes on without it.
  auto event_server = std::make_shared<event_server_instance>(loop, root->create_sublogger("event_server", log_level));

  auto core = std::make_shared<app_core>(loop, event_server, root, port, ignore_inactive);
  current_app_core = core;
  auto tickers = std::make_shared<ticker_manager>(core);

  int result = -1;
  std::shared_ptr<state_keeper> state;
  try {
    core->ticker_manager = tickers;
    auto factory = std::make_shared<tickertalk_factory>(root->create_sublogger("tickertalk", log_level), tickers.get());
    core->tickertalk_factory = factory;
    // Port 0 lets the system choose; the core keeps the port actually bound.
    core->port = vorn::listen_tcp(*core->asyncore, port, factory)->port();
    result = start_module(*root, [&](const service_manager& manager) {
      return run(*root, *core, *event_server, manager, [&] {
        state = open_state(*loop, *root);
        if (!state) return;
        tickers->set_state_keeper(state);
        restore_state(*state, *tickers);
      });
    });
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
  }
  if (state) state->shutdown();

  // The registry and the core refer to each other; part them so that the tickers go now,
  // while the event loop they registered with still exists.
  core->tickertalk_factory.reset();
  core->ticker_manager.reset();
  return result;
}

}  // namespace orv
