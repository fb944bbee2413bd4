#include "automation/bus_methods.h"

#include <cstdlib>

namespace orv::bus {

int arguments::read(sd_bus_message* m, const char* signature) {
  for (const char* type = signature; *type; ++type) {
    int r = *type == 's' ? read_text(m) : *type == 'i' ? read_number(m) : read_variant(m);
    if (r < 0) return r;
  }
  return 0;
}

int arguments::read_text(sd_bus_message* m) {
  const char* text = nullptr;
  int r = sd_bus_message_read_basic(m, 's', &text);
  if (r >= 0) values_.emplace_back(utf8_output_conversion(text));
  return r;
}

int arguments::read_number(sd_bus_message* m) {
  std::int32_t number = 0;
  int r = sd_bus_message_read_basic(m, 'i', &number);
  if (r >= 0) values_.emplace_back(number);
  return r;
}

int arguments::read_variant(sd_bus_message* m) {
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(m, nullptr, &contents);
  if (r < 0) return r;
  if (!contents || std::strcmp(contents, "as") != 0) {
    values_.emplace_back(variant{});
    return sd_bus_message_skip(m, "v");
  }
  if ((r = sd_bus_message_enter_container(m, 'v', "as")) < 0) return r;
  char** strings = nullptr;
  if ((r = sd_bus_message_read_strv(m, &strings)) < 0) return r;
  bstr_array array;
  for (char** s = strings; s && *s; ++s) {
    array.items.push_back(utf8_output_conversion(*s));
    std::free(*s);
  }
  std::free(strings);
  values_.emplace_back(std::move(array));
  return sd_bus_message_exit_container(m);
}

namespace {

// A method whose result the object writes through a pointer to a Result.
template <class Target, class Result, class F>
method<Target> returning(const char* interface, const char* name, const char* in, F f) {
  return {interface, name, in, [f](Target& t, const arguments& a, result_value& out) {
            Result result{};
            const hresult hr = f(t, a, &result);
            out = std::move(result);
            return hr;
          }};
}
template <class Target, class F>
method<Target> with_long(const char* interface, const char* name, const char* in, F f) {
  return returning<Target, std::int32_t>(interface, name, in, f);
}
template <class Target, class F>
method<Target> with_text(const char* interface, const char* name, const char* in, F f) {
  return returning<Target, bstr>(interface, name, in, f);
}

}  // namespace

const std::vector<method<COrvTickers>>& registry_methods() {
  using T = COrvTickers;
  using A = const arguments&;
  static const std::vector<method<T>> methods{
      with_long<T>(registry, "AddTicker", "s", [](T& t, A a, auto r) { return t.AddTicker(a.s(0), r); }),
      with_text<T>(registry, "ListTickers", "", [](T& t, A, auto r) { return t.ListTickers(r); }),
      with_long<T>(registry, "DeleteTicker", "s", [](T& t, A a, auto r) { return t.DeleteTicker(a.s(0), r); }),
      returning<T, std::shared_ptr<ticker_control>>(registry, "GetTicker", "s",
                                                    [](T& t, A a, auto r) { return t.GetTicker(a.s(0), r); }),
  };
  return methods;
}

const std::vector<method<ticker_control>>& control_methods() {
  using T = ticker_control;
  using A = const arguments&;
  static const std::vector<method<T>> methods{
      with_text<T>(control1, "ListGroups", "", [](T& t, A, auto r) { return t.ListGroups(r); }),
      with_long<T>(control1, "DeleteGroup", "s", [](T& t, A a, auto r) { return t.DeleteGroup(a.s(0), r); }),
      with_long<T>(control1, "AddGroupAfterCurrent", "s",
                   [](T& t, A a, auto r) { return t.AddGroupAfterCurrent(a.s(0), r); }),
      with_long<T>(control1, "AddGroupBeforeCurrent", "s",
                   [](T& t, A a, auto r) { return t.AddGroupBeforeCurrent(a.s(0), r); }),
      with_long<T>(control1, "AddGroupSuperseedCurrent", "s",
                   [](T& t, A a, auto r) { return t.AddGroupSuperseedCurrent(a.s(0), r); }),
      with_long<T>(control1, "AddGroupAfterGroup", "ss",
                   [](T& t, A a, auto r) { return t.AddGroupAfterGroup(a.s(0), a.s(1), r); }),
      with_text<T>(control1, "GetGroup", "s", [](T& t, A a, auto r) { return t.GetGroup(a.s(0), r); }),
      with_long<T>(control1, "PutElement", "ss", [](T& t, A a, auto r) { return t.PutElement(a.s(0), a.s(1), r); }),
      with_long<T>(control1, "UpdateElement", "ss",
                   [](T& t, A a, auto r) { return t.UpdateElement(a.s(0), a.s(1), r); }),
      with_long<T>(control1, "DeleteElement", "ss",
                   [](T& t, A a, auto r) { return t.DeleteElement(a.s(0), a.s(1), r); }),
      with_text<T>(control1, "GetElement", "ss", [](T& t, A a, auto r) { return t.GetElement(a.s(0), a.s(1), r); }),
      with_long<T>(control1, "ClearAll", "", [](T& t, A, auto r) { return t.ClearAll(r); }),
      with_text<T>(control1, "GetNextElement", "", [](T& t, A, auto r) { return t.GetNextElement(r); }),
      with_text<T>(control1, "GetCurrentGroupName", "", [](T& t, A, auto r) { return t.GetCurrentGroupName(r); }),
      with_long<T>(control1, "ClearGroup", "s", [](T& t, A a, auto r) { return t.ClearGroup(a.s(0), r); }),
      with_long<T>(control1, "ClearAllAndAddGroup", "s",
                   [](T& t, A a, auto r) { return t.ClearAllAndAddGroup(a.s(0), r); }),
      with_long<T>(control1, "DeleteGroupWhenInactive", "s",
                   [](T& t, A a, auto r) { return t.DeleteGroupWhenInactive(a.s(0), r); }),
      with_long<T>(control1, "StartOrvCommunication", "s",
                   [](T& t, A a, auto r) { return t.StartOrvCommunication(a.s(0), r); }),
      with_long<T>(control1, "AddIndependentGroup", "s",
                   [](T& t, A a, auto r) { return t.AddIndependentGroup(a.s(0), r); }),

      returning<T, variant>(control2, "GetGroupNames", "", [](T& t, A, auto r) { return t.GetGroupNames(r); }),
      with_long<T>(control2, "MoveGroup", "ss", [](T& t, A a, auto r) { return t.MoveGroup(a.s(0), a.s(1), r); }),
      with_long<T>(control2, "AddGroupFromText", "sssssssiss",
                   [](T& t, A a, auto r) {
                     return t.AddGroupFromText(a.s(0), a.s(1), a.s(2), a.s(3), a.s(4), a.s(5), a.s(6), a.i(7), a.s(8),
                                               a.s(9), r);
                   }),
      with_long<T>(control2, "AddIndGroupFromText", "issssssiss",
                   [](T& t, A a, auto r) {
                     return t.AddIndGroupFromText(a.i(0), a.s(1), a.s(2), a.s(3), a.s(4), a.s(5), a.s(6), a.i(7),
                                                  a.s(8), a.s(9), r);
                   }),
      with_long<T>(control2, "SetNextGroup", "s", [](T& t, A a, auto r) { return t.SetNextGroup(a.s(0), r); }),
      with_long<T>(control2, "AddFlipGroupFromText", "ssssssiss",
                   [](T& t, A a, auto r) {
                     return t.AddFlipGroupFromText(a.s(0), a.s(1), a.s(2), a.s(3), a.s(4), a.s(5), a.i(6), a.s(7),
                                                   a.s(8), r);
                   }),
      with_long<T>(control2, "AddIndFlipGroupFromText", "isssssiss",
                   [](T& t, A a, auto r) {
                     return t.AddIndFlipGroupFromText(a.i(0), a.s(1), a.s(2), a.s(3), a.s(4), a.s(5), a.i(6), a.s(7),
                                                      a.s(8), r);
                   }),
      with_long<T>(control2, "RunOnce", "sssssiss",
                   [](T& t, A a, auto r) {
                     return t.RunOnce(a.s(0), a.s(1), a.s(2), a.s(3), a.s(4), a.i(5), a.s(6), a.s(7), r);
                   }),
      {control2, "Flush", "", [](T& t, A, result_value&) { return t.Flush(); }},
      {control2, "SetIcons", "vvv", [](T& t, A a, result_value&) { return t.SetIcons(a.v(0), a.v(1), a.v(2)); }},
      {control2, "SetDesigns", "vv", [](T& t, A a, result_value&) { return t.SetDesigns(a.v(0), a.v(1)); }},

      with_long<T>(control3, "AddTTLGroupFromText", "sssssssissi",
                   [](T& t, A a, auto r) {
                     return t.AddTTLGroupFromText(a.s(0), a.s(1), a.s(2), a.s(3), a.s(4), a.s(5), a.s(6), a.i(7),
                                                  a.s(8), a.s(9), a.i(10), r);
                   }),
      with_long<T>(control3, "AddPriorityGroup", "s", [](T& t, A a, auto r) { return t.AddPriorityGroup(a.s(0), r); }),
  };
  return methods;
}

}  // namespace orv::bus
