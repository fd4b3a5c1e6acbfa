#pragma once

#include <optional>
#include <string>

namespace velmora {

// An icon file holding `png` as its only image, or nothing when the source is
// too short to carry a width and height (under 25 bytes).
std::optional<std::string> iconFileBytes(const std::string& png);

}  // namespace velmora
