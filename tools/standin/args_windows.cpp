// windows.h must come first.
#include <windows.h>

#include <shellapi.h>

#include <vector>

#include "standin.h"

namespace standin {
namespace {

std::string utf8(const wchar_t* s, int len) {
  if (len == 0) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, s, len, nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, len, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring wide(const char* s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s, -1, out.data(), n);
  out.resize(n > 0 ? n - 1 : 0);
  return out;
}

}  // namespace

// argv from the C runtime is in the ANSI code page and its quoting rules may differ;
// the point of the stand-in is to show what the system's own parser makes of the line.
std::vector<std::string> arguments(int, char**) {
  int n = 0;
  LPWSTR* w = CommandLineToArgvW(GetCommandLineW(), &n);
  std::vector<std::string> out;
  for (int i = 1; w && i < n; ++i) out.push_back(utf8(w[i], lstrlenW(w[i])));
  LocalFree(w);
  return out;
}

std::string current_folder() {
  DWORD n = GetCurrentDirectoryW(0, nullptr);
  std::wstring buf(n, L'\0');
  n = GetCurrentDirectoryW(n, buf.data());
  return utf8(buf.data(), static_cast<int>(n));
}

std::optional<std::string> environment(const char* name) {
  std::wstring wname = wide(name);
  DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (n == 0) return std::nullopt;
  std::wstring buf(n, L'\0');
  n = GetEnvironmentVariableW(wname.c_str(), buf.data(), n);
  return utf8(buf.data(), static_cast<int>(n));
}

std::shared_ptr<void> map_file(const std::string& file) {
  const HANDLE handle = CreateFileW(wide(file.c_str()).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  // The view keeps the file in use after both handles have gone.
  const HANDLE mapping = CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
  CloseHandle(handle);
  if (!mapping) return nullptr;
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  CloseHandle(mapping);
  if (!view) return nullptr;
  return std::shared_ptr<void>(view, [](void* v) { UnmapViewOfFile(v); });
}

}  // namespace standin
