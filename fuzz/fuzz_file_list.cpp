// The file list is read before anything is verified, and its names become
// paths the launcher writes. Whatever the parser accepts must write back to
// fields that parse again unchanged, and every name must stay inside its folder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "install/release/file_list.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "INVARIANT BROKEN: %s\n", what);
  std::abort();
}

bool leaves(std::string name) {
  if (name.empty() || name[0] == '/' || name.find_first_of("\\:") != std::string::npos) return true;
  if (name.back() == '/') name.pop_back();
  name = "/" + name + "/";
  return name.find("/../") != std::string::npos || name.find("/./") != std::string::npos ||
         name.find("//") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  velmora::FileList list;
  try {
    list = velmora::parseFileList(text);
  } catch (const std::runtime_error&) {
    return 0;
  }
  std::string written = "files 1 " + list.version + "\n";
  for (const auto& package : list.packages) {
    written += "package " + package.archive + "\n";
    for (const auto& folder : package.folders) {
      if (leaves(folder) || folder.back() != '/') fail("a folder name leaves its package");
      written += "folder " + folder + "\n";
    }
    for (const auto& file : package.files) {
      if (leaves(file.name)) fail("a file name leaves its package");
      if (file.length < file.compressedSize + 30 + file.name.size())
        fail("an entry does not fit its header");
      written += "file " + file.sha256 + " " + std::to_string(file.size) + " " +
                 (file.executable ? "755 " : "644 ") +
                 std::to_string(static_cast<int>(file.method)) + " " + std::to_string(file.offset) +
                 " " + std::to_string(file.length) + " " + std::to_string(file.compressedSize) +
                 " " + file.name + "\n";
    }
    if (list.find(package.archive) != &package) fail("find does not return the package's own");
  }
  // Folders and files may interleave in the text; written apart they must read the same.
  const velmora::FileList again = velmora::parseFileList(written);
  if (again.version != list.version || again.packages.size() != list.packages.size())
    fail("the list does not parse back the same");
  for (std::size_t i = 0; i < list.packages.size(); ++i) {
    const auto &a = list.packages[i], &b = again.packages[i];
    if (a.archive != b.archive || a.folders != b.folders || a.files.size() != b.files.size())
      fail("a package does not parse back the same");
    for (std::size_t j = 0; j < a.files.size(); ++j) {
      const auto &x = a.files[j], &y = b.files[j];
      if (x.name != y.name || x.size != y.size || x.sha256 != y.sha256 ||
          x.executable != y.executable || x.method != y.method || x.offset != y.offset ||
          x.length != y.length || x.compressedSize != y.compressedSize)
        fail("a file does not parse back the same");
    }
  }
  return 0;
}
