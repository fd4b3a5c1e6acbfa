#include "base/files.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/text.h"

namespace velmora {

std::optional<std::string> readWholeFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return bytes.str();
}

void writeWholeFile(const std::filesystem::path& file, const std::string& bytes) {
  // A link at the name (another program, a damaged disk) is replaced, never written through.
  std::error_code ignored;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(file, ignored)))
    std::filesystem::remove(file, ignored);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + utf8(file));
}

}  // namespace velmora
