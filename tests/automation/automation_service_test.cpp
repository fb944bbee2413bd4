// The automation objects of a running service, reached over a private message bus.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>

#include "tests/automation/bus_client.h"
#include "tests/support/service_harness.h"

namespace orv {
namespace {

using testing::bus_client;
using testing::bus_reply;
using testing::eventually;
using testing::fields;
using testing::scratch_ticker;
using testing::service_process;

constexpr const char* control1 = "OrvTicker.IOrvTickerControl";
constexpr const char* control2 = "OrvTicker.IOrvTickerControl2";
constexpr auto lease = std::chrono::milliseconds(600);

std::string instance_name() { return "automation" + std::to_string(::getpid()) + "_" + std::to_string(std::rand()); }

class AutomationService : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.wait_ready());
    ASSERT_TRUE(service.wait_listening()) << service.standard_output() << service.standard_error();
    tickertalk = service.connect();
    client = std::make_unique<bus_client>(bus.address());
    ASSERT_TRUE(client->started());
    ASSERT_TRUE(eventually([&] { return registry_call("ListTickers").ok(); })) << service.standard_output();
  }
  void TearDown() override {
    if (HasFailure()) std::cerr << service.standard_output() << service.standard_error();
  }

  template <class... Args>
  bus_reply registry_call(const char* member, const char* signature = "", Args... args) {
    return client->call(bus_client::registry_path, bus_client::registry, member, signature, args...);
  }
  std::string get_ticker(bus_client& c, const std::string& name) {
    return c.call(bus_client::registry_path, bus_client::registry, "GetTicker", "s", name.c_str()).path();
  }
  fields ask(const fields& request) { return testing::ask(*tickertalk, request); }
  std::string output() { return service.standard_output() + service.standard_error(); }

  testing::private_bus bus;
  service_process service{{"--log-level", "50"},
                          testing::free_port(),
                          instance_name(),
                          {{"ORV_TICKER_BUS", bus.address()}, {"ORV_TICKER_LEASE_MS", std::to_string(lease.count())}}};
  std::unique_ptr<tickertalk_client> tickertalk;
  std::unique_ptr<bus_client> client;
};

TEST_F(AutomationService, ClientsShareOneRegistryWithTickertalk) {
  scratch_ticker mine("auto_mine"), theirs("auto_theirs");
  bus_client other(bus.address());
  EXPECT_EQ(registry_call("AddTicker", "s", mine.name.c_str()).number(), 1);
  EXPECT_EQ(registry_call("AddTicker", "s", mine.name.c_str()).number(), 0);
  EXPECT_EQ(ask({"1", "AddTicker", theirs.name}), (fields{"1", "ok"}));

  const std::string both = mine.name + "\n" + theirs.name + "\n";
  EXPECT_EQ(other.call(bus_client::registry_path, bus_client::registry, "ListTickers").text(), both);
  EXPECT_EQ(ask({"2", "ListTickers"}), (fields{"2", "ok", both}));

  // A missing name gives the null object and creates nothing.
  EXPECT_EQ(get_ticker(other, "no such ticker"), "/");
  EXPECT_EQ(registry_call("ListTickers").text(), both);

  // Latin-1 bytes from tickertalk still list as valid UTF-8.
  scratch_ticker latin("caf\xe9");
  ASSERT_EQ(ask({"3", "AddTicker", latin.name}), (fields{"3", "ok"}));
  EXPECT_NE(registry_call("ListTickers").text().find("caf\xef\xbf\xbd"), std::string::npos);
  EXPECT_EQ(registry_call("DeleteTicker", "s", theirs.name.c_str()).number(), 1);
  EXPECT_EQ(registry_call("DeleteTicker", "s", theirs.name.c_str()).number(), 0);
  EXPECT_NE(output().find("DeleteTicker:Ticker not found"), std::string::npos);
}

