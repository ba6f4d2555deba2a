// libFuzzer target: any bytes as a HEX file. Both readers must agree, keep
// nothing on failure, and hand back tables that printing and the C writer
// can walk to their end-of-file record; the sanitizers watch every access.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hex/hex_control.h"

namespace {

int g_file = -1;      // an in-memory file that holds the current input
char g_path[64] = {};  // its name for fopen

bool same_record(const INTEL_HEX_RECORD& a, const INTEL_HEX_RECORD& b) {
  return a.nByte_count == b.nByte_count && a.nAddress == b.nAddress && a.nRecord_type == b.nRecord_type &&
         a.nByte_count <= sizeof a.aData && std::memcmp(a.aData, b.aData, a.nByte_count) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_file = memfd_create("fuzz_hex_reader", 0);
  if (g_file < 0) std::abort();
  std::snprintf(g_path, sizeof g_path, "/proc/self/fd/%d", g_file);
  // The readers and printers talk on stdout; keep the run quiet and fast.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (ftruncate(g_file, 0) != 0 || pwrite(g_file, data, size, 0) != static_cast<ssize_t>(size)) std::abort();

  INTEL_HEX_FILE* file = nullptr;
  const int code = hex_file_to_mem(&file, g_path);
  INTEL_HEX_RECORD* table = nullptr;
  const int ok = hex_getHexRecordFromFile(&table, g_path);

  if (code != HEX_RET_OK) {
    if (code != HEX_RET_WRONG_FILE_TYPE || ok != 0 || file != nullptr || table != nullptr) __builtin_trap();
    return 0;
  }
  if (ok != 1 || file == nullptr || table == nullptr) __builtin_trap();
  for (size_t i = 0;; ++i) {
    if (!same_record(file->pRecords[i], table[i]) || file->pRecords[i].nRecord_type > 4) __builtin_trap();
    if (table[i].nRecord_type == 1) break;
  }
  hex_print_all(file->pRecords);
  if (hex_mem_to_cfile(file->pRecords, file->pInfo, "/dev/null") != 0) __builtin_trap();
  hex_file_release(file);
  hex_records_release(table);
  return 0;
}
