#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velmora {

// Strips white space and '"' anywhere in the setup host's version document and
// checks what is left can name a folder on every platform. Throws
// "setup host returned an invalid version: '<cleaned>'".
std::string cleanVersion(const std::string& document);

// Brings the install root up to the version the setup host announces and
// returns its folder; when the version cannot be learned, falls back with a
// warning to the newest complete installed version. Throws when neither works
// or when installing fails.
std::filesystem::path ensureCurrentVersion(const std::filesystem::path& root);

// Creates the empty completion marker in `folder` once what the folder holds
// is on disk: install() flushed its packages' files, `written` are the others.
// Throws if it cannot.
void writeCompleteMarker(const std::filesystem::path& folder,
                         std::vector<std::filesystem::path> written = {});

}  // namespace velmora
