// Registration as a console server or a systemd service, the start decision it
// drives, and the relaunch through sudo, against the real orv_ticker in a
// registry root of the test's own.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <csignal>
#include <cstring>

#include "host/registry_store.h"
#include "tests/support/service_harness.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using testing::child_process;
using testing::fields;
using testing::service_process;

const std::string module_appid = "HKEY_CLASSES_ROOT\\AppID\\{4F6B1E2A-8C3D-4E5F-9A7B-1C2D3E4F5A61}";
const std::string class_key = "HKEY_CLASSES_ROOT\\CLSID\\{4F6B1E2A-8C3D-4E5F-9A7B-1C2D3E4F5A63}";

std::string text_of(const fs::path& file) { return child_process::read(file); }

class Registration : public ::testing::Test {
 protected:
  static fs::path make_root() {
    std::string pattern = (fs::temp_directory_path() / "orv_root_XXXXXX").string();
    return ::mkdtemp(pattern.data());
  }
  ~Registration() override { fs::remove_all(root); }

  // orv_ticker with this test's registry root, run to its end.
  int run(const std::vector<std::string>& args, std::string* output = nullptr) {
    child_process process(ORV_TICKER_EXE, args, {{"ORV_TICKER_REGISTRY_ROOT", root.string()}});
    const int code = process.wait_exit().value_or(-1);
    if (output) *output = process.standard_output() + process.standard_error();
    return code;
  }
  service_process start(std::map<std::string, std::string> environment = {}) {
    environment["ORV_TICKER_REGISTRY_ROOT"] = root.string();
    return service_process({}, testing::free_port(), "reg" + std::to_string(::getpid()), environment);
  }
  fs::path file(const std::string& absolute) const { return root / fs::path(absolute).relative_path(); }

  const fs::path root = make_root();
  registry_store registry{root};
};

