// The replacement of a file, over the per-system calls of file_open_*.cpp.
#include "platform/file_open.h"

#include <cerrno>
#include <random>

namespace {

constexpr int kNameAttempts = 16;

// A name beside `path` that nobody can predict: the new file is made with
// it exclusively, so a name taken (or planted) is simply passed over.
std::string temporary_name(const std::string& path) {
  static std::mt19937_64 random{std::random_device{}()};
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%012llx.tmp", static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
  return path + suffix;
}

}  // namespace

bool PlatformReplacement::open(const char* path) {
  abandon();
  path_ = path;
  error_ = 0;
  const PlatformFileKind kind = platform_file_kind(path);
  if (kind == PlatformFileKind::kFolder) {
    error_ = EISDIR;
    return false;
  }
  if (kind == PlatformFileKind::kOther) {
    file_ = platform_fopen(path, "wb");
    if (file_ == nullptr) error_ = errno;
    return file_ != nullptr;
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = temporary_name(path_);
    file_ = platform_fopen_new(name.c_str());
    if (file_ != nullptr) {
      temporary_ = name;
      return true;
    }
    error_ = errno;
    if (error_ != EEXIST) return false;
  }
  return false;
}

bool PlatformReplacement::commit() {
  if (file_ == nullptr) {
    if (error_ == 0) error_ = EBADF;
    return false;
  }
  // A device or FIFO is flushed only: fsync means nothing to most of them.
  const bool direct = temporary_.empty();
  int failed = direct ? std::fflush(file_) : platform_flush_to_disk(file_);
  int error = errno;
  if (std::fclose(file_) != 0 && failed == 0) {
    failed = -1;
    error = errno;
  }
  file_ = nullptr;
  if (failed == 0 && !direct && platform_rename_over(temporary_.c_str(), path_.c_str()) != 0) {
    failed = -1;
    error = errno;
  }
  if (failed != 0) {
    error_ = error;
    abandon();
    return false;
  }
  temporary_.clear();
  return true;
}

void PlatformReplacement::abandon() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  if (!temporary_.empty()) platform_remove(temporary_.c_str());
  temporary_.clear();
}

int platform_replace_check(const char* path) {
  switch (platform_file_kind(path)) {
    case PlatformFileKind::kFolder:
      return EISDIR;
    case PlatformFileKind::kOther:
      // Not opened: a FIFO would wait for its reader.
      return platform_writable(path) ? 0 : EACCES;
    default: {
      // The folder must take a new file.
      PlatformReplacement probe;
      return probe.open(path) ? 0 : probe.error();
    }
  }
}

int platform_replace_file(const char* path, const void* data, size_t size) {
  PlatformReplacement out;
  if (!out.open(path)) return out.error();
  if (std::fwrite(data, 1, size, out.file()) != size) {
    const int error = errno;
    out.abandon();
    return error != 0 ? error : EIO;
  }
  return out.commit() ? 0 : out.error();
}
