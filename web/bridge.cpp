#include "web/bridge.h"

#include <algorithm>

#include <boost/asio/post.hpp>
#include <set>
#include <tuple>
#include <utility>

#include "runtime/plaintalk.h"
#include "web/json_text.h"

namespace orv::web {

namespace {

// The sub-commands the monitor offers; anything else a page sends is refused.
const std::set<std::string> page_actions = {
    "AddGroupFromText", "AddGroupAfterCurrent", "SetNextGroup", "AddPriorityGroup", "AddGroupToRunOncePriorityQueue",
    "DeleteGroupWhenInactive", "Flush", "ClearAll"};

std::string service_json(bool up) { return std::string(R"({"type":"service","up":)") + (up ? "true" : "false") + "}"; }

// Cuts a page's request with the tickertalk framing itself; it writes nowhere.
class request_reader : public vorn::plaintalk_protocol {
 public:
  request_reader() : vorn::plaintalk_protocol(nullptr) {
    install_message_parser(std::make_shared<vorn::message_accumulator>(*this));
  }
  void message_received(const std::vector<std::string>& message) override { messages.push_back(message); }

  std::vector<fields> messages;
  bool broken = false;

 protected:
  void framing_refused(std::string_view, std::string_view) override { broken = true; }
};

}  // namespace

std::optional<fields> parse_page_request(std::string_view bytes) {
  request_reader reader;
  std::string line(bytes);
  if (line.empty() || line.back() != '\n') line += '\n';
  reader.data_received(line.data(), line.size());
  if (reader.broken || reader.messages.size() != 1) return std::nullopt;
  return reader.messages.front();
}

bridge::bridge(boost::asio::io_context& io, std::shared_ptr<service_link> link)
    : io_(io), link_(std::move(link)), timer_(io) {
  link_->on_connection = [this, alive = alive_](bool up) {
    if (*alive) connection_changed(up);
  };
  link_->on_event = [this, alive = alive_](const fields& e) {
    if (*alive) event(e);
  };
}

bridge::~bridge() {
  *alive_ = false;
  link_->on_connection = nullptr;
  link_->on_event = nullptr;
}

template <class Each>
void bridge::for_each_page(Each each) {
  for (auto& weak : index_pages_)
    if (auto page = weak.lock()) each(*page);
  for (auto& [name, w] : tickers_) {
    for (auto& weak : w.monitors)
      if (auto page = weak.lock()) each(*page);
    if (auto page = w.renderer.lock()) each(*page);
  }
}

void bridge::connection_changed(bool up) {
  const std::string json = service_json(up);
  for_each_page([&](page_client& page) { page.send(json); });
  if (up) refresh();
}

void bridge::event(const fields& e) {
  // "event KIND T ..." and "run LOG T" name their ticker.
  std::string ticker;
  if (e.size() >= 3 && e[0] == "event") ticker = e[2];
  else if (e.size() >= 3 && e[0] == "run") ticker = e.back();
  auto found = tickers_.find(ticker);
  if (found == tickers_.end()) return;
  auto& w = found->second;
  if (e[0] == "run" ? w.view.ran(e[1])
                    : e.size() >= 4 && e[1] == "priority_size" && w.view.run_once_queue(std::atoi(e[3].c_str())))
    publish(ticker, w);
  post(ticker, w, R"({"type":"event","fields":)" + json_strings(e) + "}");
}

void bridge::log_line(const std::string& line) {
  const std::string json = R"({"type":"log","line":)" + json_string(line) + "}";
  for (auto& [name, w] : tickers_) post(name, w, json);
}

void bridge::post(const std::string& ticker, watched& w, const std::string& json) {
  if (w.monitors.empty()) return;
  w.outbox.push_back(json);
  w.outbox_bytes += json.size();
  // A page shows the newest lines only: older ones give way rather than pile up.
  while (w.outbox.size() > max_outbox_messages || w.outbox_bytes > max_outbox_bytes) {
    w.outbox_bytes -= w.outbox.front().size();
    w.outbox.pop_front();
  }
  flush(ticker, w);
}

// Monitors get one batch per monitor_interval at most, whatever the pace of the events, log
// lines and render requests behind it: the newest state and given element, and the event
// and log messages since the last batch.
void bridge::flush(const std::string& ticker, watched& w) {
  if (w.flush_timer || w.monitors.empty()) return;
  if (!w.state_unsent && !w.current_unsent && !w.given_unsent && w.outbox.empty()) return;
  std::string batch = R"({"type":"batch","messages":[)";
  const auto add = [&](const std::string& json) {
    if (batch.back() != '[') batch += ',';
    batch += json;
  };
  if (std::exchange(w.state_unsent, false)) add(w.state);
  if (std::exchange(w.current_unsent, false)) add(w.current);
  if (std::exchange(w.given_unsent, false)) add(R"({"type":"given","element":)" + w.given + "}");
  for (const auto& json : w.outbox) add(json);
  w.outbox.clear();
  w.outbox_bytes = 0;
  batch += "]}";
  fan_out(w.monitors, std::make_shared<const std::string>(std::move(batch)));
  w.flush_timer = std::make_unique<boost::asio::steady_timer>(io_, monitor_interval);
  w.flush_timer->async_wait([this, alive = alive_, ticker](const boost::system::error_code& ec) {
    if (!*alive || ec) return;
    auto found = tickers_.find(ticker);
    if (found == tickers_.end()) return;
    found->second.flush_timer.reset();
    flush(ticker, found->second);
  });
}

void bridge::watch_index(const std::shared_ptr<page_client>& page) {
  index_pages_.push_back(page);
  page->send(service_json(link_->connected()));
  if (!ticker_list_.empty()) page->send(ticker_list_);
  refresh();
}

void bridge::watch_ticker(const std::string& ticker, const std::shared_ptr<page_client>& page) {
  auto& w = tickers_[ticker];
  w.monitors.push_back(page);
  page->send(service_json(link_->connected()));
  if (!w.state.empty()) page->send(w.state);
  if (!w.current.empty()) page->send(w.current);
  if (!w.given.empty()) page->send(R"({"type":"given","element":)" + w.given + "}");
  refresh();
}

bool bridge::claim_render(const std::string& ticker, const std::shared_ptr<page_client>& page) {
  auto& w = tickers_[ticker];
  if (w.renderer.lock()) return false;
  w.renderer = page;
  page->send(service_json(link_->connected()));
  refresh();
  return true;
}

void bridge::leave(const page_client* page) {
  const auto gone = [page](const std::weak_ptr<page_client>& weak) {
    auto p = weak.lock();
    return !p || p.get() == page;
  };
  std::erase_if(index_pages_, gone);
  std::vector<std::string> names;
  for (auto& [name, w] : tickers_) {
    std::erase_if(w.monitors, gone);
    if (auto r = w.renderer.lock(); !r || r.get() == page) {
      w.renderer.reset();
      w.puller.reset();
    }
    names.push_back(name);
  }
  for (const auto& name : names) forget_if_unused(name);
}

void bridge::forget_if_unused(const std::string& ticker) {
  auto found = tickers_.find(ticker);
  if (found != tickers_.end() && found->second.monitors.empty() && !found->second.renderer.lock())
    tickers_.erase(found);
}

void bridge::act(const std::shared_ptr<page_client>& page, const std::string& ticker, const fields& request) {
  if (request.size() < 2) return;
  const auto reply = [weak = std::weak_ptr<page_client>(page), id = request[0]](const fields& f) {
    if (auto p = weak.lock())
      p->send(R"({"type":"reply","id":)" + json_string(id) + ",\"fields\":" +
              json_strings(f.empty() ? fields{"error", "service unreachable"} : f) + "}");
  };
  if (!page->may_act()) {
    reply({"error", "this page needs the bridge's token to change tickers"});
    return;
  }
  fields command;
  if (ticker.empty() && request[1] == "AddTicker" && request.size() == 3) {
    command = {"AddTicker", request[2]};
  } else if (!ticker.empty() && page_actions.count(request[1])) {
    command = {"on_ticker", ticker};
    command.insert(command.end(), request.begin() + 1, request.end());
  } else {
    reply({"error", "not an action of this page: " + request[1]});
    return;
  }
  link_->request(command, [this, alive = alive_, reply, ticker, command](const fields& f) {
    reply(f);
    if (!*alive) return;
    // What tickertalk cannot list later: the marks and priorities set from here.
    if (auto found = tickers_.find(ticker);
        found != tickers_.end() && command.size() == 4 && !f.empty() && f.back() == "ok") {
      if (command[2] == "DeleteGroupWhenInactive") found->second.view.marked(command[3]);
      if (command[2] == "AddPriorityGroup") found->second.view.prioritised(command[3]);
    }
    refresh();
  });
}

void bridge::pull(const std::string& ticker) {
  auto found = tickers_.find(ticker);
  if (found == tickers_.end() || !found->second.renderer.lock()) return;
  auto& w = found->second;
  if (std::find(listed_.begin(), listed_.end(), ticker) == listed_.end()) {
    // Answered once the service has said whether it serves the ticker.
    w.puller.reset();
    w.pull_waiting = true;
    refresh();
    return;
  }
  if (!w.puller) {
    w.puller = std::make_unique<render_pull>(io_, ticker, [this, ticker](const std::string& json) {
      auto found = tickers_.find(ticker);
      if (found == tickers_.end()) return;
      auto& w = found->second;
      if (auto r = w.renderer.lock()) r->send(json);
      w.given = json;
      w.given_unsent = true;
      flush(ticker, w);
    });
  }
  w.puller->next();
}

void bridge::schedule_refresh() {
  if (timer_armed_ || (index_pages_.empty() && tickers_.empty())) return;
  timer_armed_ = true;
  timer_.expires_after(refresh_interval);
  timer_.async_wait([this, alive = alive_](const boost::system::error_code& ec) {
    if (!*alive || ec) return;
    timer_armed_ = false;
    refresh();
  });
}

// One read at a time: a refresh asked for while one runs starts when it ends.
void bridge::refresh() {
  if (reads_open_ > 0) {
    read_again_ = true;
    return;
  }
  std::erase_if(index_pages_, [](const auto& weak) { return weak.expired(); });
  if (index_pages_.empty() && tickers_.empty()) return;
  read_again_ = false;
  ++reads_open_;
  link_->request({"ListTickers"}, [this, alive = alive_](const fields& reply) {
    if (!*alive) return;
    std::vector<std::string> names;
    if (reply.size() >= 2 && reply[0] == "ok") names = split_lines(reply[1]);
    listed_ = names;
    for (auto& [name, w] : tickers_) {
      // Unreachable says nothing about the ticker: the request waits for the service.
      if (!w.pull_waiting || reply.empty()) continue;
      w.pull_waiting = false;
      if (std::find(names.begin(), names.end(), name) != names.end())
        pull(name);
      else if (auto r = w.renderer.lock())
        r->send(R"({"type":"element","served":false,"reason":"ticker not served"})");
    }
    if (!reply.empty()) {
      const std::string json = R"({"type":"tickers","tickers":)" + json_strings(names) + "}";
      if (json != ticker_list_) {
        ticker_list_ = json;
        for (auto& weak : index_pages_)
          if (auto page = weak.lock()) page->send(json);
      }
      for (auto& [name, w] : tickers_)
        read_groups(name, std::find(names.begin(), names.end(), name) != names.end());
    }
    if (--reads_open_ == 0 && read_again_) refresh();
    schedule_refresh();
  });
}

// Only tickers that exist are asked: on_ticker would create a missing one.
void bridge::read_groups(const std::string& ticker, bool exists) {
  if (!exists) {
    auto& w = tickers_[ticker];
    w.view.listed(false, "");
    publish(ticker, w);
    return;
  }
  ++reads_open_;
  link_->request({"on_ticker", ticker, "GetGroupsWithContent"}, [this, alive = alive_, ticker](const fields& reply) {
    if (!*alive) return;
    auto found = tickers_.find(ticker);
    if (found != tickers_.end() && !reply.empty() && reply[0] == "ok") {
      found->second.view.listed(true, reply.size() > 1 ? reply[1] : "");
      publish(ticker, found->second);
    }
    if (--reads_open_ == 0 && read_again_) refresh();
  });
}

// A few pages per loop turn, so that a render page's request waits for one slice of a
// fan-out to hundreds of monitors, not for all of it.
void bridge::fan_out(std::vector<std::weak_ptr<page_client>> pages, std::shared_ptr<const std::string> message,
                     std::size_t from) {
  const std::size_t end = std::min(pages.size(), from + fan_out_slice);
  for (std::size_t i = from; i < end; ++i)
    if (auto page = pages[i].lock()) page->send(*message);
  if (end < pages.size())
    boost::asio::post(io_, [this, alive = alive_, pages = std::move(pages), message, end]() mutable {
      if (*alive) fan_out(std::move(pages), std::move(message), end);
    });
}

void bridge::publish(const std::string& ticker, watched& w) {
  for (auto [json, last, unsent] : {std::tuple{w.view.state_json(), &w.state, &w.state_unsent},
                                    std::tuple{w.view.current_json(), &w.current, &w.current_unsent}}) {
    if (json == *last) continue;
    *last = std::move(json);
    *unsent = true;
  }
  flush(ticker, w);
}

}  // namespace orv::web
