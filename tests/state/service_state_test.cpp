// The service keeps its tickers in STATE_DIRECTORY: filled through tickertalk and the
// automation objects, stopped with SIGTERM or killed with SIGKILL and started again, it shows
// tickertalk and its renderer what a service that never stopped shows.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "renderer/orv_renderer.h"
#include "tests/automation/bus_client.h"
#include "tests/support/service_harness.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using testing::fields;

std::string group(const std::string& name, const std::string& attributes, std::initializer_list<const char*> keys) {
  std::string xml = "<group name=\"" + name + "\"" + attributes + "><section>" + name + "</section>";
  for (const char* key : keys)
    xml += std::string("<element key=\"") + key + "\"><design>d</design><value label=\"t\">" + key + "</value></element>";
  return xml + "</group>";
}

// One ticker on one service, with its renderer and its automation object.
struct ticker_on {
  ticker_on(testing::service_process& service, const std::string& name, const testing::private_bus& bus)
      : client(service.connect()), name(name), automation(bus.address()) {
    testing::ask(*client, {"a", "AddTicker", name});
    EXPECT_EQ(orv_renderer_open(name.data(), name.size(), &renderer), ORV_RENDERER_OK);
    EXPECT_TRUE(testing::eventually([&] {
      path = automation.call(testing::bus_client::registry_path, testing::bus_client::registry, "GetTicker", "s",
                             name.c_str()).path();
      return path.size() > 1;
    }));
  }
  ~ticker_on() { orv_renderer_close(renderer); }
  std::string command(fields request) {
    request.insert(request.begin(), {"c", "on_ticker", name});
    const fields reply = testing::ask(*client, request);
    return reply.size() > 2 ? reply[2] : reply.back();
  }
  std::vector<std::string> elements(int count) {
    std::vector<std::string> shown;
    for (int i = 0; i < count; ++i) {
      orv_renderer_element e{};
      if (orv_renderer_request(renderer, 5000) != ORV_RENDERER_OK || orv_renderer_read_element(renderer, &e) != 0) {
        shown.push_back("no answer");
        continue;
      }
      std::string text = e.design.data;
      for (size_t v = 0; v < e.value_count; ++v) text += std::string("|") + e.values[v].text.data;
      shown.push_back(text);
    }
    return shown;
  }

  std::unique_ptr<tickertalk_client> client;
  std::string name;
  testing::bus_client automation;
  std::string path;
  orv_renderer_channel* renderer = nullptr;
};

constexpr const char* control2 = "OrvTicker.IOrvTickerControl2";

class ServiceState : public ::testing::Test {
 protected:
  ServiceState() : folder(fs::temp_directory_path() / ("orv_service_state_" + std::to_string(::getpid()))) {
    fs::remove_all(folder);
    fs::create_directories(folder);
  }
  ~ServiceState() override { fs::remove_all(folder); }

  std::unique_ptr<testing::service_process> start_kept() {
    const int port = testing::free_port();
    auto service = std::make_unique<testing::service_process>(
        std::vector<std::string>{}, port, "state" + std::to_string(::getpid()) + "_" + std::to_string(port),
        std::map<std::string, std::string>{{"STATE_DIRECTORY", folder.string()}, {"ORV_TICKER_BUS", kept_bus.address()}});
    EXPECT_TRUE(service->wait_listening()) << service->standard_output() << service->standard_error();
    return service;
  }
  std::unique_ptr<ticker_on> kept_ticker(testing::service_process& service) {
    return std::make_unique<ticker_on>(service, kept_name.name, kept_bus);
  }
  // Both tickers show the same to tickertalk and hand their renderers the same elements.
  void expect_same(ticker_on& kept, ticker_on& reference) {
    for (const char* listing : {"GetGroups", "GetGroupsWithContent"})
      EXPECT_EQ(kept.command({listing}), reference.command({listing})) << listing;
    EXPECT_EQ(kept.elements(50), reference.elements(50));
  }
  void both(ticker_on& a, ticker_on& b, const fields& request) {
    ASSERT_EQ(a.command(request), "ok") << request[0];
    ASSERT_EQ(b.command(request), "ok") << request[0];
  }
  // The same call on both tickers' automation objects.
  template <class... Args>
  void both_automated(ticker_on& a, ticker_on& b, const char* member, const char* signature, Args... args) {
    for (ticker_on* t : {&a, &b}) {
      const testing::bus_reply reply = t->automation.call(t->path, control2, member, signature, args...);
      ASSERT_TRUE(reply.ok()) << member << ": " << reply.error;
    }
  }