TEST_F(Registration, ServerServiceAndUnregistrationWriteAndKeepWhatTheyShould) {
  std::string said;
  // Never registered: the start ends with "not found" and says what to run.
  EXPECT_EQ(run({}, &said), 2);
  EXPECT_NE(said.find("orv_ticker --RegServer"), std::string::npos) << said;

  ASSERT_EQ(run({"--RegServer", "--elevated"}, &said), 0) << said;
  EXPECT_TRUE(registry.key_exists(module_appid));
  EXPECT_EQ(registry.value(module_appid, "LocalService"), std::nullopt);
  EXPECT_EQ(registry.value(class_key + "\\LocalServer32", "@"), fs::canonical(ORV_TICKER_EXE).string());
  EXPECT_EQ(registry.value("HKEY_CLASSES_ROOT\\OrvTicker.OrvTickers\\CurVer", "@"), "OrvTicker.OrvTickers.1");
  EXPECT_EQ(text_of(file("/usr/share/dbus-1/interfaces/OrvTicker.xml")),
            text_of(ORV_SOURCE_DIR "/automation/OrvTicker.xml"));
  const auto activation = text_of(file("/usr/share/dbus-1/system-services/OrvTicker.OrvTickers.service"));
  EXPECT_NE(
      activation.find("Name=OrvTicker.OrvTickers\nExec=" + fs::canonical(ORV_TICKER_EXE).string() + "\nUser=root\n"),
      std::string::npos)
      << activation;
  EXPECT_EQ(activation.find("SystemdService="), std::string::npos);
  EXPECT_NE(text_of(file("/etc/dbus-1/system.d/OrvTicker.OrvTickers.conf")).find("<policy group=\"orvticker\">"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(file("/etc/systemd/system/OrvTicker.service")));
  {
    auto console = start();
    EXPECT_TRUE(console.wait_listening()) << console.standard_error();
  }

  ASSERT_EQ(run({"/SERVICE"}, &said), 0) << said;  // as root, no relaunch
  EXPECT_EQ(registry.value(module_appid, "LocalService"), "OrvTicker");
  const auto unit = text_of(file("/etc/systemd/system/OrvTicker.service"));
  for (const auto& line : std::vector<std::string>{
           std::string("Type=notify\n"), "ExecStart=\"" + fs::canonical(ORV_TICKER_EXE).string() + "\"\n",
           std::string("Restart=on-failure\n"), std::string("StateDirectory=orv-ticker\n"),
           std::string("Nice=-10\n")})
    EXPECT_NE(unit.find(line), std::string::npos) << line << unit;
  EXPECT_NE(text_of(file("/etc/systemd/system/OrvTicker.service.d/network.conf")).find("IPAddressDeny=any\n"),
            std::string::npos);
  EXPECT_NE(text_of(file("/usr/share/dbus-1/system-services/OrvTicker.OrvTickers.service"))
                .find("SystemdService=OrvTicker.service\n"),
            std::string::npos);
  if (::system("command -v systemd-analyze >/dev/null 2>&1") == 0) {
    const std::string verify = "systemd-analyze verify '" + file("/etc/systemd/system/OrvTicker.service").string() +
                               "' > '" + (root / "verify.out").string() + "' 2>&1";
    EXPECT_EQ(::system(verify.c_str()), 0) << text_of(root / "verify.out");
  }
  // A service start outside systemd fails and says how to start it.
  EXPECT_NE(run({}, &said), 0);
  EXPECT_NE(said.find("systemctl start OrvTicker"), std::string::npos) << said;

  ASSERT_EQ(run({"-unregserver", "--elevated"}, &said), 0) << said;
  for (const char* gone : {"/etc/systemd/system/OrvTicker.service", "/usr/share/dbus-1/interfaces/OrvTicker.xml",
                           "/usr/share/dbus-1/system-services/OrvTicker.OrvTickers.service",
                           "/etc/dbus-1/system.d/OrvTicker.OrvTickers.conf"})
    EXPECT_FALSE(fs::exists(file(gone))) << gone;
  EXPECT_FALSE(registry.key_exists(class_key));
  EXPECT_FALSE(registry.key_exists("HKEY_CLASSES_ROOT\\OrvTicker.OrvTickers"));
  // Kept: the AppID and CLSID roots, and the module's AppID without its marker.
  EXPECT_TRUE(registry.key_exists("HKEY_CLASSES_ROOT\\CLSID"));
  EXPECT_TRUE(registry.key_exists(module_appid));
  EXPECT_EQ(registry.value(module_appid, "LocalService"), std::nullopt);
  auto console = start();
  EXPECT_TRUE(console.wait_listening()) << console.standard_error();
}

// The service manager's side: a datagram socket standing in for systemd's
// notify socket.
TEST_F(Registration, UnderAServiceManagerItReportsReadyOnceListeningAndStoppingOnSigterm) {
  ASSERT_EQ(run({"--Service", "--elevated"}), 0);
  const fs::path socket_path = root / "notify";
  const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const auto next_report = [&] {
    char buffer[512];
    pollfd ready{notify, POLLIN, 0};
    if (::poll(&ready, 1, 15000) != 1) return std::string("(nothing)");
    const auto n = ::recv(notify, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string("(nothing)");
  };

  auto service = start({{"NOTIFY_SOCKET", socket_path.string()}, {"INVOCATION_ID", "test"}});
  std::string report;
  while ((report = next_report()).find("READY=1") == std::string::npos && report != "(nothing)") continue;
  EXPECT_NE(report.find("READY=1"), std::string::npos) << service.standard_error();
  // Ready means served: the port answers at once.
  EXPECT_EQ(testing::ask(*service.connect(), {"1", "ListTickers"}), (fields{"1", "ok"}));
  service.signal(SIGTERM);
  while ((report = next_report()).find("STOPPING=1") == std::string::npos && report != "(nothing)") continue;
  EXPECT_NE(report.find("STOPPING=1"), std::string::npos);
  EXPECT_EQ(service.wait_exit(), 0) << service.standard_error();
  ::close(notify);
}

// A user who is not root gets the command again through sudo, with "
// --elevated" added and the environment the registration needs on sudo's
// command line; its exit code is the result.
TEST_F(Registration, AUserWhoIsNotRootRelaunchesThroughSudo) {
  const fs::path stand_in = root / "bin";
  fs::create_directories(stand_in);
  std::ofstream(stand_in / "sudo") << "#!/bin/sh\necho \"$@\" > \"" << (root / "sudo.args").string() << "\"\nexit 7\n";
  fs::permissions(stand_in / "sudo", fs::perms::all);
  fs::permissions(root, fs::perms::all);
  fs::permissions(stand_in, fs::perms::all);

  const pid_t child = ::fork();
  if (child == 0) {
    // Root plays an ordinary user; a user who is one already stays as they are.
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(90);
    ::setenv("PATH", (stand_in.string() + ":/usr/bin:/bin").c_str(), 1);
    ::setenv("ORV_TICKER_REGISTRY_ROOT", root.c_str(), 1);
    ::execl(ORV_TICKER_EXE, ORV_TICKER_EXE, "--RegServer", nullptr);
    ::_exit(91);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 90 || WEXITSTATUS(status) == 91)
    GTEST_SKIP() << "cannot run " << ORV_TICKER_EXE << " as the user nobody here";
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_EQ(text_of(root / "sudo.args"), "env ORV_TICKER_REGISTRY_ROOT=" + root.string() + " " +
                                             fs::canonical(ORV_TICKER_EXE).string() + " --RegServer --elevated\n");
}

}  // namespace
}  // namespace orv
