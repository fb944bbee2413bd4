// orv_ticker_web: the web pages of the ticker service, a separate process that reaches the
// service only through tickertalk, the renderer channel and the log event server.

#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <random>

#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>

#include "runtime/asyncore.h"
#include "web/bridge.h"
#include "web/http_server.h"
#include "web/service_link.h"
#include "web/site_files.h"

namespace {

namespace po = boost::program_options;
using namespace orv::web;

class stderr_logger : public vorn::logger_base {
 public:
  explicit stderr_logger(int level) : level_(level) {}
  bool should_log(int level) const override { return level <= level_; }
  std::shared_ptr<logger_base> create_sublogger(const std::string&, int) override {
    return std::make_shared<stderr_logger>(level_);
  }

 protected:
  void write_message(int, const std::string& text) override { std::cerr << text << std::flush; }

 private:
  int level_;
};

std::pair<std::string, std::string> host_and_port(const std::string& text, const std::string& option) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
    throw std::runtime_error("--" + option + " takes HOST:PORT, not '" + text + "'");
  return {text.substr(0, colon), text.substr(colon + 1)};
}

std::filesystem::path next_to_program(const char* argv0) {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) self = std::filesystem::absolute(argv0);
  const auto dir = self.parent_path();
  for (auto candidate : {dir / "web-static", dir / ".." / "share" / "orv_ticker_web" / "static"})
    if (std::filesystem::exists(candidate / "index.html")) return candidate;
  return dir / "web-static";
}

std::string new_token() {
  std::random_device random;
  std::string token;
  for (int i = 0; i < 4; ++i) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", random());
    token += part;
  }
  return token;
}

int run(int argc, char** argv) {
  po::options_description options("orv_ticker_web options");
  options.add_options()("help,h", "this text")(
      "listen", po::value<std::string>()->default_value("127.0.0.1:6380"), "address and port of the pages")(
      "service", po::value<std::string>()->default_value("127.0.0.1:6301"), "the service's tickertalk address")(
      "log-events", po::value<std::string>(), "the service's log event server (default: its host, port 6300)")(
      "templates", po::value<std::string>()->default_value(""), "folder of the station's render templates")(
      "static", po::value<std::string>(), "folder of the built-in pages (default: installed next to the program)")(
      "token", po::value<std::string>(), "token every page must show (default: none on loopback, else generated)")(
      "max-clients", po::value<std::size_t>()->default_value(512), "connections served at once");
  po::variables_map vm;
  po::store(po::parse_command_line(argc, argv, options), vm);
  po::notify(vm);
  if (vm.count("help")) {
    std::cout << options;
    return 0;
  }

  const auto [listen_host, listen_port] = host_and_port(vm["listen"].as<std::string>(), "listen");
  const auto [service_host, service_port] = host_and_port(vm["service"].as<std::string>(), "service");
  const auto [log_host, log_port] = vm.count("log-events") ? host_and_port(vm["log-events"].as<std::string>(), "log-events")
                                                           : std::pair<std::string, std::string>{service_host, "6300"};
  const boost::asio::ip::tcp::endpoint where(boost::asio::ip::make_address(listen_host),
                                             static_cast<unsigned short>(std::stoi(listen_port)));

  access_rules access;
  if (vm.count("token")) {
    access.token = vm["token"].as<std::string>();
    access.token_for_reads = true;
  } else if (!where.address().is_loopback()) {
    access.token = new_token();
  }
  server_limits limits;
  limits.max_clients = vm["max-clients"].as<std::size_t>();

  const site_files files(vm.count("static") ? std::filesystem::path(vm["static"].as<std::string>())
                                            : next_to_program(argv[0]),
                         vm["templates"].as<std::string>());

  auto logger = std::make_shared<stderr_logger>(20);
  auto loop = std::make_shared<vorn::asyncore>(logger);
  auto link = std::make_shared<service_link>(*loop, logger, service_host, service_port);
  auto logs = std::make_shared<log_feed>(*loop, logger, log_host, log_port);
  bridge pages(loop->io_context(), link);
  logs->on_line = [&pages](const std::string& line) { pages.log_line(line); };
  http_server server(loop->io_context(), where, limits, access, pages, files);

  std::cout << "orv_ticker_web: pages at http://" << listen_host << ":" << server.port() << "/, service at "
            << service_host << ":" << service_port << std::endl;
  if (!access.token.empty() && !vm.count("token"))
    std::cout << "orv_ticker_web: token for changes: " << access.token << " (add ?token=" << access.token
              << " to a page's address)" << std::endl;
  link->start();
  logs->start();
  // The bridge has no urgent descriptors to serve between handlers, so the loop runs
  // without process()'s extra look at the descriptors after each turn.
  boost::asio::signal_set stop(loop->io_context(), SIGTERM, SIGINT);
  stop.async_wait([&](const boost::system::error_code& ec, int) {
    if (!ec) loop->io_context().stop();
  });
  loop->io_context().run();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "orv_ticker_web: " << e.what() << std::endl;
    return 1;
  }
}
