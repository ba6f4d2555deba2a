// Paths the user names: on the command line and in file opens. Paths are
// UTF-8 text throughout the program, on Windows too, where the C runtime's
// argv and fopen use the ANSI code page and so cannot name a file such as
// C:\펌웨어\fw.bin on a machine whose code page has no Hangul.
//
// Files the program writes are never opened in place: a new file is made
// beside the one it replaces, exclusively (never through a symlink or into a
// file someone else has made), written, flushed to the disk and renamed over
// the old one, so that a failure at any point leaves the old file whole and
// a reader never sees half a file. Only a path that names something other
// than a regular file or a folder (a device such as /dev/null, a FIFO) is
// written directly: there is nothing there to replace.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// The command line as UTF-8. On Windows it is read again from the system's
// wide-character command line; elsewhere `argv` is returned as it is. The
// strings live until exit; on failure argc and argv are left as they were.
char** platform_utf8_argv(int* argc, char** argv);

// fopen for a UTF-8 path. On Windows the path and mode go to _wfopen; a path
// that is not valid UTF-8 is handed to fopen as it is.
FILE* platform_fopen(const char* path, const char* mode);

// What a path names (symlinks followed).
enum class PlatformFileKind { kNone, kRegular, kFolder, kOther };
PlatformFileKind platform_file_kind(const char* path);

// Creates `path` as a new, empty file for binary writing: exclusively, not
// through a symlink, mode 0644 less the umask (POSIX). nullptr with errno
// set when it exists already or cannot be made.
FILE* platform_fopen_new(const char* path);
// Opens `path` for appending, creating it (mode 0644 less the umask) when
// it is missing: a log that must keep what it holds. Never through a symlink
// and never anything but a regular file (ELOOP, EINVAL). nullptr with errno
// set when it cannot be opened.
FILE* platform_fopen_append(const char* path);
// Writes the stream's buffer out and asks the system to put the file on the
// disk (fsync, FlushFileBuffers). 0, or -1 with errno set.
int platform_flush_to_disk(FILE* file);
// Renames `from` over `to`, replacing it in one step. 0, or -1 with errno set.
int platform_rename_over(const char* from, const char* to);
// Removes a file. 0, or -1 with errno set.
int platform_remove(const char* path);
// Whether the existing `path` may be opened for writing.
bool platform_writable(const char* path);

// A file written in place of `path`, as described above. Usage:
//   PlatformReplacement out;
//   if (!out.open(path)) -> strerror(out.error())
//   fwrite(..., out.file()) ...
//   if (!out.commit()) -> strerror(out.error())
// Destroyed without commit() (or after a failed one), the new file is
// removed and `path` is as it was.
class PlatformReplacement {
 public:
  PlatformReplacement() = default;
  ~PlatformReplacement() { abandon(); }
  PlatformReplacement(const PlatformReplacement&) = delete;
  PlatformReplacement& operator=(const PlatformReplacement&) = delete;

  // Makes the new file (or, for a device or FIFO, opens `path` itself).
  // False with error() set; a folder gives EISDIR.
  bool open(const char* path);
  FILE* file() const { return file_; }
  // Flushes and closes the file and renames it over `path`. False with
  // error() set, the new file removed.
  bool commit();
  // Closes and removes the new file; `path` is untouched.
  void abandon();
  // The errno value of the last failure.
  int error() const { return error_; }

 private:
  FILE* file_ = nullptr;
  std::string path_;
  std::string temporary_;  // empty when `path` is written directly
  int error_ = 0;
};

// Whether PlatformReplacement::open would succeed for `path`, found without
// touching it: 0, or the errno value it would fail with.
int platform_replace_check(const char* path);

// `size` bytes into `path` through PlatformReplacement. 0, or the errno value.
int platform_replace_file(const char* path, const void* data, size_t size);
