// Intel HEX files as flat flash images: the addresses of the data records
// are applied (unlike hex_control, which keeps the records as written), and
// the result is the bytes from the lowest to the highest address given, with
// the gaps between records filled with 0xFF.
//
// How a command takes a file that may be a HEX file:
//
//   if (hex_image_file_is_hex(path)) {      // by name or by content
//     HexImage image;
//     std::string error;
//     if (!hex_image_read(path, HEX_UPDATE_LO, HEX_FLASH_HI, &image, &error)) -> error, exit 2
//     std::vector<uint8_t> bytes;
//     hex_image_flatten(image, HEX_UPDATE_LO, HEX_UPDATE_SIZE, &bytes);  // the update image
//   } else { the file is a raw binary, as before }
//
// What the reader accepts:
// - A UTF-8 byte order mark at the very start is skipped.
// - Lines end in LF or CR LF. Lines holding nothing but spaces and tabs are
//   skipped; spaces and tabs around a record are allowed.
// - A record is ':' followed by hex digits (either case): byte count, 16-bit
//   offset, type, data, checksum. The checksum is checked.
// - Types: 00 data; 01 end of file (no data); 02 extended segment address
//   (data go to segment * 16 + offset); 04 extended linear address (data go
//   to value << 16 + offset); 03 and 05 start addresses, accepted and
//   ignored. An address record sets the base of the data records after it.
// - A data record must not run past the end of its 64 KiB window (offset
//   FFFF), where tools disagree on whether the address wraps.
// - No byte may be given twice, every data byte must lie in the caller's
//   range [lo, hi], at least one data byte must be given, the end-of-file
//   record must be there, and after it only blanks (and a DOS end-of-file
//   mark, 0x1A) may follow.
// Every refusal is one line "PATH:LINE: reason" (LINE counted from 1; for a
// missing end record, the file's last line). A file that cannot be read at
// all gives "PATH: reason" with the system's reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The controller's flash, and the part an update image covers.
constexpr uint32_t HEX_FLASH_LO = 0x00000;
constexpr uint32_t HEX_FLASH_HI = 0x1FFFF;
constexpr uint32_t HEX_UPDATE_LO = 0x04000;
constexpr uint32_t HEX_UPDATE_SIZE = 0x1C000;  // HEX_UPDATE_LO up to HEX_FLASH_HI

// Files larger than this are refused before they are read: a HEX file of the
// whole flash in one-byte records stays well below it.
constexpr size_t HEX_IMAGE_MAX_FILE = 16u << 20;
// The widest range [lo, hi] a caller may ask for.
constexpr uint32_t HEX_IMAGE_MAX_SPAN = 16u << 20;

struct HexImage {
  uint32_t lowest = 0;          // the lowest address given
  uint32_t end = 0;             // the highest address given, plus one
  std::vector<uint8_t> bytes;   // flash bytes [lowest, end); 0xFF where no record gave one
  std::vector<bool> given;      // same size: true where a record gave the byte
};

// Tells an Intel HEX file from a raw binary by its first bytes: after an
// optional UTF-8 byte order mark and any spaces, tabs, CR and LF, the first
// byte is ':'. Nothing else is asked of it: a HEX file with a flaw anywhere,
// its first record included, is still read as HEX and refused with its line
// number, never taken for a raw image.
constexpr size_t HEX_IMAGE_SNIFF_BYTES = 4096;  // what the file checks read
bool hex_image_is_hex(const uint8_t* data, size_t size);
// True when the name ends in .hex, .ihx or .ihex (any case), or when the
// file's first bytes are HEX as above; false when it cannot be read.
bool hex_image_file_is_hex(const char* path);

// A raw image whose first HEX_IMAGE_TEXT_BYTES (or all, when it is shorter)
// are printable ASCII, spaces, tabs and line ends: a text file, not
// firmware, which no firmware image begins with.
constexpr size_t HEX_IMAGE_TEXT_BYTES = 256;
bool hex_image_looks_like_text(const uint8_t* data, size_t size);

// Reads the HEX text `text` (`name` is the file name used in the messages).
// Returns true with *out filled, or false with *error set to the one-line
// reason (no line end) and *out left empty. lo <= hi, and hi - lo below
// HEX_IMAGE_MAX_SPAN.
bool hex_image_parse(const char* name, const uint8_t* text, size_t size, uint32_t lo, uint32_t hi, HexImage* out,
                     std::string* error);
// Reads the HEX file at `path`, as hex_image_parse.
bool hex_image_read(const char* path, uint32_t lo, uint32_t hi, HexImage* out, std::string* error);

// The flash bytes [base, base + size) of the image, 0xFF where the image
// gives none. False, with *out untouched, when the image gives a byte
// outside that range: nothing the file holds is dropped silently.
bool hex_image_flatten(const HexImage& image, uint32_t base, uint32_t size, std::vector<uint8_t>* out);
