#include "bridge/cp2112/sys_helpers.h"

#include <windows.h>
#include <setupapi.h>

#include <memory>

namespace {

struct DeviceSetCloser {
  void operator()(void* set) const { SetupDiDestroyDeviceInfoList(set); }
};
using DeviceSet = std::unique_ptr<void, DeviceSetCloser>;

bool device_at(HDEVINFO set, unsigned index, SP_DEVINFO_DATA* data) {
  *data = SP_DEVINFO_DATA{};
  // The record's own size (32 bytes in a 64-bit process): the 32-bit
  // process's 28 makes the very first enumeration fail here.
  data->cbSize = sizeof *data;
  return SetupDiEnumDeviceInfo(set, index, data) != 0;
}

SysIdRead hardware_ids(HDEVINFO set, unsigned index, std::string* ids) {
  SP_DEVINFO_DATA data;
  if (!device_at(set, index, &data)) return SysIdRead::kEnd;
  DWORD size = 0;
  SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr, nullptr, 0, &size);
  if (size == 0) return SysIdRead::kUnreadable;
  ids->assign(size, '\0');
  if (!SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids->data()),
                                         size, nullptr)) {
    return SysIdRead::kUnreadable;
  }
  return SysIdRead::kRead;
}

}  // namespace

int MySystemShutdown(void) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return 0;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool enabled = LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid) != 0;
  if (enabled) {
    // Success of the call alone does not mean the privilege was granted: the
    // last error (ERROR_NOT_ALL_ASSIGNED) tells.
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    enabled = GetLastError() == ERROR_SUCCESS;
  }
  CloseHandle(token);
  if (!enabled) return 0;
  return ExitWindowsEx(EWX_SHUTDOWN | EWX_FORCE, 0) != 0 ? 1 : 0;
}

int ZQ_RemoveDevice(const char* text) {
  std::string pattern;
  if (!sys_removal_pattern(text, &pattern)) return 0;
  // All devices of all classes, those not present included.
  DeviceSet set(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
  if (set.get() == INVALID_HANDLE_VALUE) {
    (void)set.release();  // not a set: nothing to destroy
    return 0;
  }
  const int found = sys_find_device(
      pattern, [&set](unsigned index, std::string* ids) { return hardware_ids(set.get(), index, ids); });
  SP_DEVINFO_DATA device;
  if (found < 0 || !device_at(set.get(), static_cast<unsigned>(found), &device)) return 0;
  SP_REMOVEDEVICE_PARAMS params{};
  params.ClassInstallHeader.cbSize = sizeof params.ClassInstallHeader;
  params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
  params.Scope = DI_REMOVEDEVICE_GLOBAL;
  params.HwProfile = 0;
  if (!SetupDiSetClassInstallParamsA(set.get(), nullptr, &params.ClassInstallHeader, sizeof params)) return 0;
  return SetupDiRemoveDevice(set.get(), &device) != 0 ? 1 : 0;
}

bool sys_helpers_available(void) { return true; }
