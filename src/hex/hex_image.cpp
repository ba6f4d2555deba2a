#include "hex/hex_image.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr uint8_t kTypeData = 0x00;
constexpr uint8_t kTypeEndOfFile = 0x01;
constexpr uint8_t kTypeSegment = 0x02;
constexpr uint8_t kTypeStartSegment = 0x03;
constexpr uint8_t kTypeLinear = 0x04;
constexpr uint8_t kTypeStartLinear = 0x05;
// Count, offset (2), type and checksum: the bytes of a record without data.
constexpr size_t kFrameBytes = 5;
constexpr uint8_t kDosEndOfFile = 0x1A;

int digit_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_blank(uint8_t c) { return c == ' ' || c == '\t'; }

std::string format(const char* pattern, unsigned a, unsigned b = 0, unsigned c = 0) {
  char text[128];
  std::snprintf(text, sizeof text, pattern, a, b, c);
  return text;
}

// One line of the text without its line end.
struct Line {
  const uint8_t* begin;
  const uint8_t* end;
};

// Splits the text at LF; a CR right before the LF belongs to the line end.
class Lines {
 public:
  Lines(const uint8_t* text, size_t size) : at_(text), end_(text + size) {}
  bool next(Line* line) {
    if (at_ == end_) return false;
    const uint8_t* feed = static_cast<const uint8_t*>(std::memchr(at_, '\n', static_cast<size_t>(end_ - at_)));
    const uint8_t* stop = feed != nullptr ? feed : end_;
    line->begin = at_;
    line->end = stop > at_ && feed != nullptr && stop[-1] == '\r' ? stop - 1 : stop;
    at_ = feed != nullptr ? feed + 1 : end_;
    ++number_;
    return true;
  }
  unsigned number() const { return number_; }

 private:
  const uint8_t* at_;
  const uint8_t* end_;
  unsigned number_ = 0;
};

// The line without the spaces and tabs around it.
Line trimmed(Line line) {
  while (line.begin < line.end && is_blank(line.begin[0])) ++line.begin;
  while (line.end > line.begin && is_blank(line.end[-1])) --line.end;
  return line;
}

// Decodes the hex digits of a record (after its ':') into bytes, or says why
// not. The checksum is left to the caller.
bool decode(Line digits, std::vector<uint8_t>* bytes, std::string* reason) {
  bytes->clear();
  const size_t length = static_cast<size_t>(digits.end - digits.begin);
  for (const uint8_t* c = digits.begin; c < digits.end; ++c) {
    if (digit_value(*c) < 0) {
      *reason = format("not a hex digit at column %u", static_cast<unsigned>(c - digits.begin) + 2);
      return false;
    }
  }
  if (length % 2 != 0) {
    *reason = "odd number of hex digits";
    return false;
  }
  if (length < 2 * kFrameBytes) {
    *reason = "record too short";
    return false;
  }
  for (size_t i = 0; i < length; i += 2) {
    bytes->push_back(static_cast<uint8_t>(digit_value(digits.begin[i]) << 4 | digit_value(digits.begin[i + 1])));
  }
  if (bytes->size() != kFrameBytes + (*bytes)[0]) {
    *reason = format("record length does not match its byte count 0x%02X", (*bytes)[0]);
    return false;
  }
  return true;
}

// The reader's state while it walks the records.
struct Reader {
  uint32_t lo = 0;
  uint32_t hi = 0;
  uint32_t base = 0;  // from the last address record
  std::vector<uint8_t> bytes;  // [lo, hi]
  std::vector<bool> given;
  bool any = false;
  uint32_t lowest = 0;
  uint32_t highest = 0;
};

