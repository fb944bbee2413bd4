#include "engine/expat_document.h"

#include <random>

namespace orv {

unsigned long expat_hash_salt() {
  static const unsigned long salt = [] {
    try {
      std::random_device source;
      return (static_cast<unsigned long>(source()) << 32) ^ source();
    } catch (const std::exception&) {
      return 0ul;  // Expat then salts each parser itself, as it would without us
    }
  }();
  return salt;
}

}  // namespace orv
