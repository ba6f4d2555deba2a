// The file checks of kdtool's single run, made before any bridge is opened:
// the file read (a HEX file or a raw image) and checked against what the
// command takes, its size and SHA-256, and the plan of the run (the bytes,
// the first flash address, the bytes the progress counts). A file that is
// refused says why in one line (exit 2).
#include "kdtool/run_internal.h"
#include "app/entry.h"
#include "app/sha256.h"
#include "console/safe_text.h"
#include "hex/hex_image.h"
#include "platform/file_open.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kdtool_run {

namespace {

constexpr uint32_t kFlashSize = 0x20000;
constexpr uint32_t kEraseSize = 0x1000;

std::string system_reason() { return std::strerror(errno); }

// A readable regular file of 1 to `limit` bytes, read whole.
std::vector<uint8_t> read_raw(const std::string& path, uint32_t limit, const char* what) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) throw Refusal{path + ": " + system_reason()};
  if (!S_ISREG(info.st_mode)) throw Refusal{path + ": not a regular file"};
  const std::unique_ptr<FILE, int (*)(FILE*)> in(platform_fopen(path.c_str(), "rb"), std::fclose);
  if (!in) throw Refusal{path + ": " + system_reason()};
  if (info.st_size == 0) throw Refusal{path + ": the file is empty"};
  if (info.st_size > static_cast<long long>(limit)) {
    char text[96];
    std::snprintf(text, sizeof text, ": %s is at most 0x%X bytes, the file has 0x%llX", what, limit,
                  static_cast<unsigned long long>(info.st_size));
    throw Refusal{path + text};
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size));
  if (std::fread(bytes.data(), 1, bytes.size(), in.get()) != bytes.size() || std::fgetc(in.get()) != EOF) {
    throw Refusal{path + ": the file could not be read whole"};
  }
  return bytes;
}

HexImage read_hex(const std::string& path, uint32_t lo) {
  HexImage image;
  std::string error;
  if (!hex_image_read(path.c_str(), lo, HEX_FLASH_HI, &image, &error)) throw Refusal{error};
  return image;
}

// A text file given as a raw image (a HEX file under another name that
// does not start with ':', notes, a wrong file) would be written to the
// flash as it is: refused unless --raw says it is meant.
void refuse_text(const Plan& plan, const KdtoolOptions& options) {
  if (!options.raw && hex_image_looks_like_text(plan.bytes.data(), plan.bytes.size())) {
    throw Refusal{safe_text(plan.file) + ": looks like text, not a firmware image (--raw takes it as it is)"};
  }
}

// The size and SHA-256 of the file itself (a HEX file's text, not the image
// made of it), so that they can be compared with the file's published sum.
void digest_file(Plan& plan) {
  const std::vector<uint8_t> bytes = plan.hex ? read_raw(plan.file, 1u << 30, "a file") : plan.bytes;
  plan.file_size = bytes.size();
  plan.file_sha256 = sha256_hex(bytes.data(), bytes.size());
}

}  // namespace

Plan check_files(const KdtoolOptions& options) {
  Plan plan;
  const std::string& command = options.command;
  if (command == "reset") return plan;
  if (command == "erase") {
    plan.at = 0x2000;
    plan.total = kEraseSize;
    return plan;
  }
  plan.file = options.operands[0];
  const char* path = plan.file.c_str();
  if (command == "dump") {
    plan.at = options.at;
    plan.total = options.length;
    // The dump writes a new file beside FILE and renames it over FILE: the
    // folder must take one. FILE itself is not touched here.
    if (const int error = platform_replace_check(path); error != 0) {
      throw Refusal{"cannot write " + safe_text(plan.file) + ": " + std::strerror(error)};
    }
    return plan;
  }
  struct stat info {};
  plan.hex = !options.raw && stat(path, &info) == 0 && S_ISREG(info.st_mode) && hex_image_file_is_hex(path);
  if (command == "update") {
    if (plan.hex) {
      const HexImage image = read_hex(plan.file, HEX_UPDATE_LO);
      hex_image_flatten(image, HEX_UPDATE_LO, HEX_UPDATE_SIZE, &plan.bytes);
    } else {
      plan.bytes = read_raw(plan.file, kFlashSize, "the flash");
      refuse_text(plan, options);
      if (plan.bytes.size() != IMAGE_SIZE) {
        char size[48];
        std::snprintf(size, sizeof size, " has 0x%zX", plan.bytes.size());
        throw Refusal{plan.file + ": an image is exactly 0x1C000 bytes (or a HEX file within 4000..1FFFF); " +
                      plan.file.substr(plan.file.find_last_of("/\\") + 1) + size};
      }
    }
    plan.total = IMAGE_SIZE;
    digest_file(plan);
    return plan;
  }
  if (plan.hex) {
    const HexImage image = read_hex(plan.file, HEX_FLASH_LO);
    plan.at = command == "program" ? 0 : image.lowest;
    if (command == "verify" && options.at_given && options.at != image.lowest) {
      char text[160];
      std::snprintf(text, sizeof text, "--at %X: %s starts at flash address %X", options.at, path, image.lowest);
      throw Refusal{text};
    }
    hex_image_flatten(image, plan.at, image.end - plan.at, &plan.bytes);
  } else {
    plan.at = command == "program" ? 0 : options.at;
    plan.bytes = read_raw(plan.file, kFlashSize - plan.at, command == "program" ? "the flash" : "the flash from --at");
  }
  if (!plan.hex) refuse_text(plan, options);
  plan.total = static_cast<uint32_t>(plan.bytes.size());
  digest_file(plan);
  return plan;
}

}  // namespace kdtool_run

using kdtool_run::check_files;
using kdtool_run::Refusal;

bool kdtool_check_files(const KdtoolOptions& options, std::string* reason) {
  try {
    check_files(options);
    return true;
  } catch (const Refusal& refusal) {
    *reason = refusal.reason;
    return false;
  }
}
