#include "web/carousel_view.h"

#include <algorithm>
#include <cctype>

#include "web/json_text.h"

namespace orv::web {

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// The listing of GetGroupsWithContent: per group its name, a rule, one "|" line per element
// and an empty line.
void carousel_view::listed(bool exists, const std::string& listing) {
  exists_ = exists;
  groups_.clear();
  bool in_group = false;
  for (auto& line : split_lines(listing)) {
    if (!in_group) {
      if (line.empty()) continue;
      groups_.push_back({std::move(line), {}});
      in_group = true;
    } else if (line.empty()) {
      in_group = false;
    } else if (line.front() == '|') {
      groups_.back().elements.push_back(line.substr(1));
    }
  }
  const auto gone = [&](const std::string& name) {
    return std::none_of(groups_.begin(), groups_.end(), [&](const group& g) { return g.name == name; });
  };
  std::erase_if(marked_, gone);
  std::erase_if(prioritised_, gone);
}

bool carousel_view::ran(const std::string& text) {
  const auto now = [&](std::string current, bool outside) {
    const bool changed = current != current_ || outside != outside_ || (!outside && prioritised_.count(current));
    if (!outside) prioritised_.erase(current);
    current_ = std::move(current);
    outside_ = outside;
    return changed;
  };
  if (text == "SCROLLER_EMPTY") return now("", false);
  // The log text itself, and without the "?TTL=" suffix the run message adds.
  std::vector<std::string> logs{text};
  if (const auto at = text.rfind("?TTL="); at != std::string::npos && at + 5 < text.size() &&
                                            std::all_of(text.begin() + at + 5, text.end(), [](unsigned char c) { return std::isdigit(c); }))
    logs.push_back(text.substr(0, at));
  // A group without a main element gives its first element its name as the log text, which
  // the summary does not show; otherwise a summary ends with " (key: log)".
  const auto holds = [](const group& g, const std::string& log) {
    const std::string tail = ": " + log + ")";
    return std::any_of(g.elements.begin(), g.elements.end(), [&](const std::string& e) {
      return e.size() >= tail.size() && e.compare(e.size() - tail.size(), tail.size(), tail) == 0;
    });
  };
  for (auto it = logs.rbegin(); it != logs.rend(); ++it) {
    auto found = std::find_if(groups_.begin(), groups_.end(), [&](const group& g) { return g.name == *it; });
    if (found == groups_.end())
      found = std::find_if(groups_.begin(), groups_.end(), [&](const group& g) { return holds(g, *it); });
    if (found != groups_.end()) return now(found->name, false);
  }
  return now(logs.back(), true);
}

std::string carousel_view::current_json() const {
  std::string json = R"({"type":"current","current":)";
  append_json_string(json, current_);
  json += ",\"current_outside\":";
  json += outside_ ? "true" : "false";
  return json + ",\"run_once_queue\":" + std::to_string(run_once_queue_) + "}";
}

std::string carousel_view::state_json() const {
  std::string json = R"({"type":"state","exists":)";
  json += exists_ ? "true" : "false";
  json += ",\"groups\":[";
  for (const auto& g : groups_) {
    if (&g != &groups_.front()) json += ',';
    json += "{\"name\":";
    append_json_string(json, g.name);
    json += ",\"marked\":";
    json += marked_.count(g.name) ? "true" : "false";
    json += ",\"priority\":";
    json += prioritised_.count(g.name) ? "true" : "false";
    json += ",\"elements\":" + json_strings(g.elements) + "}";
  }
  return json + "]}";
}

}  // namespace orv::web