  testing::private_bus kept_bus, reference_bus;
  fs::path folder;
  testing::scratch_ticker kept_name{"kept"}, reference_name{"reference"};
};

TEST_F(ServiceState, TickersSurviveSigtermAndSigkillAndAnUnusableFileIsMovedAside) {
  ASSERT_TRUE(kept_bus.wait_ready() && reference_bus.wait_ready());
  testing::service_process reference({}, testing::free_port(), "state_reference" + std::to_string(::getpid()),
                                     {{"ORV_TICKER_BUS", reference_bus.address()}});
  ASSERT_TRUE(reference.wait_listening());
  ticker_on ref(reference, reference_name.name, reference_bus);
  auto service = start_kept();
  auto kept = kept_ticker(*service);

  both(*kept, ref, {"AddGroupAfterCurrent", group("one", " ttl=\"3\"", {"a", "b", "c"})});
  both(*kept, ref, {"AddGroupAfterGroup", "one", group("two", " chunking=\"3\"", {"w", "x", "y", "z"})});
  both(*kept, ref, {"AddGroupAfterGroup", "two", group("three", "", {"p", "q"})});
  both(*kept, ref, {"AddIndGroupFromText", "3600", "ind", "Breaking news", "d", "", "", "", "0", "ind", ""});
  both(*kept, ref, {"AddGroupToRunOncePriorityQueue", group("once", "", {"o1", "o2"})});
  ASSERT_EQ(kept->elements(8), ref.elements(8));  // the run-once group, the independent one, "one" partly
  both(*kept, ref, {"AddPriorityGroup", "three"});
  both(*kept, ref, {"SetNextGroup", "two"});
  // The design and icon tables come only through the automation objects; a text group uses them.
  both_automated(*kept, ref, "SetDesigns", "vv", "as", 1, "<B>", "as", 1, "bold");
  both_automated(*kept, ref, "SetIcons", "vvv", "as", 1, "<I>", "as", 1, "icon", "as", 1, "spin");
  both_automated(*kept, ref, "AddGroupFromText", "sssssssiss", "two", "text", "a <B> b <I> c", "plain", "", "", "t", 0,
                 "", "");

  service->signal(SIGTERM);
  ASSERT_EQ(service->wait_exit(), 0);
  kept.reset();
  service = start_kept();
  kept = kept_ticker(*service);  // answered once restored
  EXPECT_NE(service->standard_output().find("Restored ticker '" + kept_name.name + "': 5 groups, "),
            std::string::npos)
      << service->standard_output();
  expect_same(*kept, ref);

  // Killed under load: what was written before the last write delay comes back. The text
  // group added now is built with the tables as they were restored.
  both(*kept, ref, {"AddGroupAfterGroup", "two", group("five", " chunking=\"1\"", {"f1", "f2"})});
  both_automated(*kept, ref, "AddGroupFromText", "sssssssiss", "five", "text2", "<I> d <B> e", "plain", "", "", "t", 0,
                 "", "");
  both(*kept, ref, {"DeleteGroupWhenInactive", "three"});
  ASSERT_EQ(kept->elements(5), ref.elements(5));
  std::this_thread::sleep_for(std::chrono::seconds(1));  // well past the write delay
  service->signal(SIGKILL);
  service->wait_exit();
  kept.reset();
  service = start_kept();
  kept = kept_ticker(*service);
  expect_same(*kept, ref);

  service->kill_now();
  kept.reset();
  std::ofstream(folder / "tickers.db", std::ios::binary | std::ios::in | std::ios::out).write("garbage!", 8);
  service = start_kept();
  EXPECT_EQ(testing::ask(*service->connect(), {"l", "ListTickers"}), (fields{"l", "ok"}));
  EXPECT_NE(service->standard_output().find("cannot be used"), std::string::npos) << service->standard_output();
  bool moved_aside = false;
  for (const auto& entry : fs::directory_iterator(folder))
    moved_aside = moved_aside || entry.path().filename().string().starts_with("tickers.db.unusable-");
  EXPECT_TRUE(moved_aside);

  // Without STATE_DIRECTORY nothing is written anywhere the service could have written it.
  for (const auto& entry : fs::recursive_directory_iterator(reference.log_folder().parent_path().parent_path()))
    EXPECT_EQ(entry.path().filename().string().find("tickers.db"), std::string::npos) << entry.path();
  EXPECT_FALSE(fs::exists("tickers.db"));
}

}  // namespace
}  // namespace orv
