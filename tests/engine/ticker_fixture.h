#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/quillmere_ticker_manager.h"
#include "engine/ticker_clock.h"
#include "engine/ticker_control.h"
#include "tests/support/memory_logger.h"

namespace orv::testing {

using keys = std::vector<std::string>;

// Counts what the ticker asks of its listener.
struct fake_supplier : supplier_base {
  void set_stream(std::weak_ptr<element_stream>) override {}
  void clear() override { ++clears; }
  void refresh_titles() override { ++refreshes; }
  int clears = 0;
  int refreshes = 0;
};

// A feed hub client whose subscription handle is the subscriber itself; it only watches it.
struct fake_client : quillmere_client_base {
  quillmere_subscription subscribe(const keys&, std::shared_ptr<quillmere_subscriber> subscriber) override {
    handles.push_back(subscriber);
    return subscriber;
  }
  long open() const { return std::count_if(handles.begin(), handles.end(), [](auto& h) { return !h.expired(); }); }
  std::vector<std::weak_ptr<void>> handles;
};

// Group XML whose elements carry their key as text, so a shown element tells where it came from.
inline std::string group_xml(const std::string& name, const keys& element_keys, const std::string& attributes = "",
                             const std::string& children = "") {
  std::string xml = "<group name=\"" + name + "\"" + attributes + ">" + children;
  for (const std::string& key : element_keys)
    xml += "<element key=\"" + key + "\"><value label=\"t\" attribute=\"text\">" + key + "</value></element>";
  return xml + "</group>";
}

// "design|log_msg|ttl" and "|label/attribute/text" per value, to compare an element in one go.
inline std::string describe(const TickerElement& e) {
  std::string text = e.design() + "|" + e.log_msg() + "|" + std::to_string(e.ttl());
  for (const TickerValue& v : e.values()) text += "|" + v.label + "/" + v.attribute + "/" + v.text;
  return text;
}

// A ticker wired like its owner wires it, with every callback recorded in order.
class ticker_test : public ::testing::Test {
 protected:
  ticker_test() {
    ticker->set_listener(supplier);
    ticker->set_on_loop([this](const std::string& name) { events.push_back("at_end " + name); });
    ticker->set_on_empty([this](const std::string& name) { events.push_back("empty " + name); });
    ticker->set_on_run_once_done([this](const std::string& name, const std::string& size) {
      events.push_back("priority_size " + name + " " + size);
    });
  }

  // The key of the next element; "-" for false, "" for true without an element.
  std::string next() {
    TickerElement element;
    return ticker->GetNextElement(element) ? element.key() : "-";
  }
  keys next(int count) {
    keys shown;
    for (int i = 0; i < count; ++i) shown.push_back(next());
    return shown;
  }
  // A log message written exactly like this.
  bool logged(const std::string& text) const {
    for (const auto& entry : log->entries())
      if (entry.text == text) return true;
    return false;
  }
  void add(const std::string& follow, const std::string& xml) { ASSERT_TRUE(ticker->AddGroupAfterGroup(follow, xml)); }
  // Groups in this show order, each with these element keys.
  void carousel(const std::vector<std::pair<std::string, keys>>& groups) {
    std::string follow;
    for (const auto& [name, element_keys] : groups) {
      add(follow, group_xml(name, element_keys));
      follow = name;
    }
  }

  scoped_ticker_clock clock{1'700'000'000};
  std::shared_ptr<memory_logger> log = std::make_shared<memory_logger>();
  std::shared_ptr<fake_supplier> supplier = std::make_shared<fake_supplier>();
  std::shared_ptr<TickerControl> ticker = std::make_shared<TickerControl>(
      "news", std::make_shared<QuillmereTickerManager>(nullptr, log, nullptr), log, false);
  keys events;
};

}  // namespace orv::testing
