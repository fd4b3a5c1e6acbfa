#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// The keys the launcher owns under the current user's root key.
inline constexpr char16_t kSchemeKey[] = u"Software\\Classes\\velmora-player";
inline constexpr char16_t kSchemeCommandKey[] =
    u"Software\\Classes\\velmora-player\\shell\\open\\command";
inline constexpr char16_t kAppsEntryKey[] =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velmora";

// One value under the current user's root key: a REG_SZ, or a DWORD when
// `number` is set.
struct RegistryValue {
  std::u16string key;
  bool isDefault = false;  // the key's unnamed value; `name` is then empty
  std::u16string name;
  std::u16string data;
  std::optional<std::uint32_t> number = std::nullopt;
  // Bytes stored, the terminating zero included.
  std::uint32_t dataSize() const { return static_cast<std::uint32_t>((data.size() + 1) * 2); }
};

// The four values that make `launcher` the handler of "velmora-player:" links,
// in the order they are written.
std::vector<RegistryValue> schemeValues(const std::filesystem::path& launcher);

// The program a registered command line starts: its first token, quoted or
// not; nothing when there is none.
std::optional<std::filesystem::path> commandProgram(const std::u16string& command);

// The values of the Apps list's entry for the install in `root`. EstimatedSize
// (kilobytes) only when `kilobytes` is given; DisplayVersion comes last, so a
// start that finds this version there knows the size was measured for it.
std::vector<RegistryValue> appsEntryValues(const std::filesystem::path& root,
                                           const std::filesystem::path& launcher,
                                           const std::filesystem::path& icon,
                                           const std::u16string& version,
                                           std::optional<std::uint32_t> kilobytes);

}  // namespace velmora
