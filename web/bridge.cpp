#include "web/bridge.h"

#include <algorithm>
#include <set>

#include "runtime/plaintalk.h"
#include "web/json_text.h"

namespace orv::web {

namespace {

// The sub-commands the monitor offers; anything else a page sends is refused.
const std::set<std::string> page_actions = {
    "AddGroupFromText", "AddGroupAfterCurrent", "SetNextGroup", "AddPriorityGroup", "AddGroupToRunOncePriorityQueue",
    "DeleteGroupWhenInactive", "Flush", "ClearAll"};

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// The listing of GetGroupsWithContent: per group its name, a rule, one "|" line per element
// and an empty line.
std::string groups_json(const std::string& listing) {
  std::string json = "[";
  bool in_group = false, first_group = true, first_element = true;
  for (const auto& line : split_lines(listing)) {
    if (!in_group) {
      if (line.empty()) continue;
      json += std::string(first_group ? "" : "]},") + "{\"name\":" + json_string(line) + ",\"elements\":[";
      first_group = false;
      first_element = true;
      in_group = true;
    } else if (line.empty()) {
      in_group = false;
    } else if (line.front() == '|') {
      json += (first_element ? "" : ",") + json_string(line.substr(1));
      first_element = false;
    }
  }
  return json + (first_group ? "]" : "]}]");
}

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
  const std::string json = R"({"type":"event","fields":)" + json_strings(e) + "}";
  for (auto& weak : found->second.monitors)
    if (auto page = weak.lock()) page->send(json);
}

void bridge::log_line(const std::string& line) {
  const std::string json = R"({"type":"log","line":)" + json_string(line) + "}";
  for (auto& [name, w] : tickers_)
    for (auto& weak : w.monitors)
      if (auto page = weak.lock()) page->send(json);
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
  link_->request(command, [this, alive = alive_, reply](const fields& f) {
    reply(f);
    if (*alive) refresh();
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
      const std::string given = R"({"type":"given","element":)" + json + "}";
      for (auto& weak : w.monitors)
        if (auto page = weak.lock()) page->send(given);
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
      if (!w.pull_waiting) continue;
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
    send_state(ticker, w, R"({"type":"state","exists":false,"groups":[]})");
    return;
  }
  ++reads_open_;
  link_->request({"on_ticker", ticker, "GetGroupsWithContent"}, [this, alive = alive_, ticker](const fields& reply) {
    if (!*alive) return;
    auto found = tickers_.find(ticker);
    if (found != tickers_.end() && !reply.empty() && reply[0] == "ok")
      send_state(ticker, found->second,
                 R"({"type":"state","exists":true,"groups":)" + groups_json(reply.size() > 1 ? reply[1] : "") + "}");
    if (--reads_open_ == 0 && read_again_) refresh();
  });
}

void bridge::send_state(const std::string&, watched& w, const std::string& json) {
  if (json == w.state) return;
  w.state = json;
  for (auto& weak : w.monitors)
    if (auto page = weak.lock()) page->send(json);
}

}  // namespace orv::web
