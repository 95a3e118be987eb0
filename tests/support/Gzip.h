#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace testing_support {

// The text as a gzip body, the way a server sends one with "Content-Encoding: gzip".
// Header-only: only the test programs that link zlib include it.
inline std::string gzipped(const std::string& text) {
  z_stream stream{};
  // 15 window bits, +16 for a gzip wrapper.
  EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&stream, text.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace testing_support
