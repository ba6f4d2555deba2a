#include "hex/hex_control.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <sys/stat.h>

namespace {

constexpr char kRecordMark = ':';
constexpr uint8_t kMaxDataBytes = sizeof(INTEL_HEX_RECORD::aData);
constexpr uint8_t kTypeData = 0;
constexpr uint8_t kTypeEndOfFile = 1;
constexpr uint8_t kMaxRecordType = 4;
// Character positions inside a record, counted from its ':'.
constexpr size_t kCountAt = 1;
constexpr size_t kAddressAt = 3;
constexpr size_t kTypeAt = 7;
constexpr size_t kDataAt = 9;
constexpr size_t kChecksumChars = 2;
constexpr size_t kLineEndChars = 2;
// The shortest record together with its line end.
constexpr size_t kMinRecordStride = kDataAt + kChecksumChars + kLineEndChars;

// Digit values; every character that is not a hex digit reads as 0.
constexpr std::array<uint8_t, 256> kDigitValue = [] {
  std::array<uint8_t, 256> value{};
  for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<uint8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<uint8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<uint8_t>(c - 'a' + 10);
  return value;
}();

uint8_t hex_byte(const char* digits) {
  return static_cast<uint8_t>(kDigitValue[static_cast<uint8_t>(digits[0])] << 4 |
                              kDigitValue[static_cast<uint8_t>(digits[1])]);
}

uint16_t hex_word(const char* digits) { return static_cast<uint16_t>(hex_byte(digits) << 8 | hex_byte(digits + 2)); }

// The blocks handed to callers come from malloc, so that they can be freed
// like any C block; these own them until then.
struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
template <class T>
using CBlock = std::unique_ptr<T, FreeDeleter>;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The record table: one entry per line feed of the file to begin with (never
// more than the text can hold), grown when the file holds more records than
// line feeds (a last record without its line feed, odd line ends).
class RecordTable {
 public:
  bool reserve(size_t entries) {
    if (entries <= capacity_) return true;
    entries = std::max({entries, capacity_ * 2, size_t{16}});
    void* grown = std::realloc(entries_.get(), entries * sizeof(INTEL_HEX_RECORD));
    if (grown == nullptr) return false;
    (void)entries_.release();
    entries_.reset(static_cast<INTEL_HEX_RECORD*>(grown));
    std::memset(entries_.get() + capacity_, 0, (entries - capacity_) * sizeof(INTEL_HEX_RECORD));
    capacity_ = entries;
    return true;
  }
  INTEL_HEX_RECORD& operator[](size_t index) { return entries_.get()[index]; }
  INTEL_HEX_RECORD* release() { return entries_.release(); }

 private:
  CBlock<INTEL_HEX_RECORD> entries_;
  size_t capacity_ = 0;
};

// A failed request for the record table, told apart from one for the text
// because hex_getHexRecordFromFile names the two differently.
constexpr int kTableMemoryFault = -HEX_RET_MEMORY_FAULT;

bool is_directory(FILE* file) {
  struct stat status {};
  return fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode);
}

// Reads the whole file into `text`. Prints the open failure itself.
int load_text(const char* path, CBlock<char>& text, size_t& size) {
  File file(path != nullptr ? std::fopen(path, "rb") : nullptr);
  // A directory opens for reading here but is no file to read.
  if (file && is_directory(file.get())) file.reset();
  if (!file) {
    std::printf("- Opening %s failed.\n", path != nullptr ? path : "");
    return HEX_RET_NO_HEX_FILE;
  }
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return HEX_RET_READ_FILE_FAILED;
  const long end = std::ftell(file.get());
  if (end < 0) return HEX_RET_READ_FILE_FAILED;
  size = static_cast<size_t>(end);
  text.reset(static_cast<char*>(std::malloc(size > 0 ? size : 1)));
  if (!text) return HEX_RET_MEMORY_FAULT;
  std::rewind(file.get());
  if (std::fread(text.get(), 1, size, file.get()) != size) return HEX_RET_READ_FILE_FAILED;
  return HEX_RET_OK;
}

// Parses the records of `text` into `table` and counts them into `info`.
// Every character position is checked against `size` before it is read.
int parse_records(const char* text, size_t size, RecordTable& table, INTEL_HEX_RECORD_INFO& info) {
  if (size == 0 || text[0] != kRecordMark) return HEX_RET_WRONG_FILE_TYPE;
  size_t at = 0;  // the current record's ':'; always inside the text
  for (size_t index = 0;; ++index) {
    const char* record = text + at;
    const size_t left = size - at;
    if (left < kDataAt + kChecksumChars) return HEX_RET_WRONG_FILE_TYPE;

    const uint8_t count = hex_byte(record + kCountAt);
    if (count > kMaxDataBytes) return HEX_RET_WRONG_FILE_TYPE;
    info.nTotal_bytes = static_cast<uint16_t>(info.nTotal_bytes + count);
    const uint16_t address = hex_word(record + kAddressAt);
    if (address + count > info.nLast_address) info.nLast_address = static_cast<uint16_t>(address + count);
    const uint8_t type = hex_byte(record + kTypeAt);
    if (type > kMaxRecordType) return HEX_RET_WRONG_FILE_TYPE;
    const size_t data_end = kDataAt + 2 * size_t{count};
    if (left < data_end + kChecksumChars) return HEX_RET_WRONG_FILE_TYPE;

    if (!table.reserve(index + 1)) return kTableMemoryFault;
    INTEL_HEX_RECORD& entry = table[index];
    entry = INTEL_HEX_RECORD{};
    entry.nByte_count = count;
    entry.nAddress = address;
    entry.nRecord_type = type;
    for (size_t i = 0; i < count; ++i) entry.aData[i] = hex_byte(record + kDataAt + 2 * i);
    if (type == kTypeEndOfFile) return HEX_RET_OK;

    // Checksum and line end are skipped unread; the next ':' follows at once.
    at += data_end + kChecksumChars + kLineEndChars;
    if (at >= size || text[at] != kRecordMark) return HEX_RET_WRONG_FILE_TYPE;
  }
}

// Both readers: load, reserve the table, parse.
int read_records(const char* path, RecordTable& table, INTEL_HEX_RECORD_INFO* info) {
  CBlock<char> text;
  size_t size = 0;
  int result = load_text(path, text, size);
  if (result != HEX_RET_OK) return result;
  const size_t line_feeds = static_cast<size_t>(std::count(text.get(), text.get() + size, '\n'));
  INTEL_HEX_RECORD_INFO counters{};
  counters.nRecord_cournt = static_cast<uint16_t>(line_feeds);
  // One entry per line feed, but no more than records fit into the text: a
  // file of bare line feeds must not reserve twenty times its size.
  if (!table.reserve(std::min(line_feeds, size / kMinRecordStride + 1))) return kTableMemoryFault;
  result = parse_records(text.get(), size, table, counters);
  if (info != nullptr) *info = counters;
  return result;
}

void write_record(FILE* out, const INTEL_HEX_RECORD& record) {
  std::fprintf(out, "{\r\n\t0x%02X,\r\n\t0x%04X,\r\n\t0x%02X,\r\n\t{", record.nByte_count, record.nAddress,
               record.nRecord_type);
  const size_t count = std::min<size_t>(record.nByte_count, kMaxDataBytes);
  for (size_t i = 0; i < count; ++i) std::fprintf(out, "0x%02X,", record.aData[i]);
  std::fputs("}\r\n},\r\n", out);
}

}  // namespace

