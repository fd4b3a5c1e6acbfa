#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "desktop/icon.h"
#include "desktop/scheme.h"

namespace velmora {
namespace {

std::string littleEndian32(std::size_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>(value >> (8 * i));
  return bytes;
}

TEST(IconFileBytes, WrapsThePngAsTheOnlyImage) {
  const struct {
    std::size_t size;
    std::uint32_t width, height;
    int iconWidth, iconHeight;  // -1: no icon
  } cases[] = {
      {1000, 48, 48, 48, 48},        {1000, 256, 256, 0, 0},  // 256 and above are written as 0
      {1000, 300, 48, 0, 48},        {1000, 255, 1, 255, 1},
      {1000, 0x01000030, 48, 0, 48},  // a large size whose low byte looks small
      {24, 48, 48, -1, -1},          {25, 16, 32, 16, 32},
  };
  for (const auto& c : cases) {
    std::string png(c.size, 'p');
    for (int i = 0; i < 4; ++i) {
      png[16 + i] = static_cast<char>(c.width >> (24 - 8 * i));
      png[20 + i] = static_cast<char>(c.height >> (24 - 8 * i));
    }
    const auto icon = iconFileBytes(png);
    ASSERT_EQ(bool(icon), c.iconWidth >= 0) << c.size;
    if (!icon) continue;
    // One 32-bit image, its byte count, and its offset right after this header.
    EXPECT_EQ(*icon, std::string("\0\0\1\0\1\0", 6) + static_cast<char>(c.iconWidth) +
                         static_cast<char>(c.iconHeight) + std::string("\0\0\1\0\40\0", 6) +
                         littleEndian32(c.size) + littleEndian32(22) + png)
        << c.width << "x" << c.height;
  }
}

// What another install registered: only a program named by it is compared with ours.
TEST(CommandProgram, TakesTheFirstTokenOfARegisteredCommand) {
  const std::pair<std::u16string, std::optional<std::u16string>> cases[] = {
      {u"\"C:\\a b\\Launcher\\velmora-launcher.exe\" \"%1\"",
       u"C:\\a b\\Launcher\\velmora-launcher.exe"},
      {u"C:\\Other\\velmora.exe \"%1\"", u"C:\\Other\\velmora.exe"},
      {u"\"C:\\never closed", std::nullopt},
      {u"", std::nullopt},
      {u"\"\" \"%1\"", std::nullopt},
  };
  for (const auto& [command, expected] : cases) {
    const auto program = commandProgram(command);
    EXPECT_EQ(program ? std::optional<std::u16string>(program->u16string()) : std::nullopt,
              expected);
  }
}

}  // namespace
}  // namespace velmora
