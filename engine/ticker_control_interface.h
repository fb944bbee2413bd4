#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/group_operation.h"

namespace orv {

class TickerElement;
class TickerGroup;

using text_table = std::map<std::string, std::string>;

// The control surface of one ticker. The command adapter and the automation objects bind to
// the order of these operations, so new ones go at the end.
class ticker_control_interface {
 public:
  virtual std::string GetTickerName() = 0;
  virtual void SetDesigns(const text_table& designs) = 0;
  virtual void SetIcons(const text_table& icon_designs, const text_table& icon_commands) = 0;
  virtual void Flush() = 0;
  virtual bool MarkGroupForDeletion(const std::string& group_name) = 0;
  virtual void ClearAll() = 0;
  virtual bool AddGroupAfterGroup(const std::string& follow_name, const std::string& group_xml) = 0;
  virtual bool AddGroupToRunOncePriorityQueue(const std::string& group_xml) = 0;
  virtual bool SetNextGroup(const std::string& group_name) = 0;
  virtual bool AddTTLGroupFromText(const std::string& follow_name, const std::string& group_name,
                                   const std::string& text, const std::string& textdesign,
                                   const std::string& startdesign, const std::string& enddesign,
                                   const std::string& textpart, std::int32_t padding, const std::string& logmsg,
                                   const std::string& on_enter, std::int32_t ttl) = 0;
  virtual bool AddIndependentGroup(const std::string& group_xml) = 0;
  virtual bool AddGroupAfterCurrent(const std::string& group_xml) = 0;
  virtual bool GetGroup(const std::string& group_name, std::shared_ptr<TickerGroup>& group) = 0;
  virtual bool GetNextElement(TickerElement& out) = 0;
  virtual std::string GetCurrentGroupName() = 0;
  virtual bool DeleteElement(const std::string& group_name, const std::string& key) = 0;
  virtual bool AddPriorityGroup(const std::string& group_name) = 0;
  virtual std::int32_t GetPriorityQueueSize() = 0;
  virtual bool DeleteGroup(const std::string& group_name) = 0;
  virtual std::vector<std::string> GetGroupNames() = 0;
  virtual bool ClearGroup(const std::string& group_name) = 0;
  virtual bool GetElement(const std::string& group_name, const std::string& key, TickerElement& out) = 0;
  virtual bool UpdateElement(const std::string& group_name, const std::string& element_xml) = 0;
  virtual bool PutElement(const std::string& group_name, const std::string& element_xml) = 0;
  virtual bool AddGroupSuperseedCurrent(const std::string& group_xml) = 0;
  virtual bool AddGroupBeforeCurrent(const std::string& group_xml) = 0;
  virtual bool RunOnce(const std::string& text, const std::string& textdesign, const std::string& startdesign,
                       const std::string& enddesign, const std::string& textpart, std::int32_t padding,
                       const std::string& logmsg, const std::string& on_enter) = 0;
  virtual bool MoveGroup(const std::string& move_name, const std::string& follow_name) = 0;
  virtual bool AddGroupFromText(const std::string& follow_name, const std::string& group_name,
                                const std::string& text, const std::string& textdesign,
                                const std::string& startdesign, const std::string& enddesign,
                                const std::string& textpart, std::int32_t padding, const std::string& logmsg,
                                const std::string& on_enter) = 0;
  virtual bool AddIndGroupFromText(std::int32_t interval, const std::string& group_name, const std::string& text,
                                   const std::string& textdesign, const std::string& startdesign,
                                   const std::string& enddesign, const std::string& textpart,
                                   std::int32_t padding, const std::string& logmsg,
                                   const std::string& on_enter) = 0;
  virtual bool AddFlipGroupFromText(const std::string& follow_name, const std::string& group_name,
                                    const std::string& text, const std::string& design,
                                    const std::string& textpart, const std::string& logmsg,
                                    std::int32_t duration, const std::string& on_enter,
                                    const std::string& on_exit) = 0;
  virtual bool AddIndFlipGroupFromText(std::int32_t interval, const std::string& group_name,
                                       const std::string& text, const std::string& design,
                                       const std::string& textpart, const std::string& logmsg,
                                       std::int32_t duration, const std::string& on_enter,
                                       const std::string& on_exit) = 0;
  virtual void set_loop(std::string mode) = 0;
  virtual void continue_ticker() = 0;
  virtual void pause_ticker() = 0;
  virtual std::string GetGroups() = 0;
  virtual std::string GetGroupsWithContent() = 0;
  // A group XML operation whose document is read over several calls (see group_operation);
  // follow_name is used by after_group only. Null: the ticker reads documents only whole.
  virtual std::unique_ptr<group_operation> StartGroupOperation(group_placement placement,
                                                               const std::string& follow_name,
                                                               std::string_view group_xml) = 0;
  // The listing of GetGroupsWithContent a part at a time, for a caller that must not hold its
  // thread for the whole of a large carousel: each call appends the next groups' lines and
  // returns true once the listing is complete.
  using listing_step = std::function<bool(std::string& text)>;
  virtual listing_step ListGroupsWithContent() {
    return [this](std::string& text) {
      text += GetGroupsWithContent();
      return true;
    };
  }

  virtual ~ticker_control_interface() = default;
};

}  // namespace orv