int hex_file_to_mem(INTEL_HEX_FILE** ppHexFile, const char* path) {
  *ppHexFile = nullptr;
  CBlock<INTEL_HEX_FILE> file(static_cast<INTEL_HEX_FILE*>(std::calloc(1, sizeof(INTEL_HEX_FILE))));
  CBlock<INTEL_HEX_RECORD_INFO> info(
      static_cast<INTEL_HEX_RECORD_INFO*>(std::calloc(1, sizeof(INTEL_HEX_RECORD_INFO))));
  RecordTable table;
  int result = read_records(path, table, info.get());
  if (result == kTableMemoryFault) result = HEX_RET_MEMORY_FAULT;
  if (result == HEX_RET_OK && (!file || !info)) result = HEX_RET_MEMORY_FAULT;
  if (result != HEX_RET_OK) return result;
  file->pInfo = info.release();
  file->pRecords = table.release();
  *ppHexFile = file.release();
  return HEX_RET_OK;
}

int hex_getHexRecordFromFile(INTEL_HEX_RECORD** ppRecords, const char* path) {
  *ppRecords = nullptr;
  RecordTable table;
  switch (read_records(path, table, nullptr)) {
    case HEX_RET_OK:
      *ppRecords = table.release();
      return 1;
    case HEX_RET_NO_HEX_FILE:
      break;  // the open failure line is already out
    case HEX_RET_READ_FILE_FAILED:
      std::puts("- Reading fault.");
      break;
    case HEX_RET_WRONG_FILE_TYPE:
      std::puts("- Wrong hex file type.");
      break;
    case kTableMemoryFault:
      std::puts("- HEX Memory fault.");
      break;
    default:
      std::puts("- Memory fault.");
      break;
  }
  return 0;
}

