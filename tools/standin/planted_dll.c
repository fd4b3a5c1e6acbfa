/* A DLL planted beside the launcher under a system DLL's name: it only records
   that it was loaded, in the file VELMORA_PLANTED_MARKER names. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t marker[1024];
  char name[1024];
  const DWORD length = GetEnvironmentVariableW(L"VELMORA_PLANTED_MARKER", marker, 1024);
  const DWORD nameLength = GetModuleFileNameA(self, name, sizeof name - 2);
  if (length == 0 || length >= 1024 || nameLength == 0) return TRUE;
  name[nameLength] = '\n';
  HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return TRUE;
  DWORD written = 0;
  WriteFile(file, name, nameLength + 1, &written, NULL);
  CloseHandle(file);
  return TRUE;
}
