#include "feed/group_change_integrator.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

#include "engine/expat_document.h"
#include "feed/feed_document.h"
#include "runtime/buffer_release.h"

namespace orv {
namespace {

// The handlers of the elements open at the moment; null where a subtree is skipped.
struct handler_stack {
  std::vector<std::shared_ptr<xml_handler>> handlers;
  XML_Parser parser = nullptr;
  XML_Index pause_at = 0;  // the first byte past this part
  bool paused = false;

  static void XMLCALL on_start(void* data, const XML_Char* tag, const XML_Char** attributes) {
    auto& stack = static_cast<handler_stack*>(data)->handlers;
    const auto& top = stack.back();
    if (!top) {
      stack.push_back(nullptr);
      return;
    }
    xml_attributes collected;
    for (const XML_Char** a = attributes; a[0] && a[1]; a += 2) collected[a[0]] = a[1];
    auto next = top->start_element(tag, collected);
    stack.push_back(std::move(next));
  }

  static void XMLCALL on_end(void* data, const XML_Char*) {
    auto& self = *static_cast<handler_stack*>(data);
    auto& stack = self.handlers;
    if (stack.back()) stack.back()->end_element();
    stack.pop_back();
    if (!self.paused && XML_GetCurrentByteIndex(self.parser) >= self.pause_at &&
        !(stack.back() && stack.back()->mid_change()))
      self.paused = XML_StopParser(self.parser, XML_TRUE) == XML_STATUS_OK;
  }

  static void XMLCALL on_text(void* data, const XML_Char* text, int length) {
    auto& stack = static_cast<handler_stack*>(data)->handlers;
    if (stack.back()) stack.back()->text.append(text, static_cast<std::size_t>(length));
  }
};

// A part's worth of replaced elements (about 0.1 ms); the last handle of an element
// unregisters its key as well.
void let_go_some(replaced_elements& replaced) {
  constexpr std::size_t per_part = 1024;
  for (std::size_t n = 0; n < per_part && !replaced.empty(); ++n) {
    element_map& elements = replaced.back();
    elements.erase(elements.begin());
    if (elements.empty()) replaced.pop_back();
  }
}

// Control and non-ASCII bytes as \xNN, so a broken document shows up readable in the log.
std::string printable(std::string_view document) {
  std::string out;
  out.reserve(document.size());
  for (const char c : document) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\t' || byte == '\n' || byte == '\r' || (byte >= 0x20 && byte < 0x7f)) {
      out += c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    }
  }
  return out;
}

}  // namespace

struct group_change_integrator::document_in_progress {
  std::string owned;      // the document, when it was handed over
  std::string_view text;  // the document, wherever it is kept
  std::size_t fed = 0;    // bytes handed to the parser
  std::size_t part = 0;
  expat_parser parser{nullptr, &XML_ParserFree};
  handler_stack stack;
  bool parsed = false;
  std::shared_ptr<replaced_elements> replaced = std::make_shared<replaced_elements>();
};

group_change_integrator::group_change_integrator(std::shared_ptr<ticker_group_base> target,
                                                 std::shared_ptr<element_key_index> key_index,
                                                 std::shared_ptr<vorn::logger_base> log)
    : target_(std::move(target)), key_index_(std::move(key_index)), log_(std::move(log)) {}

group_change_integrator::~group_change_integrator() = default;

void group_change_integrator::receive(const std::string& document) {
  while (!resume()) {
  }
  if (begin({}, document, std::numeric_limits<XML_Index>::max())) return;
  while (!resume()) {
  }
}

// A document arriving while one is still applied (its connection lost, a new one made
// meanwhile) waits for it; the protocol holds back the next one, so only one ever waits.
bool group_change_integrator::start(std::string&& document) {
  if (!current_) return begin(std::move(document), {}, part_size);
  waiting_ = std::move(document);
  return false;
}

