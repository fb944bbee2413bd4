#include "automation/automation_bus.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <variant>
#include <vector>

#include "automation/bus_methods.h"
#include "runtime/loop_turns.h"
#include "automation/interface_description.h"

namespace orv {

namespace {

using namespace bus;

constexpr const char* service_name = "OrvTicker.OrvTickers";
constexpr const char* registry_path = "/OrvTicker/OrvTickers";
constexpr const char* control_prefix = "/OrvTicker/OrvTickerControl";
// Messages handled per turn of the loop, so that a flood from one client leaves room for the rest.
constexpr int messages_per_turn = 16;
// Per-ticker objects one connection may hold at a time; GetTicker answers E_FAIL beyond.
constexpr std::size_t objects_per_client = 1024;

const std::string standard_interfaces =
    " <interface name=\"org.freedesktop.DBus.Peer\">\n"
    "  <method name=\"Ping\"/>\n"
    "  <method name=\"GetMachineId\">\n"
    "   <arg name=\"machine_uuid\" type=\"s\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\">\n"
    "   <arg name=\"xml_data\" type=\"s\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n";

std::string introspection(const std::string& body) {
  return "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n" +
         body + "</node>\n";
}

const char* error_name(hresult code) {
  switch (code) {
    case hresult::E_INVALIDARG:
      return "OrvTicker.Error.InvalidArg";
    case hresult::DISP_E_TYPEMISMATCH:
      return "OrvTicker.Error.TypeMismatch";
    default:
      return "OrvTicker.Error.Fail";
  }
}

bool is_method_call(sd_bus_message* m) {
  std::uint8_t type = 0;
  return sd_bus_message_get_type(m, &type) >= 0 && type == SD_BUS_MESSAGE_METHOD_CALL;
}

bool is_introspection(sd_bus_message* m) {
  return sd_bus_message_is_method_call(m, "org.freedesktop.DBus.Introspectable", "Introspect") > 0;
}

std::string control_path(std::uint64_t id) { return std::string(control_prefix) + "/" + std::to_string(id); }

}  // namespace

automation_settings automation_settings::from_environment() {
  automation_settings settings;
  const char* bus = std::getenv("ORV_TICKER_BUS");
  settings.bus = bus && *bus ? bus : ::geteuid() == 0 ? "system" : "session";
  if (const char* lease = std::getenv("ORV_TICKER_LEASE_MS"))
    settings.lease = std::chrono::milliseconds(std::strtoll(lease, nullptr, 10));
  return settings;
}

class automation_bus : public std::enable_shared_from_this<automation_bus> {
 public:
  automation_bus(boost::asio::io_context& io, sd_bus* bus, std::string bus_label, const automation_settings& settings,
                 COrvTickers::binder bind, std::shared_ptr<vorn::logger_base> log)
      : io_(io),
        bus_(bus),
        bus_label_(std::move(bus_label)),
        lease_(settings.lease),
        log_(std::move(log)),
        registry_(std::move(bind)),
        descriptor_(io, sd_bus_get_fd(bus)),
        timeout_(io) {}

  ~automation_bus() { close(); }

  // Offers the objects and asks for the name; the bus answers later.
  int start() {
    int r;
    if ((r = sd_bus_add_object(bus_, nullptr, registry_path, &automation_bus::on_registry_call, this)) < 0 ||
        (r = sd_bus_add_fallback(bus_, nullptr, control_prefix, &automation_bus::on_control_call, this)) < 0 ||
        (r = sd_bus_match_signal_async(bus_, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "NameOwnerChanged", &automation_bus::on_owner_changed,
                                       nullptr, this)) < 0 ||
        (r = sd_bus_request_name_async(bus_, nullptr, service_name, 0, &automation_bus::on_name_reply, this)) < 0)
      return r;
    arm();
    return 0;
  }

 private:
  struct leased_object {
    std::shared_ptr<ticker_control> object;
    std::string owner;
    // Armed once the owner has left the bus.
    std::unique_ptr<boost::asio::steady_timer> expiry;
  };

  // Runs sd-bus until it has nothing more to do or the turn's share is used, then waits for
  // the descriptor or the next timeout; a full turn yields to other work first.
  void pump() {
    vorn::loop_turns::name("automation", "call");
    if (!bus_) return;
    for (int i = 0; i < messages_per_turn; ++i) {
      int r = sd_bus_process(bus_, nullptr);
      if (!bus_) return;
      if (r < 0) return stop("the connection to the " + bus_label_ + " failed: " + std::strerror(-r));
      if (r == 0) return arm();
    }
    boost::asio::post(io_, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->pump();
    });
  }

