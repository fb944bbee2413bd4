#include "host/registration.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <system_error>
#include <vector>

#include "automation/interface_description.h"

namespace orv {

namespace {

// Identifiers of the server, fixed for all its versions.
constexpr const char* module_appid = "{4F6B1E2A-8C3D-4E5F-9A7B-1C2D3E4F5A61}";
constexpr const char* server_appid = "{4F6B1E2A-8C3D-4E5F-9A7B-1C2D3E4F5A62}";
constexpr const char* class_id = "{4F6B1E2A-8C3D-4E5F-9A7B-1C2D3E4F5A63}";
constexpr const char* typelib_id = "{4F6B1E2A-8C3D-4E5F-9A7B-1C2D3E4F5A64}";

constexpr const char* classes = "HKEY_CLASSES_ROOT\\";
const std::string class_key = std::string(classes) + "CLSID\\" + class_id;

constexpr const char* bus_name = "OrvTicker.OrvTickers";
constexpr const char* unit_file = "/etc/systemd/system/OrvTicker.service";
constexpr const char* unit_dropin = "/etc/systemd/system/OrvTicker.service.d/network.conf";
constexpr const char* interface_file = "/usr/share/dbus-1/interfaces/OrvTicker.xml";
constexpr const char* activation_file = "/usr/share/dbus-1/system-services/OrvTicker.OrvTickers.service";
constexpr const char* policy_file = "/etc/dbus-1/system.d/OrvTicker.OrvTickers.conf";

void write_file(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::trunc | std::ios::binary);
  out << text;
  if (!out.flush()) throw std::system_error(errno ? errno : EIO, std::generic_category(), path.string());
}

void remove_file(const std::filesystem::path& path) { std::filesystem::remove(path); }

std::string unit_text(const std::filesystem::path& module) {
  return "[Unit]\n"
         "Description=Orv Ticker Service\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=\"" +
         module.string() +
         "\"\n"
         "Restart=on-failure\n"
         "StateDirectory=orv-ticker\n"
         // On air the renderer's next element must not wait behind batch work on the machine.
         "Nice=-10\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

// Loopback only, until the station decides which networks may reach the ports.
constexpr const char* dropin_text =
    "[Service]\n"
    "IPAddressAllow=localhost\n"
    "IPAddressDeny=any\n";

// Only root may own the name; root and the group orvticker may call it; nobody
// else.
constexpr const char* policy_text =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration "
    "1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <policy context=\"default\">\n"
    "    <deny own=\"OrvTicker.OrvTickers\"/>\n"
    "    <deny send_destination=\"OrvTicker.OrvTickers\"/>\n"
    "  </policy>\n"
    "  <policy group=\"orvticker\">\n"
    "    <allow send_destination=\"OrvTicker.OrvTickers\"/>\n"
    "  </policy>\n"
    "  <policy user=\"root\">\n"
    "    <allow own=\"OrvTicker.OrvTickers\"/>\n"
    "    <allow send_destination=\"OrvTicker.OrvTickers\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

std::string activation_text(const std::filesystem::path& module, bool as_service) {
  std::string text = std::string("[D-BUS Service]\nName=") + bus_name + "\nExec=" + module.string() + "\nUser=root\n";
  if (as_service) text += "SystemdService=OrvTicker.service\n";
  return text;
}

int error_code_of(const std::exception& e) {
  if (auto system = dynamic_cast<const std::system_error*>(&e)) return system->code().value();
  return EIO;
}

}  // namespace

const char* const appid_root_key = "HKEY_CLASSES_ROOT\\AppID";
const char* const module_appid_key = "HKEY_CLASSES_ROOT\\AppID\\{4F6B1E2A-8C3D-4E5F-9A7B-1C2D3E4F5A61}";

std::string registration_command(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
    const auto start = word.find_first_not_of("-/");
    if (start == 0 || start == std::string::npos) continue;
    word.erase(0, start);
    if (word == "regserver") return "RegServer";
    if (word == "unregserver") return "UnregServer";
    if (word == "service") return "Service";
  }
  return {};
}

std::filesystem::path registration::under_root(const std::filesystem::path& absolute) const {
  return root / absolute.relative_path();
}

int registration::register_server() { return register_with(false); }
int registration::register_service() { return register_with(true); }

