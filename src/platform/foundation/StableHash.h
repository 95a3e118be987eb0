#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The one stable 64-bit hash of the shell: FNV-1a over the UTF-8 bytes. Stored file names,
// log tags and application keys are made from it, so it must never change: not with the
// compiler, the standard library or the platform.
std::uint64_t stableHash(std::string_view utf8);
// The hash printed as an unsigned decimal, as stored names use it.
std::string stableHashString(std::string_view utf8);

}  // namespace platform