TEST_F(AutomationService, ATickerObjectWorksTheTickerUntilReleasedOrTheTickerIsGone) {
  scratch_ticker t("auto_object");
  ASSERT_EQ(registry_call("AddTicker", "s", t.name.c_str()).number(), 1);
  const std::string first = get_ticker(*client, t.name), second = get_ticker(*client, t.name);
  ASSERT_NE(first, "/");
  EXPECT_NE(first, second);

  const std::string group =
      "<group name=\"news\"><element key=\"a\"><value label=\"t\">A</value></element>"
      "<element key=\"b\"><ttl>2</ttl><value label=\"t\">B</value></element></group>";
  EXPECT_EQ(client->call(first, control1, "AddGroupAfterCurrent", "s", group.c_str()).number(), 1);
  EXPECT_EQ(ask({"1", "on_ticker", t.name, "GetGroups"}), (fields{"1", "ok", "news\n"}));
  const std::string shown = client->call(second, control1, "GetNextElement").text();
  EXPECT_NE(shown.find("key=\"a\""), std::string::npos) << shown;
  EXPECT_EQ(shown.substr(shown.size() - 7), "TTL: -1");
  const std::string next = client->call(first, control1, "GetNextElement").text();
  EXPECT_NE(next.find("key=\"b\""), std::string::npos) << next;
  EXPECT_EQ(next.substr(next.size() - 6), "TTL: 2");

  EXPECT_TRUE(client->call(first, "OrvTicker.IUnknown", "Release").ok());
  EXPECT_EQ(client->call(first, control1, "ListGroups").error, "org.freedesktop.DBus.Error.UnknownObject");
  EXPECT_EQ(client->call(second, control1, "ListGroups").text(), "\"news\" ");

  ASSERT_EQ(ask({"2", "DeleteTicker", t.name}), (fields{"2", "ok"}));
  const bus_reply stale = client->call(second, control1, "ListGroups");
  EXPECT_EQ(stale.error, "OrvTicker.Error.Fail");
  EXPECT_EQ(stale.error_message, "0x80004005");
  // A ticker made again under the name is reached only through a new object.
  ASSERT_EQ(ask({"3", "AddTicker", t.name}), (fields{"3", "ok"}));
  EXPECT_EQ(client->call(second, control1, "ClearAll").error, "OrvTicker.Error.Fail");
  EXPECT_EQ(client->call(get_ticker(*client, t.name), control1, "ClearAll").number(), 1);
  EXPECT_NE(output().find("Destructing ticker_control (" + t.name + ")"), std::string::npos);
}

TEST_F(AutomationService, ObjectsOfAClientThatLeftGoOnlyAfterTheLeaseWithoutCalls) {
  scratch_ticker t("auto_lease");
  ASSERT_EQ(registry_call("AddTicker", "s", t.name.c_str()).number(), 1);
  std::string path;
  {
    bus_client once(bus.address());
    path = get_ticker(once, t.name);
  }
  // Calls by anyone keep it while they come less than a lease apart.
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(client->call(path, control1, "ListGroups").ok()) << i;
    std::this_thread::sleep_for(lease / 2);
  }
  std::this_thread::sleep_for(lease * 2);
  EXPECT_EQ(client->call(path, control1, "ListGroups").error, "org.freedesktop.DBus.Error.UnknownObject");
  // The objects of a client still on the bus stay.
  const std::string kept = get_ticker(*client, t.name);
  std::this_thread::sleep_for(lease * 2);
  EXPECT_TRUE(client->call(kept, control1, "ListGroups").ok());
}

TEST_F(AutomationService, BadArraysAndArgumentsAnswerWithTheirErrors) {
  scratch_ticker t("auto_args");
  ASSERT_EQ(registry_call("AddTicker", "s", t.name.c_str()).number(), 1);
  const std::string path = get_ticker(*client, t.name);

  const bus_reply bounds = client->call(path, control2, "SetDesigns", "vv", "as", 3, "a", "b", "c", "as", 4, "1", "2",
                                       "3", "4");
  EXPECT_EQ(bounds.error, "OrvTicker.Error.InvalidArg");
  EXPECT_EQ(bounds.error_message, "0x80070057");
  EXPECT_TRUE(eventually([&] {
    return output().find("set_designs: Bounds mismatch in tags and designs parameters") != std::string::npos;
  }));
  const bus_reply mismatch = client->call(path, control2, "SetIcons", "vvv", "as", 1, "a", "s", "x", "as", 1, "c");
  EXPECT_EQ(mismatch.error, "OrvTicker.Error.TypeMismatch");
  EXPECT_EQ(mismatch.error_message, "0x80020005");
  EXPECT_EQ(client->call(path, control2, "SetDesigns", "ss", "a", "b").error, "org.freedesktop.DBus.Error.InvalidArgs");

  // A design table set over the bus steers the text builder.
  EXPECT_TRUE(client->call(path, control2, "SetDesigns", "vv", "as", 1, "TAG", "as", 1, "R").ok());
  EXPECT_EQ(client->call(path, control2, "AddGroupFromText", "sssssssiss", "", "g", "a TAG b", "T", "", "", "P", 0, "",
                        "")
                .number(),
            1);
  EXPECT_NE(client->call(path, control1, "GetElement", "ss", "g", "0002").text().find("label=\"R\""),
            std::string::npos);
  const bus_reply names = client->call(path, control2, "GetGroupNames");
  const char* contents = nullptr;
  ASSERT_GE(sd_bus_message_peek_type(names.message.get(), nullptr, &contents), 0);
  EXPECT_STREQ(contents, "as");
}

// The interface description in the repository, and the methods it lists with their inputs.
struct described_method {
  std::string interface, name, inputs;
};

