#include "control/tickertalk.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <utility>

#include <boost/lexical_cast/bad_lexical_cast.hpp>

#include "control/command_adapter.h"
#include "engine/group_operation.h"
#include "hosting/tickers_interface.h"
#include "runtime/buffer_release.h"

namespace orv {

namespace {

// Every outgoing message ends with CR LF; the rendered message text carries no line end.
constexpr std::string_view end_of_message = "\r\n";

std::int32_t next_connection_id = 1;

// A client pipelining heavy commands gets this many answered per loop turn, and no more
// than fit in the time, so the renderers' requests are never queued behind a whole read of
// them.
constexpr std::size_t commands_per_turn = 32;
constexpr std::chrono::microseconds command_time_per_turn{250};
// A group document too long for one turn is read this much at a time, until the turn's time
// is spent: 0.03-0.06 ms of processor time a slice.
constexpr std::size_t document_slice = 4 * 1024;

// Answers a connection beyond the limit with the reason and hangs up.
class refusal : public vorn::base_protocol {
 public:
  explicit refusal(std::size_t limit) : limit_(limit) {}
  const char* kind() const override { return "tickertalk"; }
  void connection_made() override {
    vorn::message notice;
    notice.start("*");
    notice.add_field("error");
    notice.add_field("Too many connections: the service serves at most " + std::to_string(limit_) +
                     " at a time; try again later");
    notice.end_line();
    write(notice.text());
    close_connection();
  }

