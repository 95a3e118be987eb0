#include "platform/foundation/StableHash.h"

namespace platform {

std::uint64_t stableHash(std::string_view utf8) {
  constexpr std::uint64_t kOffsetBasis = 14695981039346656037ull;
  constexpr std::uint64_t kPrime = 1099511628211ull;
  std::uint64_t hash = kOffsetBasis;
  for (unsigned char byte : utf8) {
    hash ^= byte;
    hash *= kPrime;
  }
  return hash;
}

std::string stableHashString(std::string_view utf8) { return std::to_string(stableHash(utf8)); }

}  // namespace platform