// Applies one decoded record; false with the reason when it is refused.
bool apply(Reader& reader, const std::vector<uint8_t>& record, bool* end, std::string* reason) {
  const uint8_t count = record[0];
  const uint32_t offset = static_cast<uint32_t>(record[1] << 8 | record[2]);
  const uint8_t type = record[3];
  const uint8_t* data = record.data() + 4;
  uint8_t sum = 0;
  for (uint8_t byte : record) sum = static_cast<uint8_t>(sum + byte);
  if (sum != 0) {
    *reason = "checksum mismatch";
    return false;
  }
  switch (type) {
    case kTypeData:
      break;
    case kTypeEndOfFile:
      if (count != 0) {
        *reason = "end record with data";
        return false;
      }
      *end = true;
      return true;
    case kTypeSegment:
    case kTypeLinear:
      if (count != 2) {
        *reason = format("address record of type 0x%02X needs 2 data bytes, not %u", type, count);
        return false;
      }
      reader.base = static_cast<uint32_t>(data[0] << 8 | data[1]) << (type == kTypeSegment ? 4 : 16);
      return true;
    case kTypeStartSegment:
    case kTypeStartLinear:
      if (count != 4) {
        *reason = format("start address record of type 0x%02X needs 4 data bytes, not %u", type, count);
        return false;
      }
      return true;
    default:
      *reason = format("unknown record type 0x%02X", type);
      return false;
  }
  if (count == 0) return true;
  if (offset + count > 0x10000) {
    *reason = format("data at offset 0x%04X run past the end of its 64 KiB window", offset);
    return false;
  }
  // base + offset fits: a linear base is at most 0xFFFF0000, a segment base
  // at most 0xFFFF0.
  const uint64_t first = uint64_t{reader.base} + offset;
  for (unsigned i = 0; i < count; ++i) {
    const uint64_t address = first + i;
    if (address < reader.lo || address > reader.hi) {
      *reason = format("data at 0x%05X lie outside the range 0x%05X..0x%05X", static_cast<unsigned>(address),
                       reader.lo, reader.hi);
      return false;
    }
    const size_t at = static_cast<size_t>(address - reader.lo);
    if (reader.given[at]) {
      *reason = format("data at 0x%05X given twice (overlapping records)", static_cast<unsigned>(address));
      return false;
    }
    reader.given[at] = true;
    reader.bytes[at] = data[i];
  }
  const uint32_t last = static_cast<uint32_t>(first + count - 1);
  if (!reader.any || first < reader.lowest) reader.lowest = static_cast<uint32_t>(first);
  if (!reader.any || last > reader.highest) reader.highest = last;
  reader.any = true;
  return true;
}

// Only blanks, line ends and a DOS end-of-file mark may follow the end record.
bool only_blanks(const uint8_t* at, const uint8_t* end) {
  for (; at < end; ++at) {
    if (!is_blank(*at) && *at != '\r' && *at != '\n' && *at != kDosEndOfFile) return false;
  }
  return true;
}

// The length of a UTF-8 byte order mark at the start, or 0.
size_t skip_mark(const uint8_t* data, size_t size) {
  return size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
}

bool has_hex_name(const char* path) {
  std::string name = path;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* ending : {".hex", ".ihx", ".ihex"}) {
    const size_t length = std::strlen(ending);
    if (name.size() > length && name.compare(name.size() - length, length, ending) == 0) return true;
  }
  return false;
}

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Opens a regular file for reading, or says why not.
// (A directory is named as such on every system: Windows refuses to open
// one with a bare "Permission denied".)
File open_regular(const char* path, std::string* reason) {
  struct stat status {};
  if (stat(path, &status) != 0) {
    *reason = std::strerror(errno);
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) {
    *reason = "not a regular file";
    return nullptr;
  }
  File file(std::fopen(path, "rb"));
  if (!file) *reason = std::strerror(errno);
  return file;
}

}  // namespace

bool hex_image_is_hex(const uint8_t* data, size_t size) {
  const size_t at = skip_mark(data, size);
  for (size_t i = at; i < size; ++i) {
    if (!is_blank(data[i]) && data[i] != '\r' && data[i] != '\n') return data[i] == ':';
  }
  return false;
}

bool hex_image_file_is_hex(const char* path) {
  std::string ignored;
  File file = open_regular(path, &ignored);
  if (!file) return false;
  if (has_hex_name(path)) return true;
  uint8_t head[HEX_IMAGE_SNIFF_BYTES];
  const size_t size = std::fread(head, 1, sizeof head, file.get());
  return hex_image_is_hex(head, size);
}

