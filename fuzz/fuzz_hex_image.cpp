// libFuzzer target: any bytes as a HEX file read into a flat image, for the
// whole flash and for the update range. A refusal is one line naming its
// line; an image keeps to its range, marks its ends as given and holds 0xFF
// wherever nothing was given; the two ranges agree; the content check takes
// every small file the reader accepts. The sanitizers watch every access.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hex/hex_image.h"

namespace {

constexpr char kName[] = "in.hex";

// "in.hex:LINE: reason" with LINE from 1 on, on one line.
bool well_formed_refusal(const std::string& error) {
  const size_t prefix = sizeof kName;  // the name and ':'
  if (error.compare(0, prefix, std::string(kName) + ":") != 0 || error.find('\n') != std::string::npos) return false;
  size_t at = prefix;
  while (at < error.size() && std::isdigit(static_cast<unsigned char>(error[at]))) ++at;
  return at > prefix && error[prefix] != '0' && error.compare(at, 2, ": ") == 0 && error.size() > at + 2;
}

bool read(const uint8_t* data, size_t size, uint32_t lo, uint32_t hi, HexImage* image) {
  std::string error;
  const bool ok = hex_image_parse(kName, data, size, lo, hi, image, &error);
  if (ok != error.empty()) __builtin_trap();
  if (!ok) {
    if (!well_formed_refusal(error) || !image->bytes.empty() || !image->given.empty()) __builtin_trap();
    return false;
  }
  const size_t length = image->bytes.size();
  if (image->lowest < lo || image->end <= image->lowest || image->end - 1 > hi ||
      length != image->end - image->lowest || image->given.size() != length || !image->given.front() ||
      !image->given.back()) {
    __builtin_trap();
  }
  for (size_t i = 0; i < length; ++i) {
    if (!image->given[i] && image->bytes[i] != 0xFF) __builtin_trap();
  }
  std::vector<uint8_t> flat;
  if (!hex_image_flatten(*image, lo, hi - lo + 1, &flat) ||
      std::memcmp(flat.data() + (image->lowest - lo), image->bytes.data(), length) != 0) {
    __builtin_trap();
  }
  if (image->lowest > lo && hex_image_flatten(*image, image->lowest + 1, hi - image->lowest, &flat)) __builtin_trap();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HexImage flash, update;
  const bool whole = read(data, size, HEX_FLASH_LO, HEX_FLASH_HI, &flash);
  const bool part = read(data, size, HEX_UPDATE_LO, HEX_FLASH_HI, &update);
  // The update range is the flash range less its first 16 KiB.
  if (part && !(whole && flash.lowest == update.lowest && flash.bytes == update.bytes && flash.given == update.given)) {
    __builtin_trap();
  }
  if (whole && flash.lowest >= HEX_UPDATE_LO && !part) __builtin_trap();
  if (whole && size <= HEX_IMAGE_SNIFF_BYTES && !hex_image_is_hex(data, size)) __builtin_trap();
  return 0;
}
