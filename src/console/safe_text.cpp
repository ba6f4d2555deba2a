#include "console/safe_text.h"

#include <cstdint>
#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at text[at] (1 to 4), or 0 when the
// byte there does not start one (a stray continuation byte, an overlong
// form, a surrogate, a code point past U+10FFFF, a sequence cut short).
size_t utf8_sequence(std::string_view text, size_t at, uint32_t* code_point) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[at + i]); };
  const uint8_t lead = byte(0);
  size_t length = 0;
  uint32_t value = 0;
  uint32_t minimum = 0;
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07u, minimum = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i) & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}

bool printable(uint32_t code_point) {
  return !(code_point < 0x20 || code_point == 0x7F || (code_point >= 0x80 && code_point < 0xA0));
}

}  // namespace

std::string safe_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    uint32_t code_point = 0;
    const size_t length = utf8_sequence(text, at, &code_point);
    if (length != 0 && printable(code_point)) {
      out.append(text.substr(at, length));
      at += length;
      continue;
    }
    // An unprintable code point is escaped byte by byte, as is a byte that
    // starts no valid sequence (the bytes after it are looked at afresh).
    const size_t escaped = length == 0 ? 1 : length;
    for (size_t i = 0; i < escaped; ++i) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(static_cast<uint8_t>(text[at + i])));
      out += hex;
    }
    at += escaped;
  }
  return out;
}

bool is_safe_text(std::string_view text) { return safe_text(text) == text; }