void hex_file_release(INTEL_HEX_FILE* pHexFile) {
  if (pHexFile == nullptr) return;
  std::free(pHexFile->pInfo);
  std::free(pHexFile->pRecords);
  std::free(pHexFile);
}

void hex_records_release(INTEL_HEX_RECORD* pRecords) { std::free(pRecords); }

void hex_print_record(const INTEL_HEX_RECORD* pRecord) {
  std::printf("%04X ", pRecord->nAddress);
  const size_t count = std::min<size_t>(pRecord->nByte_count, kMaxDataBytes);
  for (size_t i = 0; i < count; ++i) std::printf(" %02X", pRecord->aData[i]);
  std::putchar('\n');
}

void hex_print_all(const INTEL_HEX_RECORD* pRecords) {
  std::putchar('\n');
  for (const INTEL_HEX_RECORD* record = pRecords; record->nRecord_type == kTypeData; ++record) {
    hex_print_record(record);
  }
  std::putchar('\n');
}

void hex_print_error_msg(int code) {
  static constexpr const char* kNames[] = {
      "HEX_RET_NO_HEX_FILE \n",   "HEX_RET_WRONG_FILE_TYPE \n",  "HEX_RET_WRONG_FILE_SIZE \n",
      "HEX_RET_MEMORY_FAULT \n",  "HEX_RET_READ_FILE_FAILED \n", "HEX_RET_WRONG_CHKSUM \n",
  };
  std::printf("  HEX file Error : ");
  if (code == HEX_RET_OK) return;
  if (code >= HEX_RET_NO_HEX_FILE && code <= HEX_RET_WRONG_CHKSUM) {
    std::puts(kNames[code - HEX_RET_NO_HEX_FILE]);
  } else {
    std::puts("UNKNOWN\n");
  }
}

int hex_mem_to_cfile(const INTEL_HEX_RECORD* pRecords, const INTEL_HEX_RECORD_INFO* pInfo, const char* path) {
  // The objects are named after the file name alone, so that a path with
  // directories (either separator: Windows takes both) still gives C
  // identifiers.
  const char* name = path;
  for (const char* c = path; c != nullptr && *c != '\0'; ++c) {
    if (*c == '/' || *c == '\\') name = c + 1;
  }
  const size_t name_length = name != nullptr ? std::strlen(name) : 0;
  // Binary: the source carries its own CR LF line ends, which a text-mode
  // file on Windows would double.
  File out(pRecords != nullptr && pInfo != nullptr && name_length >= 3 ? std::fopen(path, "wb") : nullptr);
  if (!out) {
    std::puts(" Openning C file failed\n");
    return -1;
  }
  const std::string base(name, name_length - 2);

  std::fprintf(out.get(), "\r\nINTEL_HEX_RECORD_INFO %s_info = {\r\n\r\n", base.c_str());
  std::fprintf(out.get(), "\t0x%04X,\t\t// nRecord_cournt ( Count of data records )\r\n", pInfo->nRecord_cournt);
  std::fprintf(out.get(), "\t0x%04X,\t\t// nTotal_bytes\r\n", pInfo->nTotal_bytes);
  std::fprintf(out.get(), "\t0x%04X,\t\t// nLast_address\r\n", pInfo->nLast_address);
  std::fprintf(out.get(), "};\r\n\r\n\r\nINTEL_HEX_RECORD %s[] = {\r\n\r\n", base.c_str());
  for (const INTEL_HEX_RECORD* record = pRecords;; ++record) {
    write_record(out.get(), *record);
    if (record->nRecord_type == kTypeEndOfFile) break;
  }
  std::fputs("};\r\n\r\n", out.get());

  // A full disk must not pass for a written file.
  const bool write_failed = std::ferror(out.get()) != 0;
  if (std::fclose(out.release()) != 0 || write_failed) {
    std::puts(" Writing C file failed\n");
    return -1;
  }
  return 0;
}