 private:
  std::size_t limit_;
};

}  // namespace

tickertalk_protocol::tickertalk_protocol(std::shared_ptr<vorn::logger_base> logger, tickers_interface* tickers)
    : vorn::plaintalk_protocol(nullptr),
      connection_id_(next_connection_id++),
      supported_protocols_{"tickertalk", "noevents"},
      tickers_(tickers),
      logger_(std::move(logger)) {
  set_messages_per_turn(commands_per_turn);
  set_turn_budget(command_time_per_turn);
  if (logger_->should_log(80)) logger_->stream(80) << "Creating tickertalk_protocol";
}

void tickertalk_protocol::connection_made() {
  install_message_parser(std::make_shared<vorn::message_accumulator>(*this));
}

void tickertalk_protocol::message_received(const field_list& fields) {
  field_list own = fields;
  take_message(own);
}

void tickertalk_protocol::take_message(field_list& fields) {
  // Without a tag there is nothing to address a reply to.
  if (fields.empty() || fields[0].empty()) return;
  reply_.start(fields[0]);
  if (fields.size() == 1) {
    reply_.add_field("error");
    reply_.add_field("incomplete command");
    send_reply();
    return;
  }
  static constexpr std::pair<std::string_view, command_handler> commands[] = {
      {"on_ticker", &tickertalk_protocol::on_ticker},
      {"ListTickers", &tickertalk_protocol::on_list_tickers},
      {"AddTicker", &tickertalk_protocol::on_add_ticker},
      {"DeleteTicker", &tickertalk_protocol::on_delete_ticker},
      {"protocol", &tickertalk_protocol::on_protocol}};
  const auto command = std::find_if(std::begin(commands), std::end(commands),
                                    [&](const auto& entry) { return entry.first == fields[1]; });
  if (command == std::end(commands)) {
    reply_.add_field("error");
    reply_.add_field("not implemented");
    reply_.add_field(fields[1]);
  } else {
    try {
      (this->*command->second)(fields);
    } catch (const std::runtime_error& e) {
      reply_.add_field("error");
      reply_.add_field(e.what());
    } catch (const boost::bad_lexical_cast& e) {
      reply_.add_field("error");
      reply_.add_field(e.what());
    }
  }
  if (!staged_ && !listing_) send_reply();
}

bool tickertalk_protocol::check_argument_count(const field_list& fields, std::size_t expected, bool at_least) {
  std::size_t got = fields.size() - 2;
  if (at_least ? got >= expected : got == expected) return true;
  reply_.add_field("error");
  reply_.add_field(fields[1] + ": Wrong argument count. Got " + std::to_string(got) + ", expected " +
                   (at_least ? "at least " : "") + std::to_string(expected) + ".");
  return false;
}

void tickertalk_protocol::add_outcome(bool success, const std::string& text) {
  reply_.add_field(success ? "ok" : "error");
  if (!text.empty()) reply_.add_field(text);
}

void tickertalk_protocol::framing_refused(std::string_view tag, std::string_view reason) {
  reply_.start(tag.empty() ? std::string_view("*") : tag);
  reply_.add_field("error");
  reply_.add_field(reason);
  send_reply();
}

void tickertalk_protocol::send_reply() {
  reply_.end_line();
  write(reply_.text());
  // The storage of a long reply is not kept for the next one: an idle client holds nothing.
  if (reply_.text().capacity() > 64 * 1024) reply_ = vorn::message();
}

void tickertalk_protocol::on_protocol(field_list& fields) {
  events_enabled_ = true;
  for (const auto& field : fields)
    if (field == "noevents") events_enabled_ = false;
  if (auto factory = factory_.lock()) factory->events_changed(*this);
  reply_.add_field("protocol");
  for (const auto& name : supported_protocols_) reply_.add_field(name);
}

void tickertalk_protocol::on_add_ticker(field_list& fields) {
  if (!check_argument_count(fields, 1, false)) return;
  auto result = tickers_->AddTicker(fields[2]);
  add_outcome(result.success, result.message);
}

void tickertalk_protocol::on_delete_ticker(field_list& fields) {
  if (!check_argument_count(fields, 1, false)) return;
  auto result = tickers_->DeleteTicker(fields[2]);
  add_outcome(result.success, result.message);
}

void tickertalk_protocol::on_list_tickers(field_list& fields) {
  if (!check_argument_count(fields, 0, false)) return;
  auto result = tickers_->ListTickers();
  add_outcome(result.success, result.message);
}

void tickertalk_protocol::on_ticker(field_list& fields) {
  if (!check_argument_count(fields, 2, true)) return;
  const std::string& name = fields[2];
  auto ticker = tickers_->GetTicker(name);
  if (!ticker) {
    tickers_->AddTicker(name);
    ticker = tickers_->GetTicker(name);
    if (!ticker) {
      reply_.add_field("error");
      reply_.add_field("Can't create ticker: '" + name + "'");
      return;
    }
    add_outcome(true, "Created ticker: '" + name + "'");
  }
  if (fields.size() >= 4 && fields[3] == "GetGroupsWithContent") {
    // A listing that takes one step is answered in this turn, as any command.
    auto step = ticker->ListGroupsWithContent();
    std::string first;
    if (step(first)) return add_outcome(true, first);
    listing_ = std::make_unique<staged_listing>();
    listing_->step = std::move(step);
    listing_->blocks.push_back(std::move(first));
    defer_message();
    return;
  }
  ticker_protocol_control_adapter adapter(ticker);
  if (fields.back().size() >= ticker_protocol_control_adapter::staged_document_size) {
    auto staged = std::make_unique<staged_message>();
    staged->fields = std::move(fields);
    staged->operation = adapter.start_staged(staged->fields);
    if (staged->operation) {
      staged->ticker = std::move(ticker);
      staged_ = std::move(staged);
      defer_message();
      return;
    }
    fields = std::move(staged->fields);
  }
  auto result = adapter.execute(fields);
  add_outcome(result.success, result.message);
}

// The listing grows in blocks of this size, each mapped apart: neither growing the text nor
// sending it copies megabytes in one turn, and each block goes back to the system on its own
// once sent.
constexpr std::size_t listing_block = 256 * 1024;

bool tickertalk_protocol::continue_listing() {
  auto& blocks = listing_->blocks;
  if (blocks.empty() || blocks.back().size() >= listing_block) blocks.emplace_back().reserve(listing_block * 5 / 4);
  if (!listing_->step(blocks.back())) return false;
  std::size_t size = 0;
  for (const std::string& block : blocks) size += block.size();
  reply_.add_field("ok");
  if (size == 0) {
    send_reply();
  } else {
    // As add_field renders it: a listing always holds line ends.
    reply_.add_escaped_field_start(size);
    blocks.insert(blocks.begin(), reply_.text());
    blocks.emplace_back("\r\n");
    write_parts(std::move(blocks));
    reply_ = vorn::message();
  }
  listing_.reset();
  return true;
}

bool tickertalk_protocol::continue_message() {
  if (listing_) return continue_listing();
  if (!staged_->replied) {
    if (!staged_->operation->read_some(document_slice)) return false;
    finish_staged();
    if (!staged_) return true;
    if (!staged_->replied) return false;  // started over
  }
  // The document is let go before the next message, its pages a mebibyte at a time.
  if (vorn::release_tail(staged_->fields.back(), std::size_t{1} << 20)) return false;
  staged_.reset();
  return true;
}

// Against the registry as it is now: a ticker deleted or replaced meanwhile gets the message
// over again from the start, as if it had only just arrived.
void tickertalk_protocol::finish_staged() {
  staged_message& staged = *staged_;
  if (tickers_->GetTicker(staged.fields[2]) != staged.ticker) {
    auto fields = std::move(staged.fields);
    staged_.reset();
    take_message(fields);
    return;
  }
  const auto result =
      ticker_protocol_control_adapter::staged_result(staged.fields, staged.operation->finish());
  add_outcome(result.success, result.message);
  send_reply();
  staged.operation.reset();
  staged.ticker.reset();
  staged.replied = true;
}

std::size_t tickertalk_protocol::held_input() const {
  std::size_t held = plaintalk_protocol::held_input();
  if (listing_)
    for (const auto& block : listing_->blocks) held += block.size();
  if (staged_)
    for (const auto& field : staged_->fields) held += field.size();
  return held;
}

// A turn for the group read so far, then the document a mebibyte a turn.
bool tickertalk_protocol::release_some() {
  if (listing_) {
    for (int i = 0; i < 4 && !listing_->blocks.empty(); ++i) listing_->blocks.pop_back();
    if (listing_->blocks.empty()) listing_.reset();
    return true;
  }
  if (!staged_) return plaintalk_protocol::release_some();
  if (staged_->operation) {
    if (staged_->operation->release_some()) return true;
    staged_->operation.reset();
    staged_->ticker.reset();
  } else if (!vorn::release_tail(staged_->fields.back(), std::size_t{1} << 20)) {
    staged_.reset();
  }
  return true;
}

tickertalk_factory::tickertalk_factory(std::shared_ptr<vorn::logger_base> logger, tickers_interface* tickers)
    : vorn::protocol_factory_base(std::move(logger)), tickers_(tickers) {}

std::shared_ptr<vorn::base_protocol> tickertalk_factory::create_protocol() {
  if (connections_.size() >= max_connections_) {
    if (!refusing_ && logger_->should_log(30))
      logger_->stream(30) << "Refusing tickertalk connections: " << connections_.size()
                          << " are open, the most allowed" << std::endl;
    refusing_ = true;
    return std::make_shared<refusal>(max_connections_);
  }
  refusing_ = false;
  if (logger_->should_log(80)) logger_->stream(80) << "Creating new tickertalk protocol.\n";
  std::shared_ptr<tickertalk_protocol> connection(new tickertalk_protocol(logger_, tickers_),
                                                  deleter{weak_from_this()});
  connection->factory_ = weak_from_this();
  connections_[connection->id()] = connection;
  return connection;
}

void tickertalk_factory::deleter::operator()(tickertalk_protocol* connection) const {
  if (auto owner = factory.lock()) owner->forget(*connection);
  delete connection;
}

void tickertalk_factory::events_changed(const tickertalk_protocol& connection) {
  const auto found = connections_.find(connection.id());
  if (connection.events_enabled() && found != connections_.end())
    receivers_[connection.id()] = found->second;
  else
    receivers_.erase(connection.id());
}

void tickertalk_factory::forget(const tickertalk_protocol& connection) {
  receivers_.erase(connection.id());
  if (connections_.erase(connection.id()) == 0 && logger_->should_log(20))
    logger_->stream(20) << "Internal error: Could not locate protocol.";
}

void tickertalk_factory::broadcast_event(const std::vector<std::string>& fields) {
  vorn::message event;
  event.start("*");
  for (const auto& field : fields) event.add_field(field);

  // Collected first: a connection released while we write must not unregister under our loop.
  std::vector<std::shared_ptr<tickertalk_protocol>> receivers;
  for (const auto& entry : receivers_) {
    auto connection = entry.second.lock();
    if (connection && connection->has_transport())
      receivers.push_back(std::move(connection));
  }
  const std::string wire = event.text() + std::string(end_of_message);
  for (const auto& connection : receivers) connection->write(wire);

  if (!receivers.empty() && logger_->should_log(50))
    logger_->stream(50) << "Sent event to " << receivers.size() << "/" << connections_.size() << ": \"" << event.text()
                        << "\"" << std::endl;
}

}  // namespace orv
