#include "feed/group_change_integrator.h"

#include <cstdio>
#include <vector>

#include "engine/expat_document.h"
#include "feed/feed_document.h"

namespace orv {
namespace {

// The handlers of the elements open at the moment; null where a subtree is skipped.
struct handler_stack {
  std::vector<std::shared_ptr<xml_handler>> handlers;

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
    auto& stack = static_cast<handler_stack*>(data)->handlers;
    if (stack.back()) stack.back()->end_element();
    stack.pop_back();
  }

  static void XMLCALL on_text(void* data, const XML_Char* text, int length) {
    auto& stack = static_cast<handler_stack*>(data)->handlers;
    if (stack.back()) stack.back()->text.append(text, static_cast<std::size_t>(length));
  }
};

// Control and non-ASCII bytes as \xNN, so a broken document shows up readable in the log.
std::string printable(const std::string& document) {
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

group_change_integrator::group_change_integrator(std::shared_ptr<ticker_group_base> target,
                                                 std::shared_ptr<element_key_index> key_index,
                                                 std::shared_ptr<vorn::logger_base> log)
    : target_(std::move(target)), key_index_(std::move(key_index)), log_(std::move(log)) {}

void group_change_integrator::receive(const std::string& document) {
  if (document.empty()) return;
  auto target = target_.lock();
  if (!target) return;  // the group is going; its connection closes with it
  // Hubs declare all sorts of encodings but send UTF-8.
  expat_parser parser(XML_ParserCreate("UTF-8"), &XML_ParserFree);
  if (!parser) return;
  handler_stack stack;
  stack.handlers.push_back(std::make_shared<quillmere_xml_handler>(std::move(target), key_index_));
  XML_SetUserData(parser.get(), &stack);
  XML_SetElementHandler(parser.get(), handler_stack::on_start, handler_stack::on_end);
  XML_SetCharacterDataHandler(parser.get(), handler_stack::on_text);
  if (parse_document(parser.get(), document)) return;

  if (log_ && log_->should_log(20))
    log_->stream(20) << "XML_Parse error:" << XML_ErrorString(XML_GetErrorCode(parser.get())) << "\n"
                     << "Line: " << XML_GetCurrentLineNumber(parser.get()) << "\n"
                     << "Column: " << XML_GetCurrentColumnNumber(parser.get()) << "\n";
  if (log_ && log_->should_log(95)) log_->stream(95) << "Xml input was:\n" << printable(document) << "\n";
}

std::shared_ptr<quillmere_subscriber> make_group_change_integrator(std::shared_ptr<ticker_group_base> target,
                                                                   std::shared_ptr<element_key_index> key_index,
                                                                   std::shared_ptr<vorn::logger_base> log) {
  return std::make_shared<group_change_integrator>(std::move(target), std::move(key_index), std::move(log));
}

}  // namespace orv