  void arm() {
    const int events = sd_bus_get_events(bus_);
    if (events < 0) return stop("the connection to the " + bus_label_ + " failed: " + std::strerror(-events));
    if ((events & POLLIN) && !reading_) wait(boost::asio::posix::stream_descriptor::wait_read, reading_);
    if ((events & POLLOUT) && !writing_) wait(boost::asio::posix::stream_descriptor::wait_write, writing_);
    std::uint64_t usec = UINT64_MAX;
    sd_bus_get_timeout(bus_, &usec);
    if (usec == UINT64_MAX) {
      timeout_.cancel();
      return;
    }
    timeout_.expires_at(std::chrono::steady_clock::time_point(std::chrono::microseconds(usec)));
    timeout_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (!ec && self) self->pump();
    });
  }

  void wait(boost::asio::posix::stream_descriptor::wait_type type, bool& waiting) {
    waiting = true;
    descriptor_.async_wait(type, [weak = weak_from_this(), &waiting](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (!self) return;
      waiting = false;
      if (!ec) self->pump();
    });
  }

  // Automation ends; the service runs on without it.
  void stop(const std::string& why) {
    if (log_->should_log(20)) log_->stream(20) << "Automation objects are not served: " << why << std::endl;
    boost::asio::post(io_, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->close();
    });
  }

  void close() {
    if (!bus_) return;
    boost::system::error_code ignored;
    descriptor_.cancel(ignored);
    descriptor_.release();
    timeout_.cancel();
    objects_.clear();
    per_client_.clear();
    sd_bus_close_unref(std::exchange(bus_, nullptr));
  }

  static int on_name_reply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<automation_bus*>(userdata);
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
      self.stop("the " + self.bus_label_ + " refused the name " + service_name + ": " +
                (error->message ? error->message : error->name));
      return 0;
    }
    std::uint32_t answer = 0;
    sd_bus_message_read(reply, "u", &answer);
    if (answer == 1 || answer == 4) {
      if (self.log_->should_log(40))
        self.log_->stream(40) << "Automation objects served as " << service_name << " on the " << self.bus_label_
                              << std::endl;
    } else {
      self.stop(std::string("the name ") + service_name + " is already owned on the " + self.bus_label_);
    }
    return 0;
  }

  // A connection that left the bus starts the lease of every object it made.
  static int on_owner_changed(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<automation_bus*>(userdata);
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0 || *new_owner || name[0] != ':') return 0;
    for (auto& [id, entry] : self.objects_)
      if (entry.owner == name) self.extend_lease(id, entry);
    return 0;
  }

  void extend_lease(std::uint64_t id, leased_object& entry) {
    if (!entry.expiry) entry.expiry = std::make_unique<boost::asio::steady_timer>(io_);
    entry.expiry->expires_after(lease_);
    entry.expiry->async_wait([weak = weak_from_this(), id](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (!ec && self) self->drop(self->objects_.find(id));
    });
  }

  static int on_registry_call(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<automation_bus*>(userdata);
    if (!is_method_call(m)) return 0;
    if (is_introspection(m))
      return sd_bus_reply_method_return(m, "s",
                                        introspection(standard_interfaces + interface_element(registry)).c_str());
    return self.dispatch(m, self.registry_, registry_methods());
  }

  static int on_control_call(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<automation_bus*>(userdata);
    if (!is_method_call(m)) return 0;
    const std::string path = sd_bus_message_get_path(m);
    if (path == control_prefix) return self.list_objects(m);
    const auto entry = self.find_object(path);
    if (entry == self.objects_.end())
      return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_UNKNOWN_OBJECT, "Unknown object '%s'.", path.c_str());
    if (entry->second.expiry) self.extend_lease(entry->first, entry->second);
    if (is_introspection(m))
      return sd_bus_reply_method_return(
          m, "s",
          introspection(standard_interfaces + interface_element(control1) + interface_element(control2) +
                        interface_element(control3) + interface_element(unknown))
              .c_str());
    if (sd_bus_message_is_method_call(m, unknown, "Release") > 0) {
      self.drop(entry);
      return sd_bus_reply_method_return(m, "");
    }
    auto object = entry->second.object;  // kept for the call even if a call inside releases it
    return self.dispatch(m, *object, control_methods());
  }

  std::map<std::uint64_t, leased_object>::iterator find_object(const std::string& path) {
    const std::string head = std::string(control_prefix) + "/";
    if (path.compare(0, head.size(), head) != 0) return objects_.end();
    const std::string digits = path.substr(head.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 19)
      return objects_.end();
    return objects_.find(std::stoull(digits));
  }

  // The parent of the per-ticker objects lists them, so that tools can walk the tree.
  int list_objects(sd_bus_message* m) {
    if (!is_introspection(m))
      return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_UNKNOWN_OBJECT, "Unknown object '%s'.", control_prefix);
    std::string nodes = standard_interfaces;
    for (const auto& entry : objects_) nodes += " <node name=\"" + std::to_string(entry.first) + "\"/>\n";
    return sd_bus_reply_method_return(m, "s", introspection(nodes).c_str());
  }

  template <class Target>
  int dispatch(sd_bus_message* m, Target& target, const std::vector<method<Target>>& methods) {
    const method<Target>* called = find_method(methods, m);
    if (!called) return 0;  // sd-bus answers what is not ours: peers, properties, unknown methods
    if (sd_bus_message_has_signature(m, called->in) <= 0)
      return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_INVALID_ARGS, "Method %s takes arguments of type '%s'.",
                                        called->name, called->in);
    arguments args;
    if (int r = args.read(m, called->in); r < 0) return r;
    result_value result;
    const hresult hr = called->call(target, args, result);
    if (hr != hresult::S_OK) return sd_bus_reply_method_errorf(m, error_name(hr), "%s", hresult_text(hr).c_str());
    return reply(m, result);
  }

  int reply(sd_bus_message* call, const result_value& result) {
    if (std::holds_alternative<std::int32_t>(result))
      return sd_bus_reply_method_return(call, "i", std::get<std::int32_t>(result));
    if (const auto* text = std::get_if<bstr>(&result))
      return sd_bus_reply_method_return(call, "s", *text ? to_utf8(**text).c_str() : "");
    if (const auto* object = std::get_if<std::shared_ptr<ticker_control>>(&result)) {
      if (!*object) return sd_bus_reply_method_return(call, "o", "/");
      const std::string path = lease(call, *object);
      if (path.empty())
        return sd_bus_reply_method_errorf(call, error_name(hresult::E_FAIL), "%s",
                                          hresult_text(hresult::E_FAIL).c_str());
      return sd_bus_reply_method_return(call, "o", path.c_str());
    }
    if (const auto* names = std::get_if<variant>(&result)) return reply_names(call, *names);
    return sd_bus_reply_method_return(call, "");
  }

  int reply_names(sd_bus_message* call, const variant& names) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'v', "as");
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "s");
    for (std::size_t i = 0; r >= 0 && names && i < names->items.size(); ++i)
      r = sd_bus_message_append_basic(reply, 's', to_utf8(names->items[i].value_or(u"")).c_str());
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }

  // A new object lives until Release, or until the connection that asked for it has left the
  // bus and no call has reached it for the lease.
  // Empty when the client already holds its share.
  std::string lease(sd_bus_message* call, std::shared_ptr<ticker_control> object) {
    const char* sender = sd_bus_message_get_sender(call);
    const std::string owner = sender ? sender : "";
    if (per_client_[owner] >= objects_per_client) {
      if (log_->should_log(20))
        log_->stream(20) << "GetTicker refused: " << owner << " holds " << objects_per_client << " objects"
                         << std::endl;
      return "";
    }
    ++per_client_[owner];
    const std::uint64_t id = next_id_++;
    objects_[id] = leased_object{std::move(object), owner, nullptr};
    return control_path(id);
  }

  void drop(std::map<std::uint64_t, leased_object>::iterator entry) {
    if (entry == objects_.end()) return;
    const auto count = per_client_.find(entry->second.owner);
    if (--count->second == 0) per_client_.erase(count);
    objects_.erase(entry);
  }

  boost::asio::io_context& io_;
  sd_bus* bus_;
  std::string bus_label_;
  std::chrono::milliseconds lease_;
  std::shared_ptr<vorn::logger_base> log_;
  COrvTickers registry_;
  std::map<std::uint64_t, leased_object> objects_;
  std::map<std::string, std::size_t> per_client_;
  std::uint64_t next_id_ = 1;
  boost::asio::posix::stream_descriptor descriptor_;
  boost::asio::steady_timer timeout_;
  bool reading_ = false;
  bool writing_ = false;
};