bool hex_image_looks_like_text(const uint8_t* data, size_t size) {
  if (size > HEX_IMAGE_TEXT_BYTES) size = HEX_IMAGE_TEXT_BYTES;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t c = data[i];
    if ((c < 0x20 || c > 0x7E) && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return size > 0;
}

bool hex_image_parse(const char* name, const uint8_t* text, size_t size, uint32_t lo, uint32_t hi, HexImage* out,
                     std::string* error) {
  *out = HexImage{};
  if (lo > hi || hi - lo >= HEX_IMAGE_MAX_SPAN) {
    *error = std::string(name) + format(": flash range 0x%05X..0x%05X is too wide", lo, hi);
    return false;
  }
  Reader reader;
  reader.lo = lo;
  reader.hi = hi;
  reader.bytes.assign(size_t{hi - lo} + 1, 0xFF);
  reader.given.assign(size_t{hi - lo} + 1, false);
  const auto refuse = [&](unsigned line, const std::string& reason) {
    *error = std::string(name) + ":" + std::to_string(line) + ": " + reason;
    return false;
  };

  const size_t mark = skip_mark(text, size);
  Lines lines(text + mark, size - mark);
  Line line{};
  std::vector<uint8_t> record;
  std::string reason;
  bool end = false;
  while (!end && lines.next(&line)) {
    const Line content = trimmed(line);
    if (content.begin == content.end) continue;
    if (content.begin[0] != ':') return refuse(lines.number(), "not a record (a record starts with ':')");
    if (!decode(Line{content.begin + 1, content.end}, &record, &reason) || !apply(reader, record, &end, &reason)) {
      return refuse(lines.number(), reason);
    }
  }
  if (!end) return refuse(lines.number() > 0 ? lines.number() : 1, "no end record");
  const unsigned end_line = lines.number();
  if (!only_blanks(line.end, text + size)) {
    // Name the first line after the end record that holds something.
    while (lines.next(&line)) {
      if (!only_blanks(line.begin, line.end)) return refuse(lines.number(), "text after the end record");
    }
    return refuse(end_line, "text after the end record");
  }
  if (!reader.any) return refuse(end_line, "no data records");

  out->lowest = reader.lowest;
  out->end = reader.highest + 1;
  const size_t from = reader.lowest - lo, to = size_t{reader.highest - lo} + 1;
  out->bytes.assign(reader.bytes.begin() + static_cast<ptrdiff_t>(from), reader.bytes.begin() + static_cast<ptrdiff_t>(to));
  out->given.assign(reader.given.begin() + static_cast<ptrdiff_t>(from), reader.given.begin() + static_cast<ptrdiff_t>(to));
  return true;
}

bool hex_image_read(const char* path, uint32_t lo, uint32_t hi, HexImage* out, std::string* error) {
  *out = HexImage{};
  std::string reason;
  File file = open_regular(path, &reason);
  if (!file) {
    *error = std::string(path) + ": " + reason;
    return false;
  }
  std::vector<uint8_t> text;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    if (text.size() + got > HEX_IMAGE_MAX_FILE) {
      *error = std::string(path) + ": too large for a HEX image (over " + std::to_string(HEX_IMAGE_MAX_FILE >> 20) +
               " MiB)";
      return false;
    }
    text.insert(text.end(), chunk, chunk + got);
  }
  if (std::ferror(file.get())) {
    *error = std::string(path) + ": " + std::strerror(errno);
    return false;
  }
  return hex_image_parse(path, text.data(), text.size(), lo, hi, out, error);
}

bool hex_image_flatten(const HexImage& image, uint32_t base, uint32_t size, std::vector<uint8_t>* out) {
  const uint64_t end = uint64_t{base} + size;
  if (!image.bytes.empty() && (image.lowest < base || image.end > end)) return false;
  out->assign(size, 0xFF);
  for (size_t i = 0; i < image.bytes.size(); ++i) {
    if (image.given[i]) (*out)[image.lowest - base + i] = image.bytes[i];
  }
  return true;
}
