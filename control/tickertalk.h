#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/plaintalk.h"
#include "runtime/protocol.h"

namespace orv {

class tickers_interface;
class ticker_control_interface;
class group_operation;

class tickertalk_factory;

// One tickertalk connection. Each message is a tag chosen by the client, a command and its
// arguments; every message with a tag gets exactly one reply that starts with that tag.
class tickertalk_protocol : public vorn::plaintalk_protocol {
 public:
  using field_list = std::vector<std::string>;

  tickertalk_protocol(std::shared_ptr<vorn::logger_base> logger, tickers_interface* tickers);

  void connection_made() override;
  void message_received(const field_list& fields) override;
  void take_message(field_list& fields) override;
  const char* kind() const override { return "tickertalk"; }
  // A message whose group document is being read counts in full.
  std::size_t held_input() const override;
  bool release_some() override;

  std::int32_t id() const { return connection_id_; }
  // Set by the "protocol" command; broadcast events go only to connections that asked.
  bool events_enabled() const { return events_enabled_; }

 protected:
  // The client learns why it is cut off: an error reply to the broken message, or a last
  // line tagged "*" when that message had no complete tag.
  void framing_refused(std::string_view tag, std::string_view reason) override;
  bool continue_message() override;

 private:
  using command_handler = void (tickertalk_protocol::*)(field_list&);

  // An "on_ticker" message whose group document is read over several turns, a slice at a
  // time, while this connection reads nothing else.
  struct staged_message {
    field_list fields;
    std::shared_ptr<ticker_control_interface> ticker;
    std::unique_ptr<group_operation> operation;  // reads fields and acts on ticker
    bool replied = false;  // then the document's pages go back a mebibyte a turn
  };

  // A GetGroupsWithContent listing taken a part at a time, while this connection reads
  // nothing else; its text in blocks (see continue_listing).
  struct staged_listing {
    std::function<bool(std::string& text)> step;
    std::vector<std::string> blocks;
  };

  bool continue_listing();
  void on_protocol(field_list& fields);
  void on_add_ticker(field_list& fields);
  void on_delete_ticker(field_list& fields);
  void on_list_tickers(field_list& fields);
  void on_ticker(field_list& fields);
  void finish_staged();

  // Adds the error to the reply and returns false when the argument count is wrong.
  bool check_argument_count(const field_list& fields, std::size_t expected, bool at_least);
  void add_outcome(bool success, const std::string& text);
  void send_reply();

  std::int32_t connection_id_;
  vorn::message reply_;
  std::vector<std::string> supported_protocols_;
  tickers_interface* tickers_;
  std::shared_ptr<vorn::logger_base> logger_;
  bool events_enabled_ = false;
  std::weak_ptr<tickertalk_factory> factory_;  // told when events_enabled_ changes
  friend class tickertalk_factory;
  std::unique_ptr<staged_message> staged_;
  std::unique_ptr<staged_listing> listing_;
};

// Makes the tickertalk connections and keeps track of them for event broadcasts.
// Hold it by shared handle: connections unregister through a weak one when they end.
class tickertalk_factory : public vorn::protocol_factory_base, public std::enable_shared_from_this<tickertalk_factory> {
 public:
  // Unregisters a connection when its last handle goes. Weak, because connections may be
  // released by the event loop after the factory itself is gone.
  struct deleter {
    std::weak_ptr<tickertalk_factory> factory;
    void operator()(tickertalk_protocol* connection) const;
  };

  // tickers must outlive every connection this factory makes.
  tickertalk_factory(std::shared_ptr<vorn::logger_base> logger, tickers_interface* tickers);

  static constexpr std::size_t default_max_connections = 4096;

  // At the limit, a new connection is told so in an event message and closed.
  std::shared_ptr<vorn::base_protocol> create_protocol() override;
  void set_max_connections(std::size_t limit) { max_connections_ = limit; }

  // Sends "*" followed by fields to every live connection that asked for events.
  void broadcast_event(const std::vector<std::string>& fields);

 private:
  friend class tickertalk_protocol;
  void forget(const tickertalk_protocol& connection);
  void events_changed(const tickertalk_protocol& connection);

  tickers_interface* tickers_;
  std::map<std::int32_t, std::weak_ptr<tickertalk_protocol>> connections_;
  // Those that asked for events: a broadcast, sent at every element a renderer takes, walks
  // only them, not every connection.
  std::map<std::int32_t, std::weak_ptr<tickertalk_protocol>> receivers_;
  std::size_t max_connections_ = default_max_connections;
  bool refusing_ = false;  // the refusal is logged once while connections stay at the limit
};

}  // namespace orv
