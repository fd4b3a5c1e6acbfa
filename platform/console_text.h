#pragma once

// Portable so that it is tested everywhere: a console takes whole characters,
// while a stream may be flushed in the middle of one.

#include <cstddef>

namespace platform {

// How many leading bytes of `text` end on a character boundary: a multi-byte
// UTF-8 sequence cut off at the end is left for the next write. Bytes that are
// not UTF-8 at all count as complete (the conversion replaces them).
inline std::size_t completeUtf8Length(const char* text, std::size_t size) {
  // A sequence is at most four bytes, so only the last three can start a cut one.
  for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
    const auto byte = static_cast<unsigned char>(text[size - back]);
    if ((byte & 0xc0) == 0x80) continue;           // a continuation byte: look further back
    const std::size_t length = byte >= 0xf8   ? 1  // never a lead byte
                               : byte >= 0xf0 ? 4
                               : byte >= 0xe0 ? 3
                               : byte >= 0xc0 ? 2
                                              : 1;
    return length > back ? size - back : size;
  }
  return size;
}

}  // namespace platform
