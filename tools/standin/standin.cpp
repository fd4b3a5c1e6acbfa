// Stand-in for the programs the launcher starts: reports how it was started, and the
// studio-mcp one also proves it owns the launcher's stdin/stdout.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "standin.h"

#ifndef STANDIN_NAME
#error "STANDIN_NAME must name the program"
#endif

namespace {

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string json_array(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + json_string(items[i]);
  return out + "]";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string name = STANDIN_NAME;
  const auto args = standin::arguments(argc, argv);
  const auto cwd = standin::current_folder();
  const std::string array = json_array(args);
  // A game holds its files once it has started: mapped before it says so.
  const auto hold = standin::environment("VELMORA_STANDIN_HOLD");
  const auto map = standin::environment("VELMORA_STANDIN_MAP");
  const auto mapped = hold && map ? standin::map_file(*map) : nullptr;
  if (hold && map && !mapped) std::cerr << "cannot map " << *map << std::endl;

  if (auto log = standin::environment("VELMORA_STANDIN_LOG")) {
    // One write per line keeps concurrent appenders from interleaving.
    std::string line = "{\"program\": " + json_string(name) + ", \"args\": " + array +
                       ", \"cwd\": " + json_string(cwd) + "}\n";
    std::ofstream(std::filesystem::u8path(*log), std::ios::app | std::ios::binary)
        << line << std::flush;
  }
  std::cout << name << " started in " << cwd << " with arguments: " << array << std::endl;

  if (hold) {
    // A game still running: one of its files stays open (without delete sharing
    // on Windows), and the data file VELMORA_STANDIN_MAP names stays mapped, for as
    // long as the file named by the variable exists, at most a minute.
    std::ifstream open(std::filesystem::u8path(cwd) / (name + ".exe"), std::ios::binary);
    for (int i = 0; i < 600 && std::filesystem::exists(std::filesystem::u8path(*hold)); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (name != "velmora-studio-mcp") return 0;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::cout << "echo: " << line << std::endl;
  }
  auto code = standin::environment("VELMORA_STANDIN_EXIT");
  return code ? std::atoi(code->c_str()) : 0;
}
