#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "standin.h"

namespace standin {

std::vector<std::string> arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::string current_folder() {
  std::vector<char> buf(4096);
  while (!getcwd(buf.data(), buf.size())) buf.resize(buf.size() * 2);
  return buf.data();
}

std::optional<std::string> environment(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
}

}  // namespace standin
