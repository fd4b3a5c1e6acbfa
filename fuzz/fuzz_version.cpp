// The setup host's version text becomes a folder name; whatever it sends, an
// accepted version must be a safe, portable folder name.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "install/update.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& version) {
  std::fprintf(stderr, "INVARIANT BROKEN: %s: '%s'\n", what, version.c_str());
  std::abort();
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Independent of the launcher's list: the stem before the first dot, any case.
bool deviceName(const std::string& name) {
  std::string stem;
  for (char c : name.substr(0, name.find('.'))) stem += lower(c);
  for (const char* fixed : {"con", "prn", "aux", "nul"}) {
    if (stem == fixed) return true;
  }
  if (stem.size() != 4 || stem[3] < '1' || stem[3] > '9') return false;
  return stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string document(reinterpret_cast<const char*>(data), size);
  std::string version;
  try {
    version = velmora::cleanVersion(document);
  } catch (const std::runtime_error&) {
    return 0;
  }
  if (version.empty() || version.size() > 64) fail("length outside 1..64", version);
  for (unsigned char c : version) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) fail("byte outside [A-Za-z0-9._-]", version);
  }
  if (version.find("..") != std::string::npos) fail("contains ..", version);
  if (version == ".") fail("names the versions folder itself", version);
  if (version.back() == '.') fail("ends in '.'", version);
  if (deviceName(version)) fail("reserved device name", version);
  std::string tail;
  for (char c : version.substr(version.size() < 8 ? 0 : version.size() - 8)) tail += lower(c);
  if (tail == ".partial") fail("a staging folder's name", version);

  std::string stripped;
  for (char c : document) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r' && c != '"')
      stripped += c;
  }
  if (version != stripped) fail("not the document without white space and quotes", version);
  return 0;
}
