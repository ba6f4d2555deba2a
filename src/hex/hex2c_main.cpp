// hex2c: turns an Intel HEX file into C source or a flat binary image, or
// lists its data records.
//
//   hex2c INPUT.hex OUTPUT.c    write the records as C source
//   hex2c --print INPUT.hex     print the leading data records
//   hex2c --bin INPUT.hex OUTPUT.bin [--base HEX] [--size HEX]
//                               write the flash bytes [base, base + size)
//   hex2c --help | --version
//
// The C and print modes take CR LF line ends only (an LF-only file is
// refused from its second record on); --bin takes both.
//
// Exit codes: 0 done, 1 the HEX file was refused or the C file could not be
// written, 2 wrong arguments, and for --bin any failure (a refused HEX file
// names its line on stderr and writes nothing; a failed write leaves no
// partial file, and an existing OUTPUT.bin as it was).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/version.h"
#include "hex/hex_control.h"
#include "hex/hex_image.h"
#include "platform/file_open.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char kUsage[] =
    "usage: hex2c INPUT.hex OUTPUT.c    write the records as C source\n"
    "       hex2c --print INPUT.hex     print the leading data records\n"
    "       hex2c --bin INPUT.hex OUTPUT.bin [--base HEX] [--size HEX]\n"
    "                                   write flash bytes from --base (default: the lowest\n"
    "                                   address in the file), --size bytes (default: up to\n"
    "                                   the highest), gaps 0xFF\n"
    "       hex2c --help | --version\n"
    "The C source and --print read CR LF line ends only; --bin reads LF too.\n";

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

// A hexadecimal number of up to 8 digits, with an optional 0x.
bool parse_hex(const char* text, uint32_t* value) {
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  const size_t length = std::strlen(text);
  if (length == 0 || length > 8 || std::strspn(text, "0123456789abcdefABCDEF") != length) return false;
  *value = static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
  return true;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "hex2c: %s\n", message.c_str());
  return kExitUsage;
}

int bad_usage(const std::string& message) {
  std::fprintf(stderr, "hex2c: %s\n", message.c_str());
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

// Writes `bytes` in place of `path`: beside it under a new name, then
// renamed over it, so that a write that fails leaves no partial image to be
// flashed and an existing file as it was.
bool write_image(const std::string& path, const std::vector<uint8_t>& bytes, std::string* reason) {
  const int error = platform_replace_file(path.c_str(), bytes.data(), bytes.size());
  if (error != 0) *reason = std::strerror(error);
  return error == 0;
}

// hex2c --bin: arguments after "--bin".
int write_bin(int argc, char** argv) {
  std::vector<const char*> operands;
  bool base_given = false, size_given = false;
  uint32_t base = 0, size = 0;
  for (int i = 0; i < argc; ++i) {
    const bool is_base = std::strcmp(argv[i], "--base") == 0, is_size = std::strcmp(argv[i], "--size") == 0;
    if (is_base || is_size) {
      uint32_t value = 0;
      if (i + 1 == argc) return bad_usage(std::string(argv[i]) + " needs a hexadecimal value");
      if (!parse_hex(argv[i + 1], &value)) {
        return bad_usage(std::string(argv[i]) + " " + argv[i + 1] + ": not a hexadecimal number");
      }
      (is_base ? base : size) = value;
      (is_base ? base_given : size_given) = true;
      ++i;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      return bad_usage(std::string("unknown option ") + argv[i]);
    } else {
      operands.push_back(argv[i]);
    }
  }
  if (operands.size() != 2) return bad_usage("--bin needs INPUT.hex and OUTPUT.bin");
  char text[96];
  if (base > HEX_FLASH_HI) {
    std::snprintf(text, sizeof text, "--base %X: a flash address is 0 to %X", base, HEX_FLASH_HI);
    return bad_usage(text);
  }
  if (size_given && (size == 0 || uint64_t{base} + size - 1 > HEX_FLASH_HI)) {
    std::snprintf(text, sizeof text, "--size %X: 1 to %X bytes from 0x%05X", size, HEX_FLASH_HI + 1 - base, base);
    return bad_usage(text);
  }

  // Data outside what is written are refused with their line, never cut off:
  // the range read is the range written. --size alone counts from the lowest
  // address, known only once the file has been read over the whole flash.
  HexImage image;
  std::string error;
  if (!hex_image_read(operands[0], base_given ? base : HEX_FLASH_LO, HEX_FLASH_HI, &image, &error)) return fail(error);
  if (!base_given) base = image.lowest;
  if (!size_given) size = image.end - base;
  if (uint64_t{base} + size - 1 > HEX_FLASH_HI) {
    std::snprintf(text, sizeof text, "--size %X: 1 to %X bytes from 0x%05X", size, HEX_FLASH_HI + 1 - base, base);
    return fail(text);
  }
  if (image.end - 1 > base + size - 1 && !hex_image_read(operands[0], base, base + size - 1, &image, &error)) {
    return fail(error);
  }
  std::vector<uint8_t> bytes;
  if (!hex_image_flatten(image, base, size, &bytes)) return fail("internal error: image outside its range");
  if (!write_image(operands[1], bytes, &error)) return fail(std::string(operands[1]) + ": " + error);
  return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--bin") == 0) return write_bin(argc - 2, argv + 2);
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return kExitDone;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
    std::printf("hex2c %s\n", KDTOOL_VERSION);
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
