#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "automation/automation_types.h"
#include "engine/ticker_control_interface.h"
#include "hosting/tickers_interface.h"
#include "runtime/logger_base.h"

namespace orv {

// One ticker's automation object. Holds its ticker weakly: once the ticker is deleted, by
// either control path, every method answers E_FAIL. Results are 1 or 0; an operation that
// fails is still S_OK.
class ticker_control {
 public:
  ticker_control(std::string ticker_name, std::weak_ptr<ticker_control_interface> ticker,
                 std::shared_ptr<vorn::logger_base> logger);
  ~ticker_control();
  ticker_control(const ticker_control&) = delete;
  ticker_control& operator=(const ticker_control&) = delete;

  using long_result = std::int32_t*;
  using text_result = bstr*;

  hresult ListGroups(text_result result);
  hresult DeleteGroup(const bstr& group_name, long_result result);
  hresult AddGroupAfterCurrent(const bstr& xml_data, long_result result);
  hresult AddGroupBeforeCurrent(const bstr& xml_data, long_result result);
  hresult AddGroupSuperseedCurrent(const bstr& xml_data, long_result result);
  hresult AddGroupAfterGroup(const bstr& group_to_follow, const bstr& xml_data, long_result result);
  hresult GetGroup(const bstr& group_name, text_result result);
  hresult PutElement(const bstr& group_name, const bstr& element_data, long_result result);
  hresult UpdateElement(const bstr& group_name, const bstr& element_data, long_result result);
  hresult DeleteElement(const bstr& group_name, const bstr& element_key, long_result result);
  hresult GetElement(const bstr& group_name, const bstr& element_key, text_result result);
  hresult ClearAll(long_result result);
  hresult GetNextElement(text_result result);
  hresult GetCurrentGroupName(text_result result);
  hresult ClearGroup(const bstr& group_name, long_result result);
  hresult ClearAllAndAddGroup(const bstr& xml_data, long_result result);
  hresult DeleteGroupWhenInactive(const bstr& group_name, long_result result);
  hresult StartOrvCommunication(const bstr& ticker_name, long_result result);
  hresult AddIndependentGroup(const bstr& xml_data, long_result result);

  hresult GetGroupNames(variant* result);
  hresult MoveGroup(const bstr& group_to_move, const bstr& group_to_follow, long_result result);
  hresult AddGroupFromText(const bstr& group_to_follow, const bstr& groupname, const bstr& text,
                           const bstr& textdesign, const bstr& startdesign, const bstr& enddesign,
                           const bstr& textpart, std::int32_t padding, const bstr& logmsg, const bstr& on_enter,
                           long_result result);
  hresult AddIndGroupFromText(std::int32_t interval, const bstr& groupname, const bstr& text, const bstr& design,
                              const bstr& startdesign, const bstr& enddesign, const bstr& textpart,
                              std::int32_t padding, const bstr& logmsg, const bstr& on_enter, long_result result);
  hresult SetNextGroup(const bstr& groupname, long_result result);
  hresult AddFlipGroupFromText(const bstr& group_to_follow, const bstr& groupname, const bstr& text,
                               const bstr& design, const bstr& textpart, const bstr& logmsg, std::int32_t duration,
                               const bstr& on_enter, const bstr& on_exit, long_result result);
  hresult AddIndFlipGroupFromText(std::int32_t interval, const bstr& groupname, const bstr& text,
                                  const bstr& design, const bstr& textpart, const bstr& logmsg,
                                  std::int32_t duration, const bstr& on_enter, const bstr& on_exit,
                                  long_result result);
  hresult RunOnce(const bstr& text, const bstr& design, const bstr& startdesign, const bstr& enddesign,
                  const bstr& textpart, std::int32_t padding, const bstr& logmsg, const bstr& on_enter,
                  long_result result);
  hresult Flush();
  hresult SetIcons(const variant& tags, const variant& designs, const variant& orv_cmds);
  hresult SetDesigns(const variant& tags, const variant& designs);

  hresult AddTTLGroupFromText(const bstr& group_to_follow, const bstr& groupname, const bstr& text,
                              const bstr& textdesign, const bstr& startdesign, const bstr& enddesign,
                              const bstr& textpart, std::int32_t padding, const bstr& logmsg, const bstr& on_enter,
                              std::int32_t ttl, long_result result);
  hresult AddPriorityGroup(const bstr& group_name, long_result result);

 private:
  // Stale ticker: E_FAIL at once. Otherwise the ticker is held for the call; an exception
  // becomes E_FAIL and a log line instead of reaching the caller.
  hresult call(const char* method, const std::function<hresult(ticker_control_interface&)>& body);
  void log_outcome(const std::string& head, bool success);

  std::string ticker_name_;
  std::weak_ptr<ticker_control_interface> ticker_;
  std::shared_ptr<vorn::logger_base> log_;
};

// What the registry object binds to on first use.
struct automation_core {
  std::shared_ptr<tickers_interface> tickers;  // empty once the service is shutting down
  std::shared_ptr<vorn::logger_base> logger;
};

// The registry object, one per process: creates, lists and deletes tickers and hands out
// per-ticker objects. It binds to the service's registry on its first call and then keeps it.
class COrvTickers {
 public:
  using binder = std::function<automation_core()>;

  explicit COrvTickers(binder bind) : bind_(std::move(bind)) {}

  hresult AddTicker(const bstr& ticker_name, std::int32_t* result);
  hresult ListTickers(bstr* result);
  hresult DeleteTicker(const bstr& ticker_name, std::int32_t* result);
  // No ticker of that name: S_OK and an empty handle. Every call makes a new object.
  hresult GetTicker(const bstr& ticker_name, std::shared_ptr<ticker_control>* result);

 private:
  hresult call(const char* method, const std::function<hresult(tickers_interface&)>& body);

  binder bind_;
  std::shared_ptr<tickers_interface> tickers_;
  std::shared_ptr<vorn::logger_base> core_logger_;
  std::shared_ptr<vorn::logger_base> log_;
};

}  // namespace orv
