#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <tuple>
#include <vector>

#include "base/text.h"
#include "desktop/icon.h"
#include "desktop/scheme.h"

namespace velmora {
namespace {

std::string fakePng(std::size_t size, std::uint32_t width, std::uint32_t height) {
  std::string png(size, 'p');
  for (int i = 0; i < 4; ++i) {
    png[16 + i] = static_cast<char>(width >> (24 - 8 * i));
    png[20 + i] = static_cast<char>(height >> (24 - 8 * i));
  }
  return png;
}

std::string littleEndian32(std::size_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>(value >> (8 * i));
  return bytes;
}

TEST(IconFileBytes, WrapsThePngAsTheOnlyImage) {
  struct Case {
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
    SCOPED_TRACE(::testing::Message() << c.size << " bytes, " << c.width << "x" << c.height);
    const std::string png = fakePng(c.size, c.width, c.height);
    const auto icon = iconFileBytes(png);
    if (c.iconWidth < 0) {
      EXPECT_FALSE(icon);
      continue;
    }
    ASSERT_TRUE(icon);
    // One 32-bit image, its byte count, and its offset right after this header.
    const std::string header = std::string("\0\0\1\0\1\0", 6) + static_cast<char>(c.iconWidth) +
                               static_cast<char>(c.iconHeight) + std::string("\0\0\1\0\40\0", 6) +
                               littleEndian32(c.size) + littleEndian32(22);
    EXPECT_EQ(icon->substr(0, 22), header);
    EXPECT_TRUE(icon->substr(22) == png);
  }
}

TEST(SchemeValues, SizesCountUtf16UnitsAndTheTerminator) {
  const auto values =
      schemeValues(pathFromUtf8("/home/a b/Velm ora/\xc3\xa9\xf0\x9f\x98\x80/velmora-launcher"));
  ASSERT_EQ(values.size(), 4u);
  // 41 units for the quoted path (the emoji takes two), 2 for ",0", 1 for the terminator.
  EXPECT_EQ(values[1].dataSize(), 2u);
  EXPECT_EQ(values[2].dataSize(), 88u);
}

TEST(AppsEntryValues, NameTheInstallAndItsQuotedUninstaller) {
  const std::filesystem::path root = pathFromUtf8("/home/a b/\xc3\xa9/Velmora");
  const auto launcher = root / "Launcher" / "velmora-launcher";
  const std::u16string key = kAppsEntryKey, folder = u"/home/a b/\u00e9/Velmora";
  const std::u16string command = u"\"" + folder + u"/Launcher/velmora-launcher\" --uninstall";
  struct Case {
    std::optional<std::uint32_t> kilobytes;
    std::vector<RegistryValue> expected;
  } cases[] = {
      {300000,
       {{key, false, u"DisplayName", u"Velmora"},
        {key, false, u"DisplayIcon", folder + u"/icon.ico"},
        {key, false, u"Publisher", u"Velmora"},
        {key, false, u"InstallLocation", folder},
        {key, false, u"UninstallString", command},
        {key, false, u"QuietUninstallString", command},
        {key, false, u"ModifyPath", u"\"" + folder + u"/Launcher/velmora-launcher\" --repair"},
        {key, false, u"NoModify", u"", 0},
        {key, false, u"NoRepair", u"", 1},
        {key, false, u"EstimatedSize", u"", 300000},
        {key, false, u"DisplayVersion", u"version-1"}}},
      // Not measured on this start: the size stays as stored, the version still comes last.
      {std::nullopt,
       {{key, false, u"NoRepair", u"", 1}, {key, false, u"DisplayVersion", u"version-1"}}},
  };
  for (const auto& c : cases) {
    const auto values =
        appsEntryValues(root, launcher, root / "icon.ico", u"version-1", c.kilobytes);
    ASSERT_GE(values.size(), c.expected.size());
    const std::size_t skip = values.size() - c.expected.size();
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      const RegistryValue &a = values[skip + i], &b = c.expected[i];
      EXPECT_TRUE(std::tie(a.key, a.isDefault, a.name, a.data, a.number) ==
                  std::tie(b.key, b.isDefault, b.name, b.data, b.number))
          << i;
    }
  }
}

TEST(CommandProgram, TakesTheFirstTokenOfARegisteredCommand) {
  const struct {
    std::u16string command;
    std::optional<std::u16string> program;
  } cases[] = {
      {u"\"C:\\a b\\Launcher\\velmora-launcher.exe\" \"%1\"",
       u"C:\\a b\\Launcher\\velmora-launcher.exe"},
      {u"C:\\Other\\velmora.exe \"%1\"", u"C:\\Other\\velmora.exe"},
      {u"\"C:\\never closed", std::nullopt},
      {u"", std::nullopt},
      {u"\"\" \"%1\"", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto program = commandProgram(c.command);
    EXPECT_EQ(program ? std::optional<std::u16string>(program->u16string()) : std::nullopt,
              c.program);
  }
}

}  // namespace
}  // namespace velmora
