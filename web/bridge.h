#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "web/carousel_view.h"
#include "web/render_pull.h"
#include "web/service_link.h"

namespace orv::web {

// A page's live connection as the bridge sees it.
class page_client {
 public:
  virtual ~page_client() = default;
  virtual void send(const std::string& json) = 0;
  // Sends json, then closes once it is out.
  virtual void refuse(const std::string& json) = 0;
  // Whether this page may change tickers (it showed the token, or none is needed).
  virtual bool may_act() const = 0;
};

// Turns a request the page framed as a tickertalk message into its fields.
std::optional<fields> parse_page_request(std::string_view bytes);

// What the pages show and do, on top of the service link and the renderer channels: the
// ticker list, each watched ticker's groups, what its render page was last given, log
// lines and events as they come, operator actions, and one render page per ticker.
class bridge {
 public:
  // How often watched state is read again; changes made by other clients show within this.
  static constexpr std::chrono::milliseconds refresh_interval{500};
  // The least time between two batches of updates to a ticker's monitors, and how many event
  // and log messages a batch keeps, the newest.
  static constexpr std::chrono::milliseconds monitor_interval{100};
  static constexpr std::size_t max_outbox_messages = 200;
  static constexpr std::size_t max_outbox_bytes = std::size_t{1} << 20;
  // Monitors a batch goes to in one loop turn.
  static constexpr std::size_t fan_out_slice = 16;

  bridge(boost::asio::io_context& io, std::shared_ptr<service_link> link);
  ~bridge();

  void watch_index(const std::shared_ptr<page_client>& page);
  void watch_ticker(const std::string& ticker, const std::shared_ptr<page_client>& page);
  // False when the ticker has a render page already.
  bool claim_render(const std::string& ticker, const std::shared_ptr<page_client>& page);
  void leave(const page_client* page);

  // request: id, then AddTicker and a name (index) or a ticker sub-command and its arguments.
  void act(const std::shared_ptr<page_client>& page, const std::string& ticker, const fields& request);
  void pull(const std::string& ticker);
  void log_line(const std::string& line);

 private:
  struct watched {
    std::vector<std::weak_ptr<page_client>> monitors;
    std::weak_ptr<page_client> renderer;
    std::unique_ptr<render_pull> puller;
    carousel_view view;
    std::string state;  // the newest state message
    bool state_unsent = false;
    std::string current;  // the newest current message
    bool current_unsent = false;
    std::string given;  // the last element its render page got
    bool given_unsent = false;
    bool pull_waiting = false;  // asked for before the service listed the ticker
    std::deque<std::string> outbox;  // event and log messages for the next batch
    std::size_t outbox_bytes = 0;
    std::unique_ptr<boost::asio::steady_timer> flush_timer;  // armed while monitors wait out monitor_interval
  };

  void connection_changed(bool up);
  void event(const fields& event);
  void refresh();
  void read_groups(const std::string& ticker, bool exists);
  void schedule_refresh();
  void post(const std::string& ticker, watched& w, const std::string& json);
  void flush(const std::string& ticker, watched& w);
  void fan_out(std::vector<std::weak_ptr<page_client>> pages, std::shared_ptr<const std::string> message,
               std::size_t from = 0);
  // Sends the ticker's state and current group to its monitors when they changed.
  void publish(const std::string& ticker, watched& w);
  void forget_if_unused(const std::string& ticker);
  template <class Each>
  void for_each_page(Each each);

  boost::asio::io_context& io_;
  std::shared_ptr<service_link> link_;
  boost::asio::steady_timer timer_;
  bool timer_armed_ = false;
  int reads_open_ = 0;
  bool read_again_ = false;
  std::vector<std::weak_ptr<page_client>> index_pages_;
  std::string ticker_list_;  // the last list message sent
  // Tickers the service listed at the last refresh: a render page of any other name gets no
  // channel, so no page can make the bridge create shared areas for names nobody serves.
  std::vector<std::string> listed_;
  std::map<std::string, watched> tickers_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace orv::web
