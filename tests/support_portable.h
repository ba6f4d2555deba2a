// The few POSIX calls the tests share with Windows, there through the C
// runtime's own (which also re-points the console's standard handles when a
// descriptor 0 to 2 is replaced).
#pragma once

#include "app/entry.h"

#include <csignal>

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <unistd.h>

inline int pipe(int fds[2]) { return _pipe(fds, 4096, _O_BINARY); }
inline int mkdir(const char* path, int) { return _mkdir(path); }
constexpr char kNullDevice[] = "NUL";
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr char kNullDevice[] = "/dev/null";
#endif

// Ctrl+C as the run sees it. The Windows C runtime puts SIGINT back to its
// default once a handler has run, so the handler is set anew for each press.
inline void press_ctrl_c() {
#ifdef _WIN32
  std::signal(SIGINT, signal_handler);
#endif
  std::raise(SIGINT);
}
