#include "platform/file_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

char** platform_utf8_argv(int* /*argc*/, char** argv) { return argv; }

FILE* platform_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }

PlatformFileKind platform_file_kind(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return PlatformFileKind::kNone;
  if (S_ISREG(info.st_mode)) return PlatformFileKind::kRegular;
  return S_ISDIR(info.st_mode) ? PlatformFileKind::kFolder : PlatformFileKind::kOther;
}

FILE* platform_fopen_new(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    unlink(path);
    errno = error;
  }
  return file;
}

FILE* platform_fopen_append(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    const int error = errno;
    close(fd);
    errno = S_ISREG(info.st_mode) ? error : EINVAL;
    return nullptr;
  }
  fcntl(fd, F_SETFL, O_APPEND);  // blocking again: O_NONBLOCK only kept a FIFO from holding up the open
  FILE* file = fdopen(fd, "ab");
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return file;
}

int platform_flush_to_disk(FILE* file) {
  if (std::fflush(file) != 0) return -1;
  return fsync(fileno(file));
}

int platform_rename_over(const char* from, const char* to) {
  if (std::rename(from, to) != 0) return -1;
  // The new name on the disk too: its folder is synced (best effort; a
  // folder that cannot be opened changes nothing about the rename).
  std::string folder = to;
  const size_t slash = folder.rfind('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  return 0;
}

int platform_remove(const char* path) { return unlink(path); }

bool platform_writable(const char* path) { return access(path, W_OK) == 0; }
