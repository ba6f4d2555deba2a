// Shared by the benchmarks: silences the program under test.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

// The update's messages go to /dev/null and its keyboard is an empty pipe,
// so that nothing but the benchmark's report reaches the screen and no key
// (nor the end of a redirected input) ends a wait.
class QuietConsole {
 public:
  QuietConsole() {
    std::fflush(stdout);
    saved_out_ = dup(STDOUT_FILENO);
    saved_in_ = dup(STDIN_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
    if (pipe(keys_) == 0) dup2(keys_[0], STDIN_FILENO);
  }
  ~QuietConsole() {
    std::fflush(stdout);
    dup2(saved_out_, STDOUT_FILENO);
    dup2(saved_in_, STDIN_FILENO);
    close(saved_out_);
    close(saved_in_);
    close(keys_[0]);
    close(keys_[1]);
  }
  QuietConsole(const QuietConsole&) = delete;
  QuietConsole& operator=(const QuietConsole&) = delete;

 private:
  int saved_out_ = -1;
  int saved_in_ = -1;
  int keys_[2] = {-1, -1};
};
