#pragma once

// The methods of the automation interfaces as the bus calls them: each one's member name,
// input signature and the call that reads its arguments and runs it.

#include <systemd/sd-bus.h>

#include <cstring>
#include <functional>
#include <memory>
#include <variant>
#include <vector>

#include "automation/automation_objects.h"

namespace orv::bus {

constexpr const char* registry = "OrvTicker.IOrvTickers";
constexpr const char* control1 = "OrvTicker.IOrvTickerControl";
constexpr const char* control2 = "OrvTicker.IOrvTickerControl2";
constexpr const char* control3 = "OrvTicker.IOrvTickerControl3";
constexpr const char* unknown = "OrvTicker.IUnknown";

// The arguments of one call, read by its signature: s as a string, i as a number, v as an
// array of strings or, holding anything else, as an empty VARIANT.
class arguments {
 public:
  // Negative: the sd-bus error of the first argument that could not be read.
  int read(sd_bus_message* m, const char* signature);
  const bstr& s(std::size_t i) const { return std::get<bstr>(values_[i]); }
  std::int32_t i(std::size_t i) const { return std::get<std::int32_t>(values_[i]); }
  const variant& v(std::size_t i) const { return std::get<variant>(values_[i]); }

 private:
  int read_text(sd_bus_message* m);
  int read_number(sd_bus_message* m);
  int read_variant(sd_bus_message* m);

  std::vector<std::variant<bstr, std::int32_t, variant>> values_;
};

// A method's result: none, a long, a string, a VARIANT or a new per-ticker object.
using result_value = std::variant<std::monostate, std::int32_t, bstr, variant, std::shared_ptr<ticker_control>>;

template <class Target>
struct method {
  const char* interface;
  const char* name;
  const char* in;
  std::function<hresult(Target&, const arguments&, result_value&)> call;
};

const std::vector<method<COrvTickers>>& registry_methods();
const std::vector<method<ticker_control>>& control_methods();

// The method a call names; a call without an interface matches by member alone.
template <class Target>
const method<Target>* find_method(const std::vector<method<Target>>& methods, sd_bus_message* m) {
  const char* interface = sd_bus_message_get_interface(m);
  const char* member = sd_bus_message_get_member(m);
  for (const auto& candidate : methods)
    if (std::strcmp(candidate.name, member) == 0 && (!interface || std::strcmp(candidate.interface, interface) == 0))
      return &candidate;
  return nullptr;
}

}  // namespace orv::bus
