#include "platform/host.h"

#include <windows.h>

std::string platform_host_name() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size) || size == 0) return "unknown";
  char utf8[4 * (MAX_COMPUTERNAME_LENGTH + 1)] = {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(size), utf8, sizeof utf8 - 1, nullptr, nullptr);
  return n > 0 ? std::string(utf8, static_cast<size_t>(n)) : "unknown";
}
