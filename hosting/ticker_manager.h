#pragma once

#include <map>
#include <memory>
#include <string>

#include "engine/ticker_state_listener.h"
#include "hosting/ticker_host.h"
#include "hosting/tickers_interface.h"
#include "runtime/logger_base.h"

namespace orv {

class TickerControl;

// The registry of named tickers. Creating a ticker assembles all of it: scheduler, feed-hub
// side, renderer side and the callbacks that turn its events into tickertalk messages.
// Hold it by shared handle: the tickers' callbacks reach it through a weak one.
class ticker_manager : public tickers_interface, public std::enable_shared_from_this<ticker_manager> {
 public:
  explicit ticker_manager(std::shared_ptr<ticker_host> core);

  ticker_result AddTicker(const std::string& name) override;
  ticker_result DeleteTicker(const std::string& name) override;
  std::shared_ptr<ticker_control_interface> GetTicker(const std::string& name) override;
  ticker_result ListTickers() override;

  // Sends "*", "event", event, ticker and, when not empty, extra to the clients that want events.
  void send_ticker_event(const std::string& event, const std::string& ticker, const std::string& extra);
  // Sends "*", "run", run_text, ticker to the clients that want events.
  void send_run(const std::string& run_text, const std::string& ticker);
  // Tickers created from now on report their changes to keeper; deletions are told to it.
  void set_state_keeper(std::shared_ptr<ticker_state_keeper> keeper) { state_keeper_ = std::move(keeper); }

 private:
  void install_callbacks(TickerControl& ticker);
  void attach_renderer_side(const std::string& name, const std::shared_ptr<TickerControl>& ticker);
  void broadcast(const std::vector<std::string>& fields);

  std::map<std::string, std::shared_ptr<ticker_control_interface>> tickers_;
  std::shared_ptr<vorn::logger_base> log_;
  std::shared_ptr<ticker_host> core_;
  std::shared_ptr<ticker_state_keeper> state_keeper_;
};

}  // namespace orv
