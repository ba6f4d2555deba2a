// Runs the tool's executables as child processes and captures what they say.
#pragma once

#include "support_portable.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

struct ProcessResult {
  int exit_code = -1;  // 128 + signal when killed
  std::string out;     // stdout
  std::string err;     // stderr
};

using EnvList = std::vector<std::pair<std::string, std::string>>;

#ifndef _WIN32  // the Windows executables are run by scripts/test-windows.sh

inline std::string read_all_fd(int fd) {
  std::string text;
  char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  return text;
}

// A child process started by start_process; finish_process waits for it.
struct RunningProcess {
  pid_t pid = -1;
  std::string out_path;
  std::string err_path;
  std::string in_path;  // empty: stdin is /dev/null
};

// Starts argv[0] with the given extra environment and stdin from /dev/null
// or, when `input` is given, from a file holding it. stdout and stderr go to
// temporary files so neither pipe can fill up; with `stdout_reader`, stdout
// goes into a pipe whose read end that receives instead (the caller closes it).
inline RunningProcess start_process(const std::vector<std::string>& argv, const EnvList& env = {},
                                    const std::string* input = nullptr, int* stdout_reader = nullptr) {
  char out_path[] = "/tmp/fwtest-outXXXXXX";
  char err_path[] = "/tmp/fwtest-errXXXXXX";
  char in_path[] = "/tmp/fwtest-inXXXXXX";
  const int out_fd = mkstemp(out_path);
  const int err_fd = mkstemp(err_path);
  RunningProcess running{-1, out_path, err_path, ""};
  if (input != nullptr) {
    const int in_fd = mkstemp(in_path);
    if (write(in_fd, input->data(), input->size()) != static_cast<ssize_t>(input->size())) {
    }
    close(in_fd);
    running.in_path = in_path;
  }
  int out_pipe[2] = {-1, -1};
  if (stdout_reader != nullptr && pipe(out_pipe) != 0) out_pipe[0] = out_pipe[1] = -1;
  running.pid = fork();
  if (running.pid == 0) {
    const int in_fd = open(input != nullptr ? in_path : "/dev/null", O_RDONLY);
    dup2(in_fd, STDIN_FILENO);
    dup2(out_pipe[1] >= 0 ? out_pipe[1] : out_fd, STDOUT_FILENO);
    if (out_pipe[0] >= 0) close(out_pipe[0]);
    dup2(err_fd, STDERR_FILENO);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out_fd);
  close(err_fd);
  if (stdout_reader != nullptr) {
    close(out_pipe[1]);
    *stdout_reader = out_pipe[0];
  }
  return running;
}

inline std::string read_text_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline ProcessResult finish_process(const RunningProcess& running) {
  ProcessResult result;
  int status = 0;
  waitpid(running.pid, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = read_text_file(running.out_path);
  result.err = read_text_file(running.err_path);
  unlink(running.out_path.c_str());
  unlink(running.err_path.c_str());
  if (!running.in_path.empty()) unlink(running.in_path.c_str());
  return result;
}

// Runs argv[0] to its end (see start_process).
inline ProcessResult run_process(const std::vector<std::string>& argv, const EnvList& env = {},
                                 const std::string* input = nullptr) {
  return finish_process(start_process(argv, env, input));
}
#endif

// A scratch directory removed with everything in it at the end of a test.
class TempDir {
 public:
  TempDir() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (unsigned attempt = 0;; ++attempt) {
      const std::filesystem::path path = base / ("fwtest-dir" + std::to_string(std::rand()) + "-" + std::to_string(attempt));
      if (std::filesystem::create_directory(path)) {
        path_ = path.string();
        return;
      }
    }
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A firmware image of the right size with a recognisable pattern.
inline std::vector<uint8_t> make_image(size_t size = 0x1C000, uint32_t seed = 1) {
  std::vector<uint8_t> image(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& byte : image) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<uint8_t>(x);
  }
  return image;
}
