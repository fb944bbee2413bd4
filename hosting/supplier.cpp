#include "hosting/supplier.h"

#include <utility>

#include "engine/ticker_element.h"

namespace orv {

supplier::supplier(const std::string& name, vorn::event_dispatcher& dispatcher,
                   std::shared_ptr<event_server_base> events, run_sender send_run,
                   std::shared_ptr<vorn::logger_base> log)
    : ticker_endpoint(name),
      log_(std::move(log)),
      events_(std::move(events)),
      send_run_(std::move(send_run)),
      sections_(name),
      name_(name) {
  event().serve(dispatcher, [this] { on_signalled(); }, log_);
}

void supplier::set_stream(std::weak_ptr<element_stream> stream) { stream_ = std::move(stream); }

void supplier::clear() {
  write_empty_element(element_area());
  pending_titles_.clear();
}

void supplier::refresh_titles() {
  auto stream = stream_.lock();
  if (!stream) {
    if (log_at(20)) log_->stream(20) << "Element stream expired." << std::endl;
    return;
  }
  pending_titles_ = stream->GetUpcomingSections();
  if (pending_titles_.empty()) return;
  if (log_at(40)) {
    auto line = log_->stream(40);
    line << "  Refresh titles: ";
    for (const auto& title : pending_titles_) line << title << ' ';
    line << std::endl;
  }
  // Kept pending either way: the next request writes the same list again.
  write_titles(pending_titles_);
}

void supplier::on_signalled() {
  // What the previous request left: its element's log message, and the titles it fetched.
  if (!pending_log_.empty() || !pending_log_ttl_.empty()) {
    if (events_) events_->send_delayed_log(pending_log_, pending_log_ttl_);
    if (send_run_) send_run_(pending_log_ttl_, name_);
    pending_log_.clear();
    pending_log_ttl_.clear();
  }
  if (!pending_titles_.empty()) {
    if (log_at(70)) {
      auto line = log_->stream(70);
      line << "...delivering: ";
      for (const auto& title : pending_titles_) line << title << ' ';
      line << std::endl;
    }
    if (write_titles(pending_titles_)) pending_titles_.clear();
  }

  auto stream = stream_.lock();
  if (!stream) {
    if (log_at(20)) log_->stream(20) << "Element stream expired" << std::endl;
  } else if (stream->HasCurrentSection()) {
    pending_titles_ = stream->GetUpcomingSections();
  }

  TickerElement element;
  if (!stream) {
    if (log_at(20)) log_->stream(20) << "Element stream expired" << std::endl;
  } else if (stream->GetNextElement(element)) {
    std::string text = element.log_msg();
    std::int32_t ttl = element.ttl();
    if (ttl > 0) --ttl;
    if (!text.empty() && ttl >= 0) text += "?TTL=" + std::to_string(ttl);
    pending_log_ = element.log_msg();
    pending_log_ttl_ = std::move(text);
    delivered_ = true;
  } else if (delivered_) {
    // A dry spell: the ticker hears of it at once, listeners after six empty requests.
    if (empty_countdown_ == 5) stream->OnStreamEmpty();
    if (empty_countdown_ == 0) {
      pending_log_ = pending_log_ttl_ = empty_text;
      delivered_ = false;
      empty_countdown_ = 5;
    } else {
      --empty_countdown_;
    }
  }

  write_element(element);
}

bool supplier::write_titles(const std::vector<std::string>& titles) {
  const auto written = sections_.write(titles);
  if (!written) {
    if (log_at(30)) log_->stream(30) << "Title area held by a renderer; titles kept for the next request" << std::endl;
    return false;
  }
  if (written->cut && log_at(20))
    log_->stream(20) << "Title list cut to " << written->written << " of " << written->total
                     << " titles to fit the title area of " << section_area_size << " bytes" << std::endl;
  return true;
}

void supplier::write_element(const TickerElement& element) {
  if (element.key().empty()) {
    write_empty_element(element_area());
    return;
  }
  const area_write written = write_element_area(element_area(), element);
  if (written.cut && log_at(20)) {
    auto line = log_->stream(20);
    line << "Element " << element.key();
    if (written.written == 0 && element.design().size() + 2 > section_area_size)
      line << " replaced by the empty element: its design";
    else
      line << " cut to " << written.written << " of " << written.total << " values: it";
    line << " does not fit the element area of " << section_area_size << " bytes" << std::endl;
  }
  if (log_at(70)) log_->stream(70) << "...element: " << element_summary(element) << std::endl;
}

}  // namespace orv
