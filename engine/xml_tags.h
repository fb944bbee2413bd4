#pragma once

#include <cstring>

namespace orv {

// The tags element and group XML give a meaning to, told apart with one string comparison.
enum class tag { other, group, element, value, section, subscribeurl, defaultdesign, log_msg, ttl, design };

inline tag tag_of(const char* name) {
  const auto is = [name](const char* known) { return std::strcmp(name, known) == 0; };
  switch (name[0]) {
    case 'd': return is("design") ? tag::design : is("defaultdesign") ? tag::defaultdesign : tag::other;
    case 'e': return is("element") ? tag::element : tag::other;
    case 'g': return is("group") ? tag::group : tag::other;
    case 'l': return is("log_msg") ? tag::log_msg : tag::other;
    case 's': return is("section") ? tag::section : is("subscribeurl") ? tag::subscribeurl : tag::other;
    case 't': return is("ttl") ? tag::ttl : tag::other;
    case 'v': return is("value") ? tag::value : tag::other;
    default: return tag::other;
  }
}

}  // namespace orv
