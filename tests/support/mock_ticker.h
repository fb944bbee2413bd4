#pragma once

#include <gmock/gmock.h>

#include "engine/ticker_control_interface.h"

namespace orv::testing {

class mock_ticker : public ticker_control_interface {
  using text = const std::string&;
  using int32 = std::int32_t;

 public:
  MOCK_METHOD(std::string, GetTickerName, (), (override));
  MOCK_METHOD(void, SetDesigns, (const text_table&), (override));
  MOCK_METHOD(void, SetIcons, (const text_table&, const text_table&), (override));
  MOCK_METHOD(void, Flush, (), (override));
  MOCK_METHOD(bool, MarkGroupForDeletion, (text), (override));
  MOCK_METHOD(void, ClearAll, (), (override));
  MOCK_METHOD(bool, AddGroupAfterGroup, (text, text), (override));
  MOCK_METHOD(bool, AddGroupToRunOncePriorityQueue, (text), (override));
  MOCK_METHOD(bool, SetNextGroup, (text), (override));
  MOCK_METHOD(bool, AddTTLGroupFromText, (text, text, text, text, text, text, text, int32, text, text, int32),
              (override));
  MOCK_METHOD(bool, AddIndependentGroup, (text), (override));
  MOCK_METHOD(bool, AddGroupAfterCurrent, (text), (override));
  MOCK_METHOD(bool, GetGroup, (text, std::shared_ptr<TickerGroup>&), (override));
  MOCK_METHOD(bool, GetNextElement, (TickerElement&), (override));
  MOCK_METHOD(std::string, GetCurrentGroupName, (), (override));
  MOCK_METHOD(bool, DeleteElement, (text, text), (override));
  MOCK_METHOD(bool, AddPriorityGroup, (text), (override));
  MOCK_METHOD(int32, GetPriorityQueueSize, (), (override));
  MOCK_METHOD(bool, DeleteGroup, (text), (override));
  MOCK_METHOD(std::vector<std::string>, GetGroupNames, (), (override));
  MOCK_METHOD(bool, ClearGroup, (text), (override));
  MOCK_METHOD(bool, GetElement, (text, text, TickerElement&), (override));
  MOCK_METHOD(bool, UpdateElement, (text, text), (override));
  MOCK_METHOD(bool, PutElement, (text, text), (override));
  MOCK_METHOD(bool, AddGroupSuperseedCurrent, (text), (override));
  MOCK_METHOD(bool, AddGroupBeforeCurrent, (text), (override));
  MOCK_METHOD(bool, RunOnce, (text, text, text, text, text, int32, text, text), (override));
  MOCK_METHOD(bool, MoveGroup, (text, text), (override));
  MOCK_METHOD(bool, AddGroupFromText, (text, text, text, text, text, text, text, int32, text, text), (override));
  MOCK_METHOD(bool, AddIndGroupFromText, (int32, text, text, text, text, text, text, int32, text, text), (override));
  MOCK_METHOD(bool, AddFlipGroupFromText, (text, text, text, text, text, text, int32, text, text), (override));
  MOCK_METHOD(bool, AddIndFlipGroupFromText, (int32, text, text, text, text, text, int32, text, text), (override));
  MOCK_METHOD(void, set_loop, (std::string), (override));
  MOCK_METHOD(void, continue_ticker, (), (override));
  MOCK_METHOD(void, pause_ticker, (), (override));
  MOCK_METHOD(std::string, GetGroups, (), (override));
  MOCK_METHOD(std::string, GetGroupsWithContent, (), (override));
  MOCK_METHOD(std::unique_ptr<group_operation>, StartGroupOperation, (group_placement, text, std::string_view),
              (override));
};

}  // namespace orv::testing
