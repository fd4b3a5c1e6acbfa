// Whatever a package contains, unpacking it writes only plain files and folders,
// and only below the destination.
//
// Layout, created once per process: <jail>/a/b/c/scratch/{input.zip,dest}. The
// extra levels make an escape by a few ".." land inside the walked jail.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "install/package.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

struct Scratch {
  std::string jail, scratch, archive, dest;
};

[[noreturn]] void fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "INVARIANT BROKEN: %s: '%s'\n", what, path.c_str());
  std::abort();
}

void removeJail(const std::string& jail);

// Never destroyed, so the exit handler can still read it.
const Scratch& scratch() {
  static const Scratch* s = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velmora-fuzz-extract-XXXXXX";
    if (!mkdtemp(pattern.data())) fail("mkdtemp failed", pattern);
    auto* made = new Scratch;
    made->jail = fs::absolute(pattern).lexically_normal().string();
    made->scratch = made->jail + "/a/b/c/scratch";
    made->archive = made->scratch + "/input.zip";
    made->dest = made->scratch + "/dest";
    fs::create_directories(made->scratch);
    return made;
  }();
  static const bool registered = std::atexit([] { removeJail(scratch().jail); }) == 0;
  (void)registered;
  return *s;
}

// Restored permissions may make folders unreadable to a non-root user; we own
// everything here, so open them up before walking or removing.
void openUp(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  chmod(path.c_str(), 0700);
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") openUp(path + "/" + name);
    }
    closedir(dir);
  }
}

void removeJail(const std::string& jail) {
  openUp(jail);
  std::error_code ignored;
  fs::remove_all(jail, ignored);
}

bool under(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

void check(const std::string& path, const Scratch& s, size_t archiveSize) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) fail("lstat failed", path);
  if (S_ISLNK(st.st_mode)) fail("symbolic link created", path);
  if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) fail("neither file nor folder", path);
  if (S_ISREG(st.st_mode) && st.st_nlink != 1) fail("hard link created", path);

  const bool isArchive = path == s.archive;
  const bool inDest = path == s.dest || under(path, s.dest);
  const bool onChain = path == s.jail || path == s.jail + "/a" || path == s.jail + "/a/b" ||
                       path == s.jail + "/a/b/c" || path == s.scratch;
  if (!isArchive && !inDest && !onChain) fail("written outside the destination", path);
  if (isArchive && (!S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) != archiveSize)) {
    fail("the archive file itself was changed", path);
  }
  if ((onChain || path == s.dest) && !S_ISDIR(st.st_mode)) fail("a folder was replaced", path);
  if (!S_ISDIR(st.st_mode)) return;

  DIR* dir = opendir(path.c_str());
  if (!dir) fail("opendir failed", path);
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") check(path + "/" + name, s, archiveSize);
  }
  closedir(dir);
}

}  // namespace

// As the launcher's main does: UTF-8 entry names only convert under a UTF-8 locale.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::initialise();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Scratch& s = scratch();
  FILE* out = std::fopen(s.archive.c_str(), "wb");
  if (!out) fail("cannot write the archive", s.archive);
  if (size && std::fwrite(data, 1, size, out) != size) fail("cannot write the archive", s.archive);
  if (std::fclose(out) != 0) fail("cannot write the archive", s.archive);
  // As install() does: the destination exists before unpacking.
  fs::create_directories(s.dest);

  try {
    velmora::extractArchive(s.archive, s.dest);
  } catch (const std::runtime_error&) {
  }

  openUp(s.jail);
  check(s.jail, s, size);
  struct stat st;
  if (lstat(s.dest.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    fail("the destination is gone", s.dest);
  std::error_code ignored;
  fs::remove_all(s.dest, ignored);
  if (fs::exists(s.dest)) fail("cannot remove the destination", s.dest);
  return 0;
}