int registration::register_with(bool as_service) {
  try {
    remove_service();
    registry_store registry(root);
    // The server's AppID and its executable (the first script).
    registry.set_value(std::string(classes) + "AppID\\" + server_appid, "@", "OrvTicker");
    registry.set_value(std::string(classes) + "OrvTicker.EXE", "AppID", server_appid);
    // The module's own AppID, whose marker says whether starts are service
    // starts.
    registry.create_key(module_appid_key);
    registry.delete_value(module_appid_key, "LocalService");
    if (as_service) registry.set_value(module_appid_key, "LocalService", service_name);
    // The class, its ProgIDs and the type library (the second script).
    for (const std::string progid : {"OrvTicker.OrvTickers.1", "OrvTicker.OrvTickers"}) {
      registry.set_value(classes + progid, "@", "OrvTickers Class");
      registry.set_value(classes + progid + "\\CLSID", "@", class_id);
    }
    registry.set_value(std::string(classes) + "OrvTicker.OrvTickers\\CurVer", "@", "OrvTicker.OrvTickers.1");
    registry.set_value(class_key, "@", "OrvTickers Class");
    registry.set_value(class_key, "AppID", server_appid);
    registry.set_value(class_key + "\\ProgID", "@", "OrvTicker.OrvTickers.1");
    registry.set_value(class_key + "\\VersionIndependentProgID", "@", "OrvTicker.OrvTickers");
    registry.create_key(class_key + "\\Programmable");
    registry.set_value(class_key + "\\LocalServer32", "@", module.string());
    registry.set_value(class_key + "\\TypeLib", "@", typelib_id);
    write_class_files(as_service);
    if (as_service) install_service();
    systemctl("daemon-reload");
    return 0;
  } catch (const std::exception& e) {
    notes << e.what() << '\n';
    return error_code_of(e);
  }
}

int registration::unregister() {
  try {
    remove_service();
    registry_store registry(root);
    // The module's AppID key stays, without its marker; so do the AppID and
    // CLSID roots.
    if (registry.key_exists(module_appid_key)) registry.delete_value(module_appid_key, "LocalService");
    registry.remove_key(std::string(classes) + "AppID\\" + server_appid);
    registry.remove_key(std::string(classes) + "OrvTicker.EXE");
    registry.remove_key(std::string(classes) + "OrvTicker.OrvTickers.1");
    registry.remove_key(std::string(classes) + "OrvTicker.OrvTickers");
    registry.remove_key(class_key);
    remove_class_files();
    systemctl("daemon-reload");
    return 0;
  } catch (const std::exception& e) {
    notes << e.what() << '\n';
    return error_code_of(e);
  }
}

void registration::write_class_files(bool as_service) {
  write_file(under_root(interface_file), interface_description);
  write_file(under_root(activation_file), activation_text(module, as_service));
  write_file(under_root(policy_file), policy_text);
}

void registration::remove_class_files() {
  for (const char* file : {interface_file, activation_file, policy_file}) remove_file(under_root(file));
}

void registration::install_service() {
  try {
    write_file(under_root(unit_file), unit_text(module));
    write_file(under_root(unit_dropin), dropin_text);
  } catch (const std::exception&) {
    notes << service_name << ": Could not start service\n";
    throw;
  }
}

void registration::remove_service() {
  if (!std::filesystem::exists(under_root(unit_file))) return;
  systemctl("stop", "OrvTicker.service");
  try {
    remove_file(under_root(unit_dropin));
    std::error_code ignored;
    std::filesystem::remove(under_root(unit_dropin).parent_path(),
                            ignored);  // ours, when left empty
    remove_file(under_root(unit_file));
  } catch (const std::exception&) {
    notes << service_name << ": Could not delete service\n";
    throw;
  }
}

void registration::systemctl(const std::string& verb, const std::string& unit) {
  const std::string command = "systemctl " + verb + (unit.empty() ? "" : " " + unit);
  std::error_code ignored;
  if (root != "/" || !std::filesystem::is_directory("/run/systemd/system", ignored)) {
    notes << "Skipped '" << command << "': " << (root != "/" ? "the registry root is not /" : "systemd is not running")
          << '\n';
    return;
  }
  std::vector<std::string> words{"systemctl", verb};
  if (!unit.empty()) words.push_back(unit);
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    notes << "'" << command << "' failed\n";
}

}  // namespace orv
