#include "platform/file_open.h"
#include "platform/win32_text.h"

#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <string>
#include <vector>

bool win32_wide_from_utf8(const char* text, std::wstring* out) {
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (size <= 0) return false;
  out->assign(static_cast<size_t>(size), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out->data(), size) != size) return false;
  out->resize(static_cast<size_t>(size - 1));
  return true;
}

std::string win32_utf8_from_wide(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<size_t>(size - 1));
  return out;
}

char** platform_utf8_argv(int* argc, char** argv) {
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return argv;
  texts.clear();
  for (int i = 0; i < count; ++i) texts.push_back(win32_utf8_from_wide(wide[i]));
  LocalFree(wide);
  pointers.clear();
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  *argc = count;
  return pointers.data();
}

FILE* platform_fopen(const char* path, const char* mode) {
  std::wstring wide_path;
  std::wstring wide_mode;
  if (!win32_wide_from_utf8(path, &wide_path) || !win32_wide_from_utf8(mode, &wide_mode)) return std::fopen(path, mode);
  return _wfopen(wide_path.c_str(), wide_mode.c_str());
}

namespace {

// errno for the system's last error, for the callers' strerror.
int errno_from_last_error() {
  switch (GetLastError()) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return EINVAL;
    default:
      return EIO;
  }
}

// The path as UTF-16, or false with errno set.
bool wide_path(const char* path, std::wstring* out) {
  if (win32_wide_from_utf8(path, out)) return true;
  errno = EINVAL;
  return false;
}

}  // namespace

PlatformFileKind platform_file_kind(const char* path) {
  std::wstring wide;
  if (!wide_path(path, &wide)) return PlatformFileKind::kNone;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PlatformFileKind::kNone;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PlatformFileKind::kFolder;
  // NUL, CON and named pipes are not files on the disk.
  const HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return PlatformFileKind::kRegular;
  const DWORD type = GetFileType(handle);
  CloseHandle(handle);
  return type == FILE_TYPE_DISK ? PlatformFileKind::kRegular : PlatformFileKind::kOther;
}

FILE* platform_fopen_new(const char* path) {
  std::wstring wide;
  if (!wide_path(path, &wide)) return nullptr;
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = errno_from_last_error();
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    DeleteFileW(wide.c_str());
    errno = EIO;
    return nullptr;
  }
  FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    _close(fd);
    DeleteFileW(wide.c_str());
    errno = EIO;
  }
  return file;
}

FILE* platform_fopen_append(const char* path) {
  std::wstring wide;
  if (!wide_path(path, &wide)) return nullptr;
  // FILE_FLAG_OPEN_REPARSE_POINT: a symbolic link is opened as itself, and
  // then refused below rather than followed.
  const HANDLE handle = CreateFileW(wide.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = errno_from_last_error();
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    CloseHandle(handle);
    errno = EINVAL;
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_APPEND | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    errno = EIO;
    return nullptr;
  }
  FILE* file = _fdopen(fd, "ab");
  if (file == nullptr) {
    _close(fd);
    errno = EIO;
  }
  return file;
}

int platform_flush_to_disk(FILE* file) {
  if (std::fflush(file) != 0) return -1;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE || !FlushFileBuffers(handle)) {
    errno = handle == INVALID_HANDLE_VALUE ? EBADF : errno_from_last_error();
    return -1;
  }
  return 0;
}

int platform_rename_over(const char* from, const char* to) {
  std::wstring wide_from, wide_to;
  if (!wide_path(from, &wide_from) || !wide_path(to, &wide_to)) return -1;
  if (MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
  errno = errno_from_last_error();
  return -1;
}

int platform_remove(const char* path) {
  std::wstring wide;
  if (!wide_path(path, &wide)) return -1;
  if (DeleteFileW(wide.c_str())) return 0;
  errno = errno_from_last_error();
  return -1;
}

bool platform_writable(const char* path) {
  std::wstring wide;
  return wide_path(path, &wide) && _waccess(wide.c_str(), 2) == 0;
}