bool group_change_integrator::resume() {
  if (current_ && !parse_on()) return false;
  return waiting_.empty() || begin(std::exchange(waiting_, {}), {}, part_size);
}

// The document is owned, or else text is the caller's and outlives the parse.
bool group_change_integrator::begin(std::string owned, std::string_view text, std::size_t part) {
  if (owned.empty() && text.empty()) return true;
  auto target = target_.lock();
  if (!target) return true;  // the group is going; its connection closes with it
  // Hubs declare all sorts of encodings but send UTF-8.
  expat_parser parser(XML_ParserCreate("UTF-8"), &XML_ParserFree);
  if (!parser) return true;
  current_ = std::make_unique<document_in_progress>();
  current_->owned = std::move(owned);
  current_->text = current_->owned.empty() ? text : current_->owned;
  current_->part = part;
  current_->parser = std::move(parser);
  handler_stack& stack = current_->stack;
  stack.handlers.push_back(
      std::make_shared<quillmere_xml_handler>(std::move(target), key_index_, current_->replaced));
  stack.parser = current_->parser.get();
  XML_SetUserData(stack.parser, &stack);
  XML_SetElementHandler(stack.parser, handler_stack::on_start, handler_stack::on_end);
  XML_SetCharacterDataHandler(stack.parser, handler_stack::on_text);
  return parse_on();
}

// One part; true once the document is applied or proved malformed, and the elements it
// replaced are let go.
bool group_change_integrator::parse_on() {
  document_in_progress& doc = *current_;
  if (!doc.replaced->empty()) {
    let_go_some(*doc.replaced);
    return doc.parsed ? let_go() : false;
  }
  if (doc.parsed) return let_go();
  XML_Parser parser = doc.parser.get();
  const auto parsed = static_cast<std::size_t>(std::max<XML_Index>(XML_GetCurrentByteIndex(parser), 0));
  doc.stack.pause_at = static_cast<XML_Index>(std::min(parsed + doc.part, doc.text.size()));
  XML_Status status = XML_STATUS_OK;
  if (doc.stack.paused) {
    doc.stack.paused = false;
    status = XML_ResumeParser(parser);
  }
  // Expat copies what it is handed, so the text goes in slices of about a part.
  while (status == XML_STATUS_OK && doc.fed < doc.text.size()) {
    const std::size_t length = next_slice(parser, doc.fed, doc.text.size() - doc.fed, doc.part);
    const bool last = doc.fed + length == doc.text.size();
    status = XML_Parse(parser, doc.text.data() + doc.fed, static_cast<int>(length), last);
    doc.fed += length;
  }
  if (status == XML_STATUS_SUSPENDED) return false;
  if (status == XML_STATUS_ERROR) {
    if (log_ && log_->should_log(20))
      log_->stream(20) << "XML_Parse error:" << XML_ErrorString(XML_GetErrorCode(parser)) << "\n"
                       << "Line: " << XML_GetCurrentLineNumber(parser) << "\n"
                       << "Column: " << XML_GetCurrentColumnNumber(parser) << "\n";
    if (log_ && log_->should_log(95)) log_->stream(95) << "Xml input was:\n" << printable(doc.text) << "\n";
  }
  doc.parsed = true;
  return let_go();
}

// What an applied document holds goes back a part at a time: the replaced elements, then
// the text a mebibyte a part, since unmapping 16 MiB at once holds the loop for milliseconds.
bool group_change_integrator::let_go() {
  document_in_progress& doc = *current_;
  if (!doc.replaced->empty() || vorn::release_tail(doc.owned, std::size_t{1} << 20)) return false;
  current_.reset();
  return true;
}

std::shared_ptr<quillmere_subscriber> make_group_change_integrator(std::shared_ptr<ticker_group_base> target,
                                                                   std::shared_ptr<element_key_index> key_index,
                                                                   std::shared_ptr<vorn::logger_base> log) {
  return std::make_shared<group_change_integrator>(std::move(target), std::move(key_index), std::move(log));
}

}  // namespace orv
