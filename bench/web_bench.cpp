// The render path through orv_ticker_web against the native renderer channel it stands on.
// A release orv_ticker and orv_ticker_web started here serve two tickers alike; one is read
// through the renderer client library, the other by a Beast WebSocket client that asks the
// bridge as a render page does ("next", then the element as JSON). Both run in alternating
// blocks so that load from elsewhere on the machine hits them alike.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/program_options.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench/child_process.h"
#include "bench/figures.h"
#include "bench/relay_floor.h"
#include "bench/round_trips.h"
#include "hosting/object_name.h"
#include "renderer/orv_renderer.h"
#include "tools/command_line.h"
#include "tools/tickertalk_client.h"

namespace orv::bench {
namespace {

namespace fs = std::filesystem;
namespace beast = boost::beast;
using clock = std::chrono::steady_clock;
using tcp = boost::asio::ip::tcp;

constexpr int blocks = 10;

struct options {
  std::string service = ORV_TICKER_EXE;
  std::string web = ORV_TICKER_WEB_EXE;
  std::string static_dir = ORV_WEB_STATIC_DIR;
  int requests = 20000;
  std::string json = "build/bench/web.json";
};

std::string group_xml() {
  std::string xml = "<group name=\"quotes\"><section>Markets</section><defaultdesign>quote</defaultdesign>";
  for (int i = 0; i < 20; ++i) {
    const std::string n = std::to_string(i);
    xml += "<element key=\"k" + n + "\"><value label=\"name\">Company " + n + "</value><value label=\"price\">1" + n +
           ".25</value></element>";
  }
  return xml + "</group>";
}

bool wait_accepting(int port, child_process& process) {
  for (auto until = clock::now() + std::chrono::seconds(30); clock::now() < until && process.running();) {
    if (accepting(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

int run(const options& opt) {
  char scratch_template[] = "/tmp/orv_bench_web.XXXXXX";
  if (!::mkdtemp(scratch_template)) return 2;
  const scratch_folder scratch{scratch_template};
  const std::string stem = "webbench" + std::to_string(::getpid());
  const std::string native = stem + "_native", paged = stem + "_page";
  const int port = free_loopback_port(), web_port = free_loopback_port();
  child_process service(opt.service, {"--port", std::to_string(port)},
                        {"ORV_TICKER_INSTANCE=" + stem, "ORV_TICKER_APPDATA_DIR=" + scratch.path.string(),
                         registered_root(opt.service, scratch.path), "ORV_TICKER_BUS=none"},
                        scratch.path / "service.out", scratch.path / "service.err");
  child_process web(opt.web,
                    {"--listen", "127.0.0.1:" + std::to_string(web_port), "--service",
                     "127.0.0.1:" + std::to_string(port), "--static", opt.static_dir},
                    {}, scratch.path / "web.out", scratch.path / "web.err");
  tickertalk_client talk(std::chrono::seconds(10));
  if (!wait_accepting(port, service) || !wait_accepting(web_port, web) || !talk.connect("127.0.0.1", std::to_string(port))) {
    std::cerr << "the service or the bridge did not start\n";
    return 2;
  }
  for (const auto& ticker : {native, paged}) {
    if (!talk.send({"1", "on_ticker", ticker, "AddGroupAfterGroup", "", group_xml()}) || !talk.receive_reply("1")) {
      std::cerr << "cannot set up ticker " << ticker << "\n";
      return 2;
    }
  }

  orv_renderer_channel* channel = nullptr;
  if (orv_renderer_open(native.data(), native.size(), &channel) != ORV_RENDERER_OK) return 2;
  const auto channel_round_trip = [&] {
    orv_renderer_element element{};
    return orv_renderer_request(channel, 5000) == ORV_RENDERER_OK &&
           orv_renderer_read_element(channel, &element) == ORV_RENDERER_OK && element.value_count == 2;
  };

  boost::asio::io_context io;
  beast::websocket::stream<tcp::socket> page(io);
  beast::flat_buffer buffer;
  boost::system::error_code ec;
  page.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(web_port)}, ec);
  if (!ec) page.handshake("127.0.0.1", "/ws/render/" + paged, ec);
  if (ec) {
    std::cerr << "cannot open the render page's WebSocket: " << ec.message() << "\n";
    return 2;
  }
  page.next_layer().set_option(tcp::no_delay(true));
  // The first message says whether the service is up; wait until it is.
  std::size_t frame_size = 0;  // of the last element, as it came over the page's socket
  const auto page_round_trip = [&] {
    for (;;) {
      page.write(boost::asio::buffer(std::string_view("next")), ec);
      if (ec) return false;
      for (;;) {
        buffer.consume(buffer.size());
        page.read(buffer, ec);
        if (ec) return false;
        const auto text = beast::buffers_to_string(buffer.data());
        if (text.find("\"type\":\"element\"") == std::string::npos) continue;
        frame_size = text.size() + (text.size() < 126 ? 2 : 4);
        return text.find("\"served\":true") != std::string::npos && text.find("Company") != std::string::npos;
      }
    }
  };

  const int per_block = std::max(1, opt.requests / blocks);
  samples warm_up, channel_samples, page_samples, echo_samples, relayed_samples;
  bool ok = run_block(per_block, warm_up, channel_round_trip) && run_block(per_block, warm_up, page_round_trip);
  relay_floor floor(frame_size);
  if (ok && !floor.ready()) {
    std::cerr << "cannot start the relay floor's processes\n";
    return 2;
  }
  for (int block = 0; ok && block < blocks; ++block) {
    const auto c = [&] { return run_block(per_block, channel_samples, channel_round_trip); };
    const auto p = [&] { return run_block(per_block, page_samples, page_round_trip); };
    const auto f = [&] {
      return run_block(per_block, echo_samples, [&] { return floor.echo_round_trip(); }) &&
             run_block(per_block, relayed_samples, [&] { return floor.relayed_round_trip(); });
    };
    ok = (block % 2 ? p() && c() : c() && p()) && f();
  }
  orv_renderer_close(channel);
  for (const auto& ticker : {native, paged})
    for (const char* object : {"mem", "sections", "sectionmutex"})
      ::shm_unlink(("/" + encode_object_name(object + ticker)).c_str());
  if (!ok) {
    std::cerr << "a round trip failed\n";
    return 1;
  }

  figure_sheet sheet;
  for (const auto& [name, s] : {std::pair{"renderer_channel", &channel_samples}, std::pair{"web_render", &page_samples}}) {
    sheet.add(std::string(name) + "_p50", s->percentile(0.5), "us");
    sheet.add(std::string(name) + "_p99", s->percentile(0.99), "us");
    sheet.add(std::string(name) + "_max", *std::max_element(s->micros.begin(), s->micros.end()), "us");
  }
  // What any bridge costs on this machine: the channel's round trip plus what one relaying
  // process adds to a bare echo.
  const double relay_cost = relayed_samples.percentile(0.5) - echo_samples.percentile(0.5);
  sheet.add("unix_echo_p50", echo_samples.percentile(0.5), "us");
  sheet.add("relayed_echo_p50", relayed_samples.percentile(0.5), "us");
  sheet.add("relay_floor_vs_channel_p50", (channel_samples.percentile(0.5) + relay_cost) / channel_samples.percentile(0.5), "x");
  const double p50_ratio = page_samples.percentile(0.5) / channel_samples.percentile(0.5);
  const double p99_ratio = page_samples.percentile(0.99) / channel_samples.percentile(0.99);
  sheet.add("web_render_vs_channel_p50", p50_ratio, "x");
  sheet.add("web_render_vs_channel_p99", p99_ratio, "x");
  sheet.print();
  std::printf("target p50 within 2x: %s; target p99 within 3x: %s\n", p50_ratio <= 2 ? "met" : "missed",
              p99_ratio <= 3 ? "met" : "missed");
  return sheet.write_json(opt.json, "web") ? 0 : 1;
}

}  // namespace
}  // namespace orv::bench

int main(int argc, char** argv) {
  namespace po = boost::program_options;
  orv::bench::options opt;
  po::options_description described("orv_bench_web options");
  described.add_options()("help", "this text")(
      "service", po::value(&opt.service)->default_value(opt.service), "the orv_ticker executable to start")(
      "web", po::value(&opt.web)->default_value(opt.web), "the orv_ticker_web executable to start")(
      "requests", po::value(&opt.requests)->default_value(opt.requests), "measured round trips of each kind")(
      "json", po::value(&opt.json)->default_value(opt.json), "where the figures go as JSON");
  if (const auto exit_code = orv::read_command_line(argc, argv, described)) return *exit_code;
  ::signal(SIGPIPE, SIG_IGN);
  return orv::bench::run(opt);
}
