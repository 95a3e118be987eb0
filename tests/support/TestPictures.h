#pragma once

#include <cstdint>
#include <string>

namespace testing_support {

// A small, well-formed PNG whose header claims `width` x `height` pixels and whose pixel data
// is cut short: what a hostile page sends to make a decoder allocate a huge picture.
std::string pngClaimingSize(std::uint32_t width, std::uint32_t height);

}  // namespace testing_support
