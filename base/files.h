#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace velmora {

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::string> readWholeFile(const std::filesystem::path& file);

// Replaces the file's content with `bytes`; throws "cannot write <path>".
void writeWholeFile(const std::filesystem::path& file, const std::string& bytes);

}  // namespace velmora
