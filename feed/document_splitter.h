#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// Cuts a byte stream at a separator. A message is kept as a list of pieces, not one block,
// so a message that keeps growing never makes us copy what came before; it is handed on in
// its pieces, for the taker to join as it likes.
class document_splitter {
 public:
  explicit document_splitter(std::string_view separator) : separator_(separator) {}

  // Calls on_message with each message completed by these bytes, in order; stops early
  // when on_message returns false. Returns how many of the bytes were taken: all of them,
  // unless it stopped early, when the rest is left to the caller.
  using pieces = std::vector<std::string>;
  std::size_t feed(std::string_view bytes, const std::function<bool(pieces&&)>& on_message);
  // Bytes of the message not finished yet.
  std::size_t unfinished_size() const { return size_; }
  // Drops about this many bytes of the unfinished message, from its end; true while some
  // are left. For letting go of a large one a part at a time.
  bool discard_some(std::size_t bytes);

 private:
  void append(std::string_view bytes);
  std::string tail(std::size_t n) const;
  void truncate(std::size_t size);
  pieces take_message();

  std::string separator_;
  std::vector<std::string> pieces_;
  std::size_t size_ = 0;
};

}  // namespace orv
