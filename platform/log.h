#pragma once

// The log that support asks for: one line per event, "<UTC time> [<pid>]
// <text>", appended to a file in the install root, the file before kept as
// "<name>.1.log" once it passes kLogCap. A small layer of our own: the Windows
// program is linked statically, and nothing it needs here is worth a library.
// Logging never throws and never waits: a line that cannot be written is lost.

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>

namespace platform {

inline constexpr std::uint64_t kLogCap = 1 << 20;

// From now on lines go to `file`, its folder made when missing.
void openLog(const std::filesystem::path& file);
void logLine(const std::string& text);
// Every whole line written to `stream` from now on goes to the log too, as
// written; a line redrawn in place (ending in a carriage return) does not.
void logStream(std::ostream& stream);

}  // namespace platform
