#include "stress/stress_web.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "stress/on_air_priority.h"

namespace orv::stress {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

std::string file_text(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool has(const beast::flat_buffer& buffer, std::string_view part) {
  const auto data = buffer.cdata();
  return std::string_view(static_cast<const char*>(data.data()), data.size()).find(part) != std::string_view::npos;
}

}  // namespace

// Every monitor page reads whatever the bridge sends, as a browser does.
struct web_load::monitor_pages {
  struct page {
    explicit page(asio::io_context& io) : ws(io) {}
    websocket::stream<tcp::socket> ws;
    beast::flat_buffer buffer;
    bool got_state = false;
  };
  std::vector<std::unique_ptr<page>> pages;
  cycle totals;  // its monitor figures
  bool closing = false;
  int open = 0;

  void read(const std::shared_ptr<monitor_pages>& self, page& p) {
    p.ws.async_read(p.buffer, [self, &p](const beast::error_code& ec, std::size_t) {
      if (ec) {
        --self->open;
        if (!self->closing) ++self->totals.monitors_dropped;
        return;
      }
      ++self->totals.monitor_messages;
      if (!p.got_state && has(p.buffer, R"("type":"state","exists":true)")) {
        p.got_state = true;
        ++self->totals.monitors_with_state;
      }
      p.buffer.consume(p.buffer.size());
      self->read(self, p);
    });
  }
};

web_load::web_load(const std::string& program, const tcp::endpoint& service, const std::filesystem::path& scratch)
    : scratch_(scratch) {
  const std::string service_text = "127.0.0.1:" + std::to_string(service.port());
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (const auto& [name, fd] : {std::pair{"web.out", 1}, std::pair{"web.err", 2}}) {
      const int file = ::open((scratch / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(file, fd);
      ::close(file);
    }
    // Port 0: the bridge says where it listens.
    ::execl(program.c_str(), program.c_str(), "--listen", "127.0.0.1:0", "--service", service_text.c_str(),
            "--log-events", "127.0.0.1:1", nullptr);
    ::_exit(127);
  }
}

web_load::~web_load() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool web_load::running() {
  if (exited_ || pid_ <= 0) return false;
  int status = 0;
  exited_ = ::waitpid(pid_, &status, WNOHANG) == pid_;
  return !exited_;
}

bool web_load::ready() {
  const std::string says = "pages at http://127.0.0.1:";
  for (auto until = clock::now() + std::chrono::seconds(30); clock::now() < until && running();) {
    const std::string out = file_text(scratch_ / "web.out");
    if (const auto at = out.find(says); at != std::string::npos) {
      at_ = tcp::endpoint(asio::ip::address_v4::loopback(),
                          static_cast<unsigned short>(std::atoi(out.c_str() + at + says.size())));
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

long web_load::resident_kib() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

void web_load::begin_cycle(asio::io_context& io, const std::string& ticker, int monitors) {
  stop_ = false;
  render_done_ = false;
  render_worst_ms_ = 0;
  render_served_ = 0;
  render_failures_ = 0;
  cycle_start_ = clock::now();
  render_thread_ = std::thread([this, ticker] { pull(ticker); });

  cycles_.emplace_back();
  monitors_ = std::make_shared<monitor_pages>();
  for (int i = 0; i < monitors; ++i) {
    auto& p = *monitors_->pages.emplace_back(std::make_unique<monitor_pages::page>(io));
    ++monitors_->totals.monitors;
    ++monitors_->open;
    p.ws.next_layer().async_connect(at_, [self = monitors_, &p, ticker, at = at_](const beast::error_code& ec) {
      if (ec) {
        --self->open;
        ++self->totals.monitors_dropped;
        return;
      }
      p.ws.async_handshake("127.0.0.1:" + std::to_string(at.port()), "/ws/monitor/" + ticker,
                           [self, &p](const beast::error_code& e) {
                             if (e) {
                               --self->open;
                               ++self->totals.monitors_dropped;
                               return;
                             }
                             self->read(self, p);
                           });
    });
  }
}

void web_load::load_ended(double native_worst_ms) {
  cycles_.back().native_worst_ms = native_worst_ms;
  cycles_.back().render_worst_ms = render_worst_ms_;
  cycles_.back().render_worst_at = render_worst_at_;
}

void web_load::end_cycle(asio::io_context& io) {
  stop_ = true;
  // A bridge that stopped answering must not hold the run: its socket is shut under it.
  for (auto until = clock::now() + std::chrono::seconds(10); !render_done_ && clock::now() < until;)
    io.run_for(std::chrono::milliseconds(50));
  if (!render_done_ && render_fd_ >= 0) ::shutdown(render_fd_, SHUT_RDWR);
  render_thread_.join();

  monitors_->closing = true;
  for (auto& p : monitors_->pages) {
    boost::system::error_code ignored;
    p->ws.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
  }
  for (auto until = clock::now() + std::chrono::seconds(10); monitors_->open > 0 && clock::now() < until;)
    io.run_for(std::chrono::milliseconds(50));
  cycle& c = cycles_.back();
  c.monitors = monitors_->totals.monitors;
  c.monitors_with_state = monitors_->totals.monitors_with_state;
  c.monitors_dropped = monitors_->totals.monitors_dropped;
  c.monitor_messages = monitors_->totals.monitor_messages;
  monitors_.reset();  // its sockets go before io does
  cycles_.back().render_served = render_served_;
  cycles_.back().render_failures = render_failures_;
}

void web_load::report(const std::function<void(const std::string&, double, const std::string&)>& figure,
                      const std::function<void(const std::string&, bool)>& check) {
  double native = 0, paged = 0;
  bool monitors_held = true, render_held = true;
  for (const auto& c : cycles_) {
    std::printf("web round %zu: render page worst %.3g ms, %.3g s into the round; native renderer worst %.3g ms\n",
                static_cast<std::size_t>(&c - cycles_.data() + 1), c.render_worst_ms, c.render_worst_at,
                c.native_worst_ms);
    native = std::max(native, c.native_worst_ms);
    paged = std::max(paged, c.render_worst_ms);
    monitors_held = monitors_held && c.monitors_with_state == c.monitors && c.monitors_dropped == 0;
    render_held = render_held && c.render_served > 0 && c.render_failures == 0;
  }
  if (!trouble_.empty()) std::printf("web render page: %s\n", trouble_.c_str());
  const cycle& last = cycles_.back();
  figure("web_monitor_pages", last.monitors, "pages");
  figure("web_monitor_pages_with_state", last.monitors_with_state, "pages");
  figure("web_monitor_pages_dropped", last.monitors_dropped, "pages");
  figure("web_monitor_messages", static_cast<double>(last.monitor_messages), "messages");
  figure("web_render_requests_served", static_cast<double>(last.render_served), "requests");
  figure("native_renderer_worst_wait", native, "ms");
  figure("web_render_worst_wait", paged, "ms");
  figure("web_bridge_resident", static_cast<double>(resident_kib()), "KiB");
  check("every monitor page got the state and stayed, in every round", monitors_held);
  check("the render page was served throughout, in every round", render_held);
  // Reported, not judged: the page's requests cross the bridge and two more sockets, and on
  // two busy cores each crossing may wait a scheduler turn, so its worst swings between 1x
  // and 10x the native one from run to run.
  figure("web_render_worst_wait_vs_native", native > 0 ? paged / native : 0, "x");
  check("the bridge still runs", running());
  const std::string errors = file_text(scratch_ / "web.err");
  check("no sanitizer report from the bridge", errors.find("ERROR: AddressSanitizer") == std::string::npos &&
                                                   errors.find("runtime error:") == std::string::npos);
}

// The render page's round trips, each timed from "next" to the element, as the native
// renderer times its requests.
void web_load::pull(const std::string& ticker) {
  take_on_air_priority();
  asio::io_context io;
  websocket::stream<tcp::socket> page(io);
  beast::flat_buffer buffer;
  boost::system::error_code ec;
  const auto fail = [&](const std::string& why) {
    ++render_failures_;
    trouble_ = why;
  };
  // The previous cycle's page may still be leaving: a refusal is tried again for a while.
  for (auto until = clock::now() + std::chrono::seconds(5); !stop_;) {
    page.next_layer().connect(at_, ec);
    if (!ec) page.handshake("127.0.0.1:" + std::to_string(at_.port()), "/ws/render/" + ticker, ec);
    if (ec) return (fail("render page not opened: " + ec.message()), render_done_ = true, void());
    page.next_layer().set_option(tcp::no_delay(true));
    render_fd_ = page.next_layer().native_handle();
    page.write(asio::buffer(std::string_view("next")), ec);
    for (buffer.clear(); !ec && !has(buffer, R"("type":"element")") && !has(buffer, R"("type":"refused")");) {
      buffer.clear();
      page.read(buffer, ec);
    }
    if (ec || !has(buffer, R"("type":"refused")")) break;
    render_fd_ = -1;
    page.next_layer().close(ec);
    if (clock::now() > until) return (fail("render page refused"), render_done_ = true, void());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  while (!stop_ && !ec) {
    const auto start = clock::now();
    page.write(asio::buffer(std::string_view("next")), ec);
    for (buffer.clear(); !ec && !has(buffer, R"("type":"element")");) {
      buffer.clear();
      page.read(buffer, ec);
    }
    if (ec) break;
    if (!has(buffer, R"("served":true)")) {
      fail("an element not served");
      continue;
    }
    const auto waited = std::chrono::duration<double, std::milli>(clock::now() - start).count();
    ++render_served_;
    if (waited > render_worst_ms_) {
      render_worst_ms_ = waited;
      render_worst_at_ = std::chrono::duration<double>(start - cycle_start_).count();
    }
  }
  if (ec && !stop_) fail("render page lost: " + ec.message());
  if (!ec) page.close(websocket::close_code::normal, ec);
  render_fd_ = -1;
  render_done_ = true;
}

}  // namespace orv::stress
