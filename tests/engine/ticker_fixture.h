#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "engine/quillmere_ticker_manager.h"
#include "engine/ticker_clock.h"
#include "engine/ticker_control.h"
#include "tests/support/memory_logger.h"

namespace orv::testing {

// Counts what the ticker asks of its listener.
class fake_supplier : public supplier_base {
 public:
  void set_stream(std::weak_ptr<element_stream> stream) override { stream_ = std::move(stream); }
  void clear() override { ++clears; }
  void refresh_titles() override { ++refreshes; }

  int clears = 0;
  int refreshes = 0;

 private:
  std::weak_ptr<element_stream> stream_;
};

// Group XML whose elements carry their key as text, so a shown element tells where it came from.
inline std::string group_xml(const std::string& name, std::initializer_list<std::string> keys,
                             const std::string& attributes = "", const std::string& children = "") {
  std::string xml = "<group name=\"" + name + "\"" + attributes + ">" + children;
  for (const std::string& key : keys)
    xml += "<element key=\"" + key + "\"><value label=\"t\" attribute=\"text\">" + key + "</value></element>";
  return xml + "</group>";
}

// A ticker wired like its owner wires it, with every callback recorded in order.
class ticker_test : public ::testing::Test {
 protected:
  ticker_test() {
    ticker->set_listener(supplier);
    ticker->set_on_loop([this](const std::string& name) { events.push_back("at_end " + name); });
    ticker->set_on_empty([this](const std::string& name) { events.push_back("empty " + name); });
    ticker->set_on_run_once_done(
        [this](const std::string& name, const std::string& size) { events.push_back("priority_size " + name + " " + size); });
  }

  // The key of the next element; "-" for false, "" for true without an element.
  std::string next() {
    TickerElement element;
    return ticker->GetNextElement(element) ? element.key() : "-";
  }
  std::vector<std::string> next(int count) {
    std::vector<std::string> keys;
    for (int i = 0; i < count; ++i) keys.push_back(next());
    return keys;
  }
  // A log message written exactly like this.
  bool logged(const std::string& text) const {
    for (const auto& entry : log->entries())
      if (entry.text == text) return true;
    return false;
  }
  void add(const std::string& follow, const std::string& xml) { ASSERT_TRUE(ticker->AddGroupAfterGroup(follow, xml)); }

  scoped_ticker_clock clock{1'700'000'000};
  std::shared_ptr<memory_logger> log = std::make_shared<memory_logger>();
  std::shared_ptr<fake_supplier> supplier = std::make_shared<fake_supplier>();
  std::shared_ptr<TickerControl> ticker = std::make_shared<TickerControl>(
      "news", std::make_shared<QuillmereTickerManager>(nullptr, log, nullptr), log, false);
  std::vector<std::string> events;
};

}  // namespace orv::testing
