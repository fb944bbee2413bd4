#include "feed/document_splitter.h"

#include <algorithm>

namespace orv {

namespace {

// Small reads are gathered into pieces of about this size, so that a peer sending a byte
// at a time costs bytes, not a string per byte.
constexpr std::size_t piece_size = 64 * 1024;

}  // namespace

std::size_t document_splitter::feed(std::string_view bytes, const std::function<bool(pieces&&)>& on_message) {
  const std::size_t k = separator_.size();
  const std::size_t length = bytes.size();
  while (!bytes.empty()) {
    // A separator that starts in the kept bytes and ends in these.
    if (size_ > 0) {
      const std::string old = tail(k - 1);
      const std::string seam = old + std::string(bytes.substr(0, k - 1));
      const auto at = seam.find(separator_);
      if (at != std::string::npos && at < old.size()) {
        truncate(size_ - (old.size() - at));
        bytes.remove_prefix(k - (old.size() - at));
        if (!on_message(take_message())) return length - bytes.size();
        continue;
      }
    }
    const auto at = bytes.find(separator_);
    if (at == std::string_view::npos) {
      append(bytes);
      return length;
    }
    append(bytes.substr(0, at));
    bytes.remove_prefix(at + k);
    if (!on_message(take_message())) return length - bytes.size();
  }
  return length;
}

bool document_splitter::discard_some(std::size_t bytes) {
  for (std::size_t dropped = 0; !pieces_.empty() && dropped < bytes; pieces_.pop_back()) {
    dropped += pieces_.back().size();
    size_ -= pieces_.back().size();
  }
  return !pieces_.empty();
}

void document_splitter::append(std::string_view bytes) {
  if (bytes.empty()) return;
  if (!pieces_.empty() && pieces_.back().size() + bytes.size() <= piece_size)
    pieces_.back() += bytes;
  else
    pieces_.emplace_back(bytes);
  size_ += bytes.size();
}

std::string document_splitter::tail(std::size_t n) const {
  std::string last;
  for (auto piece = pieces_.rbegin(); piece != pieces_.rend() && last.size() < n; ++piece) {
    const std::size_t take = std::min(n - last.size(), piece->size());
    last.insert(0, *piece, piece->size() - take, take);
  }
  return last;
}

void document_splitter::truncate(std::size_t size) {
  while (size_ > size) {
    std::string& last = pieces_.back();
    const std::size_t drop = std::min(size_ - size, last.size());
    last.resize(last.size() - drop);
    size_ -= drop;
    if (last.empty()) pieces_.pop_back();
  }
}

document_splitter::pieces document_splitter::take_message() {
  pieces message;
  message.swap(pieces_);
  size_ = 0;
  return message;
}

}  // namespace orv
