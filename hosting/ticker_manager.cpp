#include "hosting/ticker_manager.h"

#include <vector>

#include "engine/quillmere_ticker_manager.h"
#include "engine/ticker_control.h"
#include "feed/group_change_integrator.h"
#include "feed/quillmere_client.h"
#include "hosting/supplier.h"
#include "runtime/buffer_release.h"

namespace orv {

ticker_manager::ticker_manager(std::shared_ptr<ticker_host> core)
    : log_(core->logger->create_sublogger("ticker_manager", -1)), core_(std::move(core)) {}

ticker_result ticker_manager::AddTicker(const std::string& name) {
  if (log_->should_log(60)) log_->stream(60) << "AddTicker(" << name << ")";
  // One name per line in ListTickers, so a name may not hold a line end.
  if (name.find_first_of("\r\n") != std::string::npos) {
    if (log_->should_log(20)) log_->stream(20) << "Ticker name refused: it contains a line end.";
    return {false, "Ticker name contains a line end"};
  }
  if (tickers_.count(name)) {
    if (log_->should_log(20)) log_->stream(20) << "Ticker " << name << " already exists.";
    return {false, "Ticker already exists"};
  }

  // Feed-hub side: the ticker's own client, and an integrator for each group that subscribes.
  auto feed_log = core_->logger->create_sublogger("QuillmereTickerManager", -1);
  auto feed_client = std::make_shared<quillmere_client>(core_->asyncore, feed_log);
  auto feed_side = std::make_shared<QuillmereTickerManager>(feed_client, feed_log, make_group_change_integrator);

  auto ticker = std::make_shared<TickerControl>(
      name, feed_side, core_->logger->create_sublogger("TickerControl:" + name, -1), core_->ignore_inactive);
  attach_renderer_side(name, ticker);
  install_callbacks(*ticker);
  if (state_keeper_) ticker->SetStateListener(state_keeper_->ticker_added(name, ticker));

  tickers_.emplace(name, ticker);
  return {true, ""};
}

// The ticker's supplier answers its renderer. Creating it creates the ticker's shared objects,
// so a failure here leaves AddTicker before the name is listed. A core without an event loop
// (a registry used on its own) has nothing to serve renderers with, and its tickers get none.
void ticker_manager::attach_renderer_side(const std::string& name, const std::shared_ptr<TickerControl>& ticker) {
  if (!core_->asyncore) return;
  std::weak_ptr<ticker_manager> self = weak_from_this();
  auto renderer_side = std::make_shared<supplier>(
      name, core_->asyncore->get_event_dispatcher(), core_->event_server,
      [self](const std::string& run_text, const std::string& t) {
        if (auto m = self.lock()) m->send_run(run_text, t);
      },
      core_->logger->create_sublogger("supplier:" + name, -1));
  ticker->set_listener(renderer_side);
  renderer_side->set_stream(ticker);
}

void ticker_manager::install_callbacks(TickerControl& ticker) {
  // Weak: a ticker kept alive by a call in progress must not keep the registry alive.
  std::weak_ptr<ticker_manager> self = weak_from_this();
  ticker.set_on_loop([self](const std::string& t) {
    if (auto m = self.lock()) m->send_ticker_event("at_end", t, "");
  });
  ticker.set_on_empty([self](const std::string& t) {
    if (auto m = self.lock()) m->send_ticker_event("empty", t, "");
  });
  ticker.set_on_run([self](const std::string& run_text, const std::string& t) {
    if (auto m = self.lock()) m->send_run(run_text, t);
  });
  ticker.set_on_run_once_done([self](const std::string& t, const std::string& remaining) {
    if (auto m = self.lock()) m->send_ticker_event("priority_size", t, remaining);
  });
  if (!core_->asyncore) return;
  std::weak_ptr<vorn::asyncore> loop = core_->asyncore;
  ticker.set_release([loop](std::vector<std::shared_ptr<void>> dropped) {
    if (auto l = loop.lock()) vorn::release_in_turns(l->io_context(), std::move(dropped));
  });
}

ticker_result ticker_manager::DeleteTicker(const std::string& name) {
  if (log_->should_log(60)) log_->stream(60) << "DeleteTicker(" << name << ")";
  auto found = tickers_.find(name);
  if (found == tickers_.end()) {
    if (log_->should_log(30)) log_->stream(30) << "Ticker " << name << " not found.";
    return {false, "Ticker not found"};
  }
  // Unlisted first, destroyed on return: nothing the ticker does while going finds it listed.
  auto doomed = std::move(found->second);
  tickers_.erase(found);
  if (state_keeper_) state_keeper_->ticker_deleted(name);
  return {true, ""};
}

std::shared_ptr<ticker_control_interface> ticker_manager::GetTicker(const std::string& name) {
  auto found = tickers_.find(name);
  return found == tickers_.end() ? nullptr : found->second;
}

ticker_result ticker_manager::ListTickers() {
  if (log_->should_log(60)) log_->stream(60) << "ListTickers";
  std::string names;
  for (const auto& entry : tickers_) names += entry.first + "\n";
  return {true, names};
}

void ticker_manager::send_ticker_event(const std::string& event, const std::string& ticker, const std::string& extra) {
  std::vector<std::string> fields{"event", event, ticker};
  if (!extra.empty()) fields.push_back(extra);
  broadcast(fields);
}

void ticker_manager::send_run(const std::string& run_text, const std::string& ticker) {
  broadcast({"run", run_text, ticker});
}

void ticker_manager::broadcast(const std::vector<std::string>& fields) {
  if (!core_->broadcast_event(fields) && log_->should_log(30))
    log_->stream(30) << "Skipping sending message due to missing tickertalk factory.";
}

}  // namespace orv
