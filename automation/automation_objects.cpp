#include "automation/automation_objects.h"

#include <iostream>

#include "engine/ticker_element.h"
#include "engine/ticker_group.h"

namespace orv {

namespace {

const char* outcome(bool success) { return success ? " Success" : " Failed"; }

// Tables built from parallel arrays of strings; key i maps to value i.
void fill_table(text_table& table, const bstr_array& keys, const bstr_array& values) {
  for (std::size_t i = 0; i < keys.items.size(); ++i)
    table[name_conversion(keys.items[i])] = name_conversion(values.items[i]);
}

bool same_bounds(const bstr_array& a, const bstr_array& b) { return a.lower == b.lower && a.upper() == b.upper(); }

}  // namespace

ticker_control::ticker_control(std::string ticker_name, std::weak_ptr<ticker_control_interface> ticker,
                               std::shared_ptr<vorn::logger_base> logger)
    : ticker_name_(std::move(ticker_name)), ticker_(std::move(ticker)), log_(std::move(logger)) {
  if (log_->should_log(40)) log_->stream(40) << "  Initializing ticker_control" << ticker_name_ << "\n";
}

ticker_control::~ticker_control() {
  if (log_->should_log(40)) log_->stream(40) << "Destructing ticker_control (" << ticker_name_ << ")" << std::endl;
}

hresult ticker_control::call(const char* method, const std::function<hresult(ticker_control_interface&)>& body) {
  auto ticker = ticker_.lock();
  if (!ticker) return hresult::E_FAIL;
  try {
    return body(*ticker);
  } catch (const std::exception& e) {
    if (log_->should_log(20)) log_->stream(20) << method << " failed: " << e.what() << std::endl;
    return hresult::E_FAIL;
  }
}

void ticker_control::log_outcome(const std::string& head, bool success) {
  if (log_->should_log(50)) log_->stream(50) << head << outcome(success) << std::endl;
}

hresult ticker_control::ListGroups(text_result result) {
  return call("ListGroups", [&](ticker_control_interface& t) {
    std::string list;
    for (const auto& name : t.GetGroupNames()) list += "\"" + name + "\" ";
    *result = utf8_output_conversion(list);
    return hresult::S_OK;
  });
}

hresult ticker_control::DeleteGroup(const bstr& group_name, long_result result) {
  return call("DeleteGroup", [&](ticker_control_interface& t) {
    const std::string name = name_conversion(group_name);
    *result = t.DeleteGroup(name);
    log_outcome("DeleteGroup(..." + name + "...)", *result);
    return hresult::S_OK;
  });
}

hresult ticker_control::AddGroupAfterCurrent(const bstr& xml_data, long_result result) {
  return call("AddGroupAfterCurrent", [&](ticker_control_interface& t) {
    *result = 0;
    if (!xml_data) {
      if (log_->should_log(30)) log_->stream(30) << "AddGroupAfterGroup: no XML data.\n";
      return hresult::S_OK;
    }
    *result = t.AddGroupAfterCurrent(name_conversion(xml_data));
    return hresult::S_OK;
  });
}

hresult ticker_control::AddGroupBeforeCurrent(const bstr& xml_data, long_result result) {
  return call("AddGroupBeforeCurrent", [&](ticker_control_interface& t) {
    *result = xml_data && t.AddGroupBeforeCurrent(xml_conversion(xml_data));
    return hresult::S_OK;
  });
}

hresult ticker_control::AddGroupSuperseedCurrent(const bstr& xml_data, long_result result) {
  return call("AddGroupSuperseedCurrent", [&](ticker_control_interface& t) {
    *result = xml_data && t.AddGroupSuperseedCurrent(xml_conversion(xml_data));
    return hresult::S_OK;
  });
}

hresult ticker_control::AddGroupAfterGroup(const bstr& group_to_follow, const bstr& xml_data, long_result result) {
  return call("AddGroupAfterGroup", [&](ticker_control_interface& t) {
    *result = 0;
    if (!xml_data) {
      if (log_->should_log(30)) log_->stream(30) << "AddGroupAfterGroup: no XML data.\n";
      return hresult::S_OK;
    }
    *result = t.AddGroupAfterGroup(name_conversion(group_to_follow), xml_conversion(xml_data));
    return hresult::S_OK;
  });
}

hresult ticker_control::GetGroup(const bstr& group_name, text_result result) {
  return call("GetGroup", [&](ticker_control_interface& t) {
    *result = std::nullopt;
    std::shared_ptr<TickerGroup> group;
    if (group_name && t.GetGroup(name_conversion(group_name), group) && group) *result = group->GetContentXml();
    return hresult::S_OK;
  });
}

hresult ticker_control::PutElement(const bstr& group_name, const bstr& element_data, long_result result) {
  return call("PutElement", [&](ticker_control_interface& t) {
    *result = group_name && element_data && t.PutElement(name_conversion(group_name), xml_conversion(element_data));
    return hresult::S_OK;
  });
}

hresult ticker_control::UpdateElement(const bstr& group_name, const bstr& element_data, long_result result) {
  return call("UpdateElement", [&](ticker_control_interface& t) {
    *result =
        group_name && element_data && t.UpdateElement(name_conversion(group_name), xml_conversion(element_data));
    return hresult::S_OK;
  });
}

hresult ticker_control::DeleteElement(const bstr& group_name, const bstr& element_key, long_result result) {
  return call("DeleteElement", [&](ticker_control_interface& t) {
    *result = group_name && element_key && t.DeleteElement(name_conversion(group_name), name_conversion(element_key));
    return hresult::S_OK;
  });
}

hresult ticker_control::GetElement(const bstr& group_name, const bstr& element_key, text_result result) {
  return call("GetElement", [&](ticker_control_interface& t) {
    *result = std::nullopt;
    if (!group_name || !element_key) return hresult::S_OK;
    TickerElement element;
    *result = t.GetElement(name_conversion(group_name), name_conversion(element_key), element)
                  ? byte_output_conversion(element.ToXml())
                  : bstr(u"");
    return hresult::S_OK;
  });
}

hresult ticker_control::ClearAll(long_result result) {
  return call("ClearAll", [&](ticker_control_interface& t) {
    t.ClearAll();
    t.Flush();
    *result = 1;
    return hresult::S_OK;
  });
}

hresult ticker_control::GetNextElement(text_result result) {
  return call("GetNextElement", [&](ticker_control_interface& t) {
    TickerElement element;
    *result = byte_output_conversion(
        t.GetNextElement(element) ? element.ToXml() + "TTL: " + std::to_string(element.ttl()) : "");
    return hresult::S_OK;
  });
}

hresult ticker_control::GetCurrentGroupName(text_result result) {
  return call("GetCurrentGroupName", [&](ticker_control_interface& t) {
    *result = byte_output_conversion(t.GetCurrentGroupName());
    return hresult::S_OK;
  });
}

hresult ticker_control::ClearGroup(const bstr& group_name, long_result result) {
  return call("ClearGroup", [&](ticker_control_interface& t) {
    *result = group_name && t.ClearGroup(name_conversion(group_name));
    return hresult::S_OK;
  });
}

hresult ticker_control::ClearAllAndAddGroup(const bstr& xml_data, long_result result) {
  return call("ClearAllAndAddGroup", [&](ticker_control_interface& t) {
    t.ClearAll();
    *result = xml_data && t.AddGroupAfterCurrent(xml_conversion(xml_data));
    return hresult::S_OK;
  });
}

hresult ticker_control::DeleteGroupWhenInactive(const bstr& group_name, long_result result) {
  return call("DeleteGroupWhenInactive", [&](ticker_control_interface& t) {
    *result = 0;
    if (!group_name) return hresult::S_OK;
    *result = t.MarkGroupForDeletion(name_conversion(group_name));
    log_outcome("DeleteGroupWhenInactive(..." + utf8_name_conversion(group_name) + "...)", *result);
    return hresult::S_OK;
  });
}

// Kept for old clients; there is nothing to start.
hresult ticker_control::StartOrvCommunication(const bstr&, long_result) { return hresult::S_OK; }

hresult ticker_control::AddIndependentGroup(const bstr& xml_data, long_result result) {
  return call("AddIndependentGroup", [&](ticker_control_interface& t) {
    *result = xml_data && t.AddIndependentGroup(xml_conversion(xml_data));
    return hresult::S_OK;
  });
}

hresult ticker_control::GetGroupNames(variant* result) {
  return call("GetGroupNames", [&](ticker_control_interface& t) {
    bstr_array names;
    for (const auto& name : t.GetGroupNames()) names.items.push_back(byte_output_conversion(name));
    *result = std::move(names);
    return hresult::S_OK;
  });
}

hresult ticker_control::MoveGroup(const bstr& group_to_move, const bstr& group_to_follow, long_result result) {
  return call("MoveGroup", [&](ticker_control_interface& t) {
    *result = t.MoveGroup(name_conversion(group_to_move), name_conversion(group_to_follow));
    return hresult::S_OK;
  });
}

hresult ticker_control::AddGroupFromText(const bstr& group_to_follow, const bstr& groupname, const bstr& text,
                                         const bstr& textdesign, const bstr& startdesign, const bstr& enddesign,
                                         const bstr& textpart, std::int32_t padding, const bstr& logmsg,
                                         const bstr& on_enter, long_result result) {
  return call("AddGroupFromText", [&](ticker_control_interface& t) {
    const std::string name = name_conversion(groupname);
    *result = t.AddGroupFromText(name_conversion(group_to_follow), name, name_conversion(text),
                                 name_conversion(textdesign), name_conversion(startdesign), name_conversion(enddesign),
                                 name_conversion(textpart), padding, name_conversion(logmsg),
                                 name_conversion(on_enter));
    log_outcome("AddGroupFromText(..." + name + "...)", *result);
    return hresult::S_OK;
  });
}

hresult ticker_control::AddIndGroupFromText(std::int32_t interval, const bstr& groupname, const bstr& text,
                                            const bstr& design, const bstr& startdesign, const bstr& enddesign,
                                            const bstr& textpart, std::int32_t padding, const bstr& logmsg,
                                            const bstr& on_enter, long_result result) {
  return call("AddIndGroupFromText", [&](ticker_control_interface& t) {
    *result = t.AddIndGroupFromText(interval, name_conversion(groupname), name_conversion(text),
                                    name_conversion(design), name_conversion(startdesign),
                                    name_conversion(enddesign), name_conversion(textpart), padding,
                                    name_conversion(logmsg), name_conversion(on_enter));
    return hresult::S_OK;
  });
}

hresult ticker_control::SetNextGroup(const bstr& groupname, long_result result) {
  return call("SetNextGroup", [&](ticker_control_interface& t) {
    const std::string name = name_conversion(groupname);
    *result = t.SetNextGroup(name);
    log_outcome("SetNextGroup(" + name + ")", *result);
    return hresult::S_OK;
  });
}

hresult ticker_control::AddFlipGroupFromText(const bstr& group_to_follow, const bstr& groupname, const bstr& text,
                                             const bstr& design, const bstr& textpart, const bstr& logmsg,
                                             std::int32_t duration, const bstr& on_enter, const bstr& on_exit,
                                             long_result result) {
  return call("AddFlipGroupFromText", [&](ticker_control_interface& t) {
    *result = t.AddFlipGroupFromText(name_conversion(group_to_follow), name_conversion(groupname),
                                     name_conversion(text), name_conversion(design), name_conversion(textpart),
                                     name_conversion(logmsg), duration, name_conversion(on_enter),
                                     name_conversion(on_exit));
    return hresult::S_OK;
  });
}

hresult ticker_control::AddIndFlipGroupFromText(std::int32_t interval, const bstr& groupname, const bstr& text,
                                                const bstr& design, const bstr& textpart, const bstr& logmsg,
                                                std::int32_t duration, const bstr& on_enter, const bstr& on_exit,
                                                long_result result) {
  return call("AddIndFlipGroupFromText", [&](ticker_control_interface& t) {
    *result = t.AddIndFlipGroupFromText(interval, name_conversion(groupname), name_conversion(text),
                                        name_conversion(design), name_conversion(textpart), name_conversion(logmsg),
                                        duration, name_conversion(on_enter), name_conversion(on_exit));
    return hresult::S_OK;
  });
}

hresult ticker_control::RunOnce(const bstr& text, const bstr& design, const bstr& startdesign, const bstr& enddesign,
                                const bstr& textpart, std::int32_t padding, const bstr& logmsg, const bstr& on_enter,
                                long_result result) {
  return call("RunOnce", [&](ticker_control_interface& t) {
    *result = t.RunOnce(name_conversion(text), name_conversion(design), name_conversion(startdesign),
                        name_conversion(enddesign), name_conversion(textpart), padding, name_conversion(logmsg),
                        name_conversion(on_enter));
    return hresult::S_OK;
  });
}

hresult ticker_control::Flush() {
  return call("Flush", [&](ticker_control_interface& t) {
    t.Flush();
    return hresult::S_OK;
  });
}

hresult ticker_control::SetIcons(const variant& tags, const variant& designs, const variant& orv_cmds) {
  return call("SetIcons", [&](ticker_control_interface& t) {
    if (log_->should_log(50)) log_->stream(50) << "SetIcons" << std::endl;
    if (!tags || !designs || !orv_cmds) return hresult::DISP_E_TYPEMISMATCH;
    text_table icon_designs, icon_commands;
    if (!tags->items.empty()) {
      if (!same_bounds(*tags, *designs) || !same_bounds(*tags, *orv_cmds)) return hresult::E_INVALIDARG;
      fill_table(icon_designs, *tags, *designs);
      fill_table(icon_commands, *tags, *orv_cmds);
    }
    t.SetIcons(icon_designs, icon_commands);
    return hresult::S_OK;
  });
}

hresult ticker_control::SetDesigns(const variant& tags, const variant& designs) {
  return call("SetDesigns", [&](ticker_control_interface& t) {
    if (log_->should_log(50)) log_->stream(50) << "SetDesigns" << std::endl;
    if (!tags || !designs) return hresult::DISP_E_TYPEMISMATCH;
    text_table table;
    if (!tags->items.empty()) {
      if (!same_bounds(*tags, *designs)) {
        std::cerr << "set_designs: Bounds mismatch in tags and designs parameters\n";
        return hresult::E_INVALIDARG;
      }
      fill_table(table, *tags, *designs);
    }
    t.SetDesigns(table);
    return hresult::S_OK;
  });
}

hresult ticker_control::AddTTLGroupFromText(const bstr& group_to_follow, const bstr& groupname, const bstr& text,
                                            const bstr& textdesign, const bstr& startdesign, const bstr& enddesign,
                                            const bstr& textpart, std::int32_t padding, const bstr& logmsg,
                                            const bstr& on_enter, std::int32_t ttl, long_result result) {
  return call("AddTTLGroupFromText", [&](ticker_control_interface& t) {
    const std::string name = name_conversion(groupname);
    *result = t.AddTTLGroupFromText(name_conversion(group_to_follow), name, name_conversion(text),
                                    name_conversion(textdesign), name_conversion(startdesign),
                                    name_conversion(enddesign), name_conversion(textpart), padding,
                                    name_conversion(logmsg), name_conversion(on_enter), ttl);
    log_outcome("AddTTLGroupFromText(..." + name + "...) TTL=" + std::to_string(ttl), *result);
    return hresult::S_OK;
  });
}

hresult ticker_control::AddPriorityGroup(const bstr& group_name, long_result result) {
  return call("AddPriorityGroup", [&](ticker_control_interface& t) {
    const std::string name = utf8_name_conversion(group_name);
    *result = t.AddPriorityGroup(name);
    if (log_->should_log(50))
      log_->stream(50) << "AddPriorityGroup(" << name << ")" << outcome(*result) << "Queue has:"
                       << t.GetPriorityQueueSize() << " elements. " << std::endl;
    return hresult::S_OK;
  });
}

hresult COrvTickers::call(const char* method, const std::function<hresult(tickers_interface&)>& body) {
  if (!tickers_) {
    auto core = bind_();
    if (!core.tickers) return hresult::E_FAIL;
    tickers_ = std::move(core.tickers);
    core_logger_ = std::move(core.logger);
    log_ = core_logger_->create_sublogger("OrvTickers", -1);
  }
  try {
    return body(*tickers_);
  } catch (const std::exception& e) {
    if (log_->should_log(20)) log_->stream(20) << method << " failed: " << e.what() << std::endl;
    return hresult::E_FAIL;
  }
}

hresult COrvTickers::AddTicker(const bstr& ticker_name, std::int32_t* result) {
  return call("AddTicker", [&](tickers_interface& tickers) {
    auto outcome = tickers.AddTicker(name_conversion(ticker_name));
    *result = outcome.success;
    if (!outcome.success && log_->should_log(20)) log_->stream(20) << "AddTicker:" << outcome.message << std::endl;
    return hresult::S_OK;
  });
}

hresult COrvTickers::ListTickers(bstr* result) {
  return call("ListTickers", [&](tickers_interface& tickers) {
    *result = utf8_output_conversion(tickers.ListTickers().message);
    return hresult::S_OK;
  });
}

hresult COrvTickers::DeleteTicker(const bstr& ticker_name, std::int32_t* result) {
  return call("DeleteTicker", [&](tickers_interface& tickers) {
    auto outcome = tickers.DeleteTicker(name_conversion(ticker_name));
    *result = outcome.success;
    if (!outcome.success && log_->should_log(20)) log_->stream(20) << "DeleteTicker:" << outcome.message << std::endl;
    return hresult::S_OK;
  });
}

hresult COrvTickers::GetTicker(const bstr& ticker_name, std::shared_ptr<ticker_control>* result) {
  return call("GetTicker", [&](tickers_interface& tickers) {
    const std::string name = name_conversion(ticker_name);
    auto ticker = tickers.GetTicker(name);
    *result = ticker ? std::make_shared<ticker_control>(name, ticker,
                                                        core_logger_->create_sublogger("ticker_control:" + name, -1))
                     : nullptr;
    return hresult::S_OK;
  });
}

}  // namespace orv
