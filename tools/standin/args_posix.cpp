#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

std::shared_ptr<void> map_file(const std::string& file) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  void* view = fstat(fd, &info) == 0 && info.st_size > 0
                   ? mmap(nullptr, info.st_size, PROT_READ, MAP_SHARED, fd, 0)
                   : MAP_FAILED;
  close(fd);
  if (view == MAP_FAILED) return nullptr;
  const size_t size = info.st_size;
  return std::shared_ptr<void>(view, [size](void* v) { munmap(v, size); });
}

}  // namespace standin
