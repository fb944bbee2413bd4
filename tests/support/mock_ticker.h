#pragma once

#include <gmock/gmock.h>

#include "engine/ticker_control_interface.h"

namespace orv::testing {

class mock_ticker : public ticker_control_interface {
 public:
  MOCK_METHOD(std::string, GetTickerName, (), (override));
  MOCK_METHOD(void, SetDesigns, (const text_table&), (override));
  MOCK_METHOD(void, SetIcons, (const text_table&, const text_table&), (override));
  MOCK_METHOD(void, Flush, (), (override));
  MOCK_METHOD(bool, MarkGroupForDeletion, (const std::string&), (override));
  MOCK_METHOD(void, ClearAll, (), (override));
  MOCK_METHOD(bool, AddGroupAfterGroup, (const std::string&, const std::string&), (override));
  MOCK_METHOD(bool, AddGroupToRunOncePriorityQueue, (const std::string&), (override));
  MOCK_METHOD(bool, SetNextGroup, (const std::string&), (override));
  MOCK_METHOD(bool, AddTTLGroupFromText,
              (const std::string&, const std::string&, const std::string&, const std::string&, const std::string&,
               const std::string&, const std::string&, std::int32_t, const std::string&, const std::string&,
               std::int32_t),
              (override));
  MOCK_METHOD(bool, AddIndependentGroup, (const std::string&), (override));
  MOCK_METHOD(bool, AddGroupAfterCurrent, (const std::string&), (override));
  MOCK_METHOD(bool, GetGroup, (const std::string&, std::shared_ptr<TickerGroup>&), (override));
  MOCK_METHOD(bool, GetNextElement, (TickerElement&), (override));
  MOCK_METHOD(std::string, GetCurrentGroupName, (), (override));
  MOCK_METHOD(bool, DeleteElement, (const std::string&, const std::string&), (override));
  MOCK_METHOD(bool, AddPriorityGroup, (const std::string&), (override));
  MOCK_METHOD(std::int32_t, GetPriorityQueueSize, (), (override));
  MOCK_METHOD(bool, DeleteGroup, (const std::string&), (override));
  MOCK_METHOD(std::vector<std::string>, GetGroupNames, (), (override));
  MOCK_METHOD(bool, ClearGroup, (const std::string&), (override));
  MOCK_METHOD(bool, GetElement, (const std::string&, const std::string&, TickerElement&), (override));
  MOCK_METHOD(bool, UpdateElement, (const std::string&, const std::string&), (override));
  MOCK_METHOD(bool, PutElement, (const std::string&, const std::string&), (override));
  MOCK_METHOD(bool, AddGroupSuperseedCurrent, (const std::string&), (override));
  MOCK_METHOD(bool, AddGroupBeforeCurrent, (const std::string&), (override));
  MOCK_METHOD(bool, RunOnce,
              (const std::string&, const std::string&, const std::string&, const std::string&, const std::string&,
               std::int32_t, const std::string&, const std::string&),
              (override));
  MOCK_METHOD(bool, MoveGroup, (const std::string&, const std::string&), (override));
  MOCK_METHOD(bool, AddGroupFromText,
              (const std::string&, const std::string&, const std::string&, const std::string&, const std::string&,
               const std::string&, const std::string&, std::int32_t, const std::string&, const std::string&),
              (override));
  MOCK_METHOD(bool, AddIndGroupFromText,
              (std::int32_t, const std::string&, const std::string&, const std::string&, const std::string&,
               const std::string&, const std::string&, std::int32_t, const std::string&, const std::string&),
              (override));
  MOCK_METHOD(bool, AddFlipGroupFromText,
              (const std::string&, const std::string&, const std::string&, const std::string&, const std::string&,
               const std::string&, std::int32_t, const std::string&, const std::string&),
              (override));
  MOCK_METHOD(bool, AddIndFlipGroupFromText,
              (std::int32_t, const std::string&, const std::string&, const std::string&, const std::string&,
               const std::string&, std::int32_t, const std::string&, const std::string&),
              (override));
  MOCK_METHOD(void, set_loop, (std::string), (override));
  MOCK_METHOD(void, continue_ticker, (), (override));
  MOCK_METHOD(void, pause_ticker, (), (override));
  MOCK_METHOD(std::string, GetGroups, (), (override));
  MOCK_METHOD(std::string, GetGroupsWithContent, (), (override));
};

}  // namespace orv::testing
