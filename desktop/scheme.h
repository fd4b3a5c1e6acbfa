#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora {

// One REG_SZ value under the current user's root key.
struct RegistryValue {
  std::u16string key;
  bool isDefault = false;  // the key's unnamed value; `name` is then empty
  std::u16string name;
  std::u16string data;
  // Bytes stored, the terminating zero included.
  std::uint32_t dataSize() const { return static_cast<std::uint32_t>((data.size() + 1) * 2); }
};

// The four values that make `launcher` the handler of "velmora-player:" links,
// in the order they are written.
std::vector<RegistryValue> schemeValues(const std::filesystem::path& launcher);

}  // namespace velmora
