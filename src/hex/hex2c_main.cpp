// hex2c: turns an Intel HEX file into C source, or lists its data records.
//
//   hex2c INPUT.hex OUTPUT.c    write the records as C source
//   hex2c --print INPUT.hex     print the leading data records
//
// Exit codes: 0 done, 1 the HEX file was refused or the C file could not be
// written, 2 wrong arguments.
#include <cstdio>
#include <cstring>

#include "hex/hex_control.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char kUsage[] =
    "usage: hex2c INPUT.hex OUTPUT.c    write the records as C source\n"
    "       hex2c --print INPUT.hex     print the leading data records\n";

// Reads the file, or prints why not. The caller releases the result.
INTEL_HEX_FILE* read_hex(const char* path) {
  INTEL_HEX_FILE* hex = nullptr;
  const int result = hex_file_to_mem(&hex, path);
  if (result != HEX_RET_OK) {
    hex_print_error_msg(result);
    return nullptr;
  }
  return hex;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return kExitDone;
  }
  if (argc != 3) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  const bool print = std::strcmp(argv[1], "--print") == 0;
  if (!print && argv[1][0] == '-') {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }

  INTEL_HEX_FILE* hex = read_hex(print ? argv[2] : argv[1]);
  if (hex == nullptr) return kExitFailed;
  int status = kExitDone;
  if (print) {
    hex_print_all(hex->pRecords);
  } else if (hex_mem_to_cfile(hex->pRecords, hex->pInfo, argv[2]) != 0) {
    status = kExitFailed;
  }
  hex_file_release(hex);
  return status;
}