namespace {

// Opens the connection; sd-bus finishes connecting and authenticating as the loop runs it.
int open_bus(const std::string& which, sd_bus** bus) {
  if (which == "system") return sd_bus_open_system(bus);
  if (which == "session") return sd_bus_open_user(bus);
  int r = sd_bus_new(bus);
  if (r < 0) return r;
  if ((r = sd_bus_set_address(*bus, which.c_str())) < 0 || (r = sd_bus_set_bus_client(*bus, 1)) < 0 ||
      (r = sd_bus_start(*bus)) < 0)
    *bus = sd_bus_unref(*bus);
  return r;
}

}  // namespace

std::shared_ptr<automation_bus> serve_automation(boost::asio::io_context& io, const automation_settings& settings,
                                                 COrvTickers::binder bind, std::shared_ptr<vorn::logger_base> log) {
  if (settings.bus == "none") {
    if (log->should_log(40))
      log->stream(40) << "Automation objects are not served: ORV_TICKER_BUS is none" << std::endl;
    return nullptr;
  }
  const std::string label =
      settings.bus == "system" || settings.bus == "session" ? settings.bus + " bus" : "bus at " + settings.bus;
  sd_bus* bus = nullptr;
  int r = open_bus(settings.bus, &bus);
  if (r < 0) {
    if (log->should_log(20))
      log->stream(20) << "Automation objects are not served: cannot connect to the " << label << ": "
                      << std::strerror(-r) << std::endl;
    return nullptr;
  }
  auto served = std::make_shared<automation_bus>(io, bus, label, settings, std::move(bind), log);
  if ((r = served->start()) < 0) {
    if (log->should_log(20))
      log->stream(20) << "Automation objects are not served: the " << label
                      << " does not take the objects: " << std::strerror(-r) << std::endl;
    return nullptr;
  }
  return served;
}

}  // namespace orv
