#include "support/TestPictures.h"

#include <string_view>

namespace testing_support {
namespace {

std::uint32_t pngCRC(std::string_view bytes) {
  std::uint32_t crc = 0xffffffffu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xffffffffu;
}

void appendBigEndian(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += char((value >> shift) & 0xff);
}

}  // namespace

std::string pngClaimingSize(std::uint32_t width, std::uint32_t height) {
  std::string chunk = "IHDR";
  appendBigEndian(chunk, width);
  appendBigEndian(chunk, height);
  chunk += std::string("\x08\x06\0\0\0", 5);  // 8 bits, RGBA, no interlace
  std::string png = std::string("\x89PNG\r\n\x1a\n", 8);
  appendBigEndian(png, 13);
  png += chunk;
  appendBigEndian(png, pngCRC(chunk));
  return png + std::string("\0\0\0\x10IDAT", 8) + std::string(20, '\0');
}

}  // namespace testing_support