std::string description() {
  std::ifstream file(ORV_INTERFACE_XML);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::vector<described_method> described_methods(const std::string& xml) {
  std::vector<described_method> methods;
  const std::regex interface_tag("<interface name=\"([^\"]+)\">"), method_tag("<method name=\"([^\"]+)\">"),
      input_tag("type=\"([^\"]+)\" direction=\"in\"");
  std::string interface;
  std::istringstream lines(xml);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_search(line, match, interface_tag)) interface = match[1];
    if (std::regex_search(line, match, method_tag)) methods.push_back({interface, match[1], ""});
    if (std::regex_search(line, match, input_tag)) methods.back().inputs += match[1];
  }
  return methods;
}

std::string interface_text(const std::string& xml, const std::string& name) {
  const auto begin = xml.find(" <interface name=\"" + name + "\">");
  return begin == std::string::npos ? "" : xml.substr(begin, xml.find("</interface>", begin) + 12 - begin);
}

TEST_F(AutomationService, IntrospectionIsTheDescriptionAndEveryDescribedMethodAnswers) {
  scratch_ticker t("auto_methods");
  ASSERT_EQ(registry_call("AddTicker", "s", t.name.c_str()).number(), 1);
  const std::string path = get_ticker(*client, t.name);
  const std::string xml = description();
  const auto methods = described_methods(xml);
  ASSERT_EQ(methods.size(), 4u + 32u + 1u);

  const auto introspect = [&](const std::string& object) {
    return client->call(object, "org.freedesktop.DBus.Introspectable", "Introspect").text();
  };
  const std::string registry_answer = introspect(bus_client::registry_path), control_answer = introspect(path);
  for (const char* name : {"OrvTicker.IOrvTickers", "OrvTicker.IOrvTickerControl", "OrvTicker.IOrvTickerControl2",
                           "OrvTicker.IOrvTickerControl3", "OrvTicker.IUnknown"}) {
    const std::string expected = interface_text(xml, name);
    ASSERT_FALSE(expected.empty()) << name;
    const bool on_registry = std::string(name) == bus_client::registry;
    EXPECT_EQ((on_registry ? registry_answer : control_answer).find(expected) != std::string::npos, true) << name;
    EXPECT_EQ((on_registry ? control_answer : registry_answer).find(expected), std::string::npos) << name;
  }
  EXPECT_NE(introspect("/OrvTicker/OrvTickerControl").find("<node name=\"" + path.substr(path.rfind('/') + 1)),
            std::string::npos);

  // Each method, called with empty strings, zeros and empty arrays, is found and takes them.
  for (const auto& m : methods) {
    if (m.name == "Release") continue;
    const bool on_registry = m.interface == bus_client::registry;
    sd_bus_message* call = nullptr;
    sd_bus_message_new_method_call(client->get(), &call, bus_client::service,
                                   on_registry ? bus_client::registry_path : path.c_str(), m.interface.c_str(),
                                   m.name.c_str());
    for (char type : m.inputs) {
      if (type == 's') sd_bus_message_append(call, "s", "");
      if (type == 'i') sd_bus_message_append(call, "i", 0);
      if (type == 'v') sd_bus_message_append(call, "v", "as", 0);
    }
    const bus_reply answer = client->send(call);
    EXPECT_TRUE(answer.ok() || answer.error.rfind("OrvTicker.Error.", 0) == 0) << m.name << ": " << answer.error;
  }
  EXPECT_TRUE(client->call(path, "OrvTicker.IUnknown", "Release").ok());
}

TEST(AutomationBus, WithoutTheBusOrTheNameTheServiceRunsOnWithoutAutomation) {
  testing::private_bus bus;
  ASSERT_TRUE(bus.wait_ready());
  service_process owner({}, testing::free_port(), instance_name(), {{"ORV_TICKER_BUS", bus.address()}});
  ASSERT_TRUE(owner.wait_listening());
  bus_client client(bus.address());
  ASSERT_TRUE(eventually([&] {
    return client.call(bus_client::registry_path, bus_client::registry, "ListTickers").ok();
  }));

  service_process second({}, testing::free_port(), instance_name(), {{"ORV_TICKER_BUS", bus.address()}});
  service_process unreachable({}, testing::free_port(), instance_name(), {{"ORV_TICKER_BUS", "unix:path=/nonexistent"}});
  for (auto* process : {&second, &unreachable}) {
    ASSERT_TRUE(process->wait_listening()) << process->standard_output();
    EXPECT_EQ(testing::ask(*process->connect(), {"1", "ListTickers"}), (fields{"1", "ok"}));
  }
  EXPECT_TRUE(eventually([&] {
    return second.standard_output().find("Automation objects are not served: the name OrvTicker.OrvTickers is "
                                         "already owned on the bus at " +
                                         bus.address()) != std::string::npos;
  })) << second.standard_output();
  EXPECT_NE(unreachable.standard_output().find("Automation objects are not served: cannot connect to the bus at "
                                               "unix:path=/nonexistent: No such file or directory"),
            std::string::npos)
      << unreachable.standard_output();
  // The first owner keeps serving.
  EXPECT_TRUE(client.call(bus_client::registry_path, bus_client::registry, "ListTickers").ok());
}

}  // namespace
}  // namespace orv
