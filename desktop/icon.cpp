#include "desktop/icon.h"

#include <cstdint>

namespace velmora {
namespace {

void putLittleEndian(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// The entry's one-byte size: the PNG's big-endian size when below 256, else 0.
char sizeByte(const std::string& png, std::size_t at) {
  const bool small = png[at] == 0 && png[at + 1] == 0 && png[at + 2] == 0;
  return small ? png[at + 3] : 0;
}

}  // namespace

std::optional<std::string> iconFileBytes(const std::string& png) {
  if (png.size() < 25) return std::nullopt;
  std::string ico;
  ico.reserve(22 + png.size());
  putLittleEndian(ico, 0, 2);  // reserved
  putLittleEndian(ico, 1, 2);  // icon
  putLittleEndian(ico, 1, 2);  // one image
  ico += sizeByte(png, 16);    // width, from the IHDR chunk
  ico += sizeByte(png, 20);    // height
  putLittleEndian(ico, 0, 2);  // no palette, reserved
  putLittleEndian(ico, 1, 2);  // planes
  putLittleEndian(ico, 32, 2);
  putLittleEndian(ico, static_cast<std::uint32_t>(png.size()), 4);
  putLittleEndian(ico, 22, 4);
  return ico + png;
}

}  // namespace velmora
