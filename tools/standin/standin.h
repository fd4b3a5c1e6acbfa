// Platform layer of the stand-in programs; everything here is UTF-8.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace standin {

// Arguments without the program name, as this platform's own parser splits them.
std::vector<std::string> arguments(int argc, char** argv);
std::string current_folder();
std::optional<std::string> environment(const char* name);
// Maps `file` for reading until the result goes (on Windows opened with full
// sharing, as games map their content); empty when it cannot.
std::shared_ptr<void> map_file(const std::string& file);

}  // namespace standin
