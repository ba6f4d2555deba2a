#include "diag/master_TCIP.h"

#include "app/device_mode.h"
#include "app/entry.h"
#include "app/master.h"
#include "app/run_outcome.h"
#include "console/log.h"
#include "console/safe_text.h"
#include "console/util_console.h"
#include "diag/device_records.h"
#include "diag/log_table.h"
#include "diag/master_TCIP_cmd.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

bool g_master_init_quiet = false;
bool g_master_controller_lost = false;
int32_t iFirstFrameESDPacketCnt = 0;

namespace {

constexpr uint16_t kRegSection = 0x0130;
constexpr uint16_t kRegInterface = 0x0150;
constexpr uint16_t kRegEventPacket = 0x0210;
constexpr uint16_t kRegEventFlag = 0x0601;
constexpr uint16_t kRegTestInfo = 0x0A00;
constexpr uint16_t kRegTestRequest = 0x0A10;
constexpr uint16_t kRegTestFormat = 0x0A20;
constexpr uint16_t kRegImageFormat = 0x0C20;
constexpr uint16_t kRegRegionCount = 0x0C30;
constexpr uint16_t kRegRegions = 0x0C31;
constexpr uint16_t kRegLogHeader = 0x1020;

constexpr size_t kInterfaceSize = 10;
constexpr size_t kNameSize = 8;
constexpr size_t kVersionSize = 8;
constexpr size_t kSectionSize = 8;
constexpr size_t kFormatSize = 6;
constexpr size_t kRegionSize = 4;
constexpr size_t kDescriptorSize = 4;
constexpr size_t kLogHeaderSize = 6;
constexpr uint8_t kTestRelease = 0xFF;
constexpr uint8_t kLogCodeFrameStart = 166;
constexpr int32_t kEsdAlarmAfter = 6;
constexpr uint8_t kEsdBit = 0x80;
constexpr uint8_t kLengthBits = 0x7F;
// A matrix larger than the controller's one-byte dimensions can describe
// comes only from a faulty caller.
constexpr int kMaxDimension = 1024;

// Buffer format record (0x0C20, 0x0A20).
struct BufferFormat {
  uint8_t rows, cols, buffer_col, rotated, keys, data_type;
};
BufferFormat decode_format(const uint8_t* b) { return {b[0], b[1], b[2], b[3], b[4], b[5]}; }

// Reads a block of any length into a cleared buffer; a failed read is said
// in a line naming the block, so nothing is printed from stale memory.
bool read_block(uint16_t reg, void* buffer, size_t size, const char* block) {
  if (diag_read(reg, buffer, static_cast<uint32_t>(size))) return true;
  log_printf(0, "Cannot read the %s (register 0x%04X).\n", block, reg);
  run_reason_set("cannot read the %s (register 0x%04X)", block, reg);
  return false;
}

// Loads a device record; on a failed read the record keeps what it held.
template <typename Record>
bool load_record(uint16_t reg, Record& record, const char* block) {
  uint8_t bytes[sizeof(Record)];
  if (!read_block(reg, bytes, sizeof bytes, block)) return false;
  std::memcpy(&record, bytes, sizeof record);
  return true;
}

// ---- Device information ---------------------------------------------------

// A fixed-width name the controller reports, up to its first NUL, made safe
// to print.
std::string device_name(const char* field, size_t width) {
  const std::string_view name(field, width);
  return safe_text(name.substr(0, name.find('\0')));
}

bool read_interface(char name[kNameSize]) {
  uint8_t block[kInterfaceSize];
  if (!read_block(kRegInterface, block, sizeof block, "interface block")) return false;
  std::memcpy(name, block, kNameSize);
  const uint16_t version = le16(block + kNameSize);
  std::puts("[Interface Informations]");
  std::printf(" protocol name: %s\n", device_name(name, kNameSize).c_str());
  std::printf(" protocol version: %02X.%02X\n", version >> 8, version & 0xFF);
  return true;
}

void load_tcip_records(void) {
  if (load_record(REG_PANEL, tPanel, "panel block")) {
    std::puts("[Panel Informations]");
    std::printf(" product name: %s\n", device_name(tPanel.acProductName, sizeof tPanel.acProductName).c_str());
    std::printf(" resolution: %d x %d\n", tPanel.usResolutionX, tPanel.usResolutionY);
    std::printf(" node: %d x %d, key: %d\n", tPanel.ucNodeX, tPanel.ucNodeY, tPanel.ucKeyNum);
    // The replay of raw frames needs the raw image's dimensions: the panel's.
    tModuleCommonConf.aucData[35] = tPanel.ucNodeY;
    tModuleCommonConf.aucData[36] = tPanel.ucNodeX;
  }
  load_record(REG_SETTER, tSetter, "setter block");
  if (load_record(REG_EVENT_FORMAT, tEventFormat, "event format block")) {
    std::printf("Packet Format ID: %d, Packet Item Size: %d\n", tEventFormat.usPacketFormatId,
                tEventFormat.ucPacketItemSize);
  }
}

// ---- Matrix printing --------------------------------------------------------

struct ValueFormat {
  const char* header;
  const char* label;
  const char* value;
};
// Index: size 1, 2, 4 as 0, 1, 2; times two, plus one when signed.
constexpr ValueFormat kValueFormats[6] = {
    {" >       ", "[%3d]", "%4u,"},    {" >        ", "[%3d] ", "%5i,"},       {" >        ", "[%3d] ", "%5u,"},
    {" >        ", " [%3d] ", "%6i,"}, {" >        ", "     [%3d] ", "%10u,"}, {" >        ", "      [%3d] ", "%11i,"},
};

// The format strings are picked from the constant table above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void print_values(const ValueFormat& format, const uint8_t* data, int count, int size, bool is_signed) {
  for (int i = 0; i < count; ++i) {
    const uint8_t* p = data + static_cast<size_t>(i) * size;
    uint32_t raw = 0;
    for (int b = size - 1; b >= 0; --b) raw = raw << 8 | p[b];
    if (is_signed) {
      const int shift = 32 - 8 * size;
      const int32_t value = static_cast<int32_t>(raw << shift) >> shift;
      log_printf(0, format.value, value);
    } else {
      log_printf(0, format.value, raw);
    }
  }
}

void print_labels(const ValueFormat& format, int cols) {
  for (int c = 0; c < cols; ++c) log_printf(0, format.label, c);
}
#pragma GCC diagnostic pop

// ---- Event packets ----------------------------------------------------------

// Entry layouts by packet format ID: the entry text, the blanks printed for
// an absent finger, and the item bytes an entry needs.
struct EntryFormat {
  const char* text;
  int width;
  int item_bytes;
};
constexpr EntryFormat kEntryFormats[2] = {
    {"[%2d]={%4d,%4d,%3d,%3d},", 25, 5},
    {"[%2d]={%4d,%4d,%3d,%3d,%3d,%3d},", 31, 9},
};
constexpr size_t kEntryTextSize = 64;

const EntryFormat* TCIP_GetFormattedStr(uint16_t format_id) {
  return format_id < 2 ? &kEntryFormats[format_id] : nullptr;
}

int item_count(int length) {
  const int size = tEventFormat.ucPacketItemSize;
  return size == 0 ? 0 : length / size;
}

const uint8_t* FindItem(int length, const uint8_t* items, int finger) {
  const int count = item_count(length);
  for (int i = 0; i < count; ++i) {
    const uint8_t* item = items + static_cast<size_t>(i) * tEventFormat.ucPacketItemSize;
    if ((item[0] & 0x0F) == finger) return item;
  }
  return nullptr;
}

int GetMaximumIdx(int length, const uint8_t* items) {
  int largest = 0;
  const int count = item_count(length);
  for (int i = 0; i < count; ++i) {
    const int id = items[static_cast<size_t>(i) * tEventFormat.ucPacketItemSize] & 0x0F;
    if (id > largest) largest = id;
  }
  return largest;
}

// Format 0 carries no more than the identifier and the position; its two
// short fields show item bytes 5 and 6 when the items are that long.
void FingerToString(char* line, int finger, const uint8_t* p, uint16_t format_id) {
  const int size = tEventFormat.ucPacketItemSize;
  if (format_id == 0) {
    std::snprintf(line, kEntryTextSize, kEntryFormats[0].text, finger, p[1] * 256 + p[2], p[3] * 256 + p[4],
                  size > 5 ? p[5] : 0, size > 6 ? p[6] : 0);
  } else if (format_id == 1) {
    std::snprintf(line, kEntryTextSize, kEntryFormats[1].text, finger, p[1] * 256 + p[3], p[2] * 256 + p[4], p[5],
                  static_cast<int8_t>(p[6]), p[7], p[8]);
  } else {
    line[0] = '\0';
  }
}

void SetColor(const uint8_t* item) {
  static constexpr uint16_t kColours[4] = {COLOR_BRIGHT_RED, COLOR_BRIGHT_BLUE, COLOR_BRIGHT_GREEN, COLOR_GREY};
  console_set_font_color(kColours[item[0] >> 6]);
}

void RollbackColor(void) { console_set_font_color(COLOR_BRIGHT_WHITE); }

void write_setter(void) { i2c_write_to(REG_SETTER, reinterpret_cast<const uint8_t*>(&tSetter), sizeof tSetter); }

void esd_report(const uint8_t* packet) {
  if (packet[1] != 1) return;
  if (packet[2] != 0) {
    iFirstFrameESDPacketCnt = 0;
    std::puts("ESD???");
    return;
  }
  if (iFirstFrameESDPacketCnt < INT32_MAX) ++iFirstFrameESDPacketCnt;
  if (iFirstFrameESDPacketCnt <= kEsdAlarmAfter) {
    std::puts("ESD???");
    return;
  }
  std::puts("채널 단선이 있는 듯 합니다.");
  tSetter.ucDisableESDAlert = 1;
  write_setter();
}

void print_fingers(const uint8_t* items, int length) {
  const uint16_t format_id = tEventFormat.usPacketFormatId;
  const int size = tEventFormat.ucPacketItemSize;
  const EntryFormat* format = TCIP_GetFormattedStr(format_id);
  if (size == 0) {
    log_printf(0, "Event packet skipped: the packet item size is 0.\n");
    return;
  }
  if (format == nullptr) {
    log_printf(0, "Event packet skipped: packet format %d is unknown.\n", format_id);
    return;
  }
  if (size < format->item_bytes) {
    log_printf(0, "Event packet skipped: items of %d bytes are too short for packet format %d (%d bytes).\n", size,
               format_id, format->item_bytes);
    return;
  }
  const int largest = GetMaximumIdx(length, items);
  if (item_count(length) == 0 || largest == 0) {
    log_printf(0, "\n");
    return;
  }
  for (int finger = 1; finger <= largest; ++finger) {
    const uint8_t* item = FindItem(length, items, finger);
    if (item == nullptr) {
      log_printf(0, "%*s", format->width, "");
      continue;
    }
    char entry[kEntryTextSize];
    FingerToString(entry, finger, item, format_id);
    SetColor(item);
    log_printf(0, "%s", entry);
    RollbackColor();
  }
  log_printf(0, "\n");
}

void read_event_packet(void) {
  // Room for the first read (header and an item of up to 255 bytes) and for
  // the longest payload a header can announce (127 bytes): no packet can
  // overrun it, however many items it holds.
  std::array<uint8_t, 1 + 255> packet{};
  const uint32_t size = tEventFormat.ucPacketItemSize;
  if (!read_block(kRegEventPacket, packet.data(), size + 1, "event packet")) return;
  if ((packet[0] & kEsdBit) != 0) {
    esd_report(packet.data());
    return;
  }
  const uint32_t length = packet[0] & kLengthBits;
  if (length > size && !read_block(static_cast<uint16_t>(kRegEventPacket + 1 + size), &packet[1 + size], length - size,
                                   "event packet")) {
    return;
  }
  print_fingers(&packet[1], static_cast<int>(length));
}

// ---- Lost controller ------------------------------------------------------------

using Clock = std::chrono::steady_clock;
uint32_t poll_failures = 0;  // poll reads failed in a row
Clock::time_point first_poll_failure{};

// Counts one judged poll read; gives the run up by the waits' rule.
void note_poll_read(bool ok) {
  if (ok) {
    poll_failures = 0;
    return;
  }
  if (poll_failures++ == 0) first_poll_failure = Clock::now();
  if (poll_failures < READY_LOST_MIN_READS || Clock::now() - first_poll_failure < std::chrono::milliseconds(READY_LOST_MS)) {
    return;
  }
  std::puts("The touch controller stopped answering.");
  g_master_controller_lost = true;
  gloop = 0;
}

// ---- Replay file ------------------------------------------------------------

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
std::unique_ptr<FILE, FileCloser> fp;
constexpr const char* kReplayFile = "rawdata.log";

int replay_rows(void) { return tModuleCommonConf.aucData[35]; }
int replay_cols(void) { return tModuleCommonConf.aucData[36]; }

}  // namespace

// ---- Device information ---------------------------------------------------

bool diag_read(uint16_t reg, void* buffer, uint32_t size) {
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  if (i2c_read_from_long(reg, bytes, size) == 0) return false;
  return size == 0 || std::any_of(bytes, bytes + size, [](uint8_t b) { return b != 0xFF; });
}

void master_console_begin(void) {
  g_master_controller_lost = false;
  poll_failures = 0;
  console_reset_toggles();
  g_end_of_input_ends_waits = true;
  g_ready_log_reader = ReadLog;
  g_ready_image_reader = ReadImage;
}

void master_init(void) {
  master_console_begin();
  if (!g_master_init_quiet) print_command_list();
  char name[kNameSize];
  if (!read_interface(name)) {
    gloop = 0;  // no device to hold a console run with
    return;
  }
  // Five bytes: the name and its terminating NUL, so only the exact name matches.
  if (std::memcmp(name, "TCIP", 5) == 0) {
    load_tcip_records();
  } else if (std::memcmp(name, "DFUP", 5) != 0) {
    Check_Firmware_Info();
    gloop = 0;
    return;
  }
  if (load_record(REG_IMAGE_INFO, tImageInfo, "image buffer descriptor")) {
    std::printf("Buffer address: 0x%04X\n", tImageInfo.usBufferAddr);
  }
  load_record(REG_IMAGE_CTRL, tImageCtrl, "image request");
  if (load_record(REG_LOG_INFO, tLogInfo, "log buffer descriptor")) {
    std::printf("Buffer address: 0x%04X\n", tLogInfo.usBufferAddr);
  }
  if (load_record(REG_LOG_CTRL, tLogCtrl, "log control block")) {
    std::printf("tLogCtrl.ulLogMask: 0x%08X, tLogCtrl.: 0x%08X\n", tLogCtrl.ulLogMask, tLogCtrl.bLogEnable);
  }
}

int master_print_interface_info(void) {
  char name[kNameSize];
  return read_interface(name) ? 1 : 0;
}

void Check_Firmware_Info(void) {
  uint8_t versions[kVersionSize];
  if (read_block(REG_VERSION, versions, sizeof versions, "version block")) {
    const uint16_t boot = le16(versions), core = le16(versions + 2), publ = le16(versions + 4),
                   conf = le16(versions + 6);
    std::printf("\n[Version]\n [ BOOT/ CORE/ PUBL/ CONF]\n  %02X.%02X %02X.%02X %02X.%02X %02X.%02X\n", boot >> 8,
                boot & 0xFF, core >> 8, core & 0xFF, publ >> 8, publ & 0xFF, conf >> 8, conf & 0xFF);
  }
  uint8_t sections[kSectionSize];
  if (read_block(kRegSection, sections, sizeof sections, "section block")) {
    std::puts("\n[Section Address]");
    static constexpr const char* kNames[4] = {"BOOT", "CORE", "PUBL", "CONF"};
    for (int i = 0; i < 4; ++i) std::printf(" %s: %3dK ~ %3dK\n", kNames[i], sections[2 * i], sections[2 * i + 1]);
  }
}

// ---- Readers ----------------------------------------------------------------

void ReadRmiBuffer(uint16_t base, int rows, int cols, int buffer_col, int row_offset, int col_offset, int keys,
                   uint8_t data_type) {
  const int size = data_type & 0x7F;
  if (size != 1 && size != 2 && size != 4) return;
  if (rows < 0 || cols < 0 || keys < 0 || rows > kMaxDimension || cols > kMaxDimension || keys > kMaxDimension) {
    log_printf(0, "Matrix of %d x %d values and %d keys refused.\n", rows, cols, keys);
    return;
  }
  const bool is_signed = (data_type & 0x80) != 0;
  const ValueFormat& format = kValueFormats[(size == 4 ? 2 : size - 1) * 2 + (is_signed ? 1 : 0)];

  console_set_font_color(COLOR_DARK_GREY);
  log_printf(0, "%s", format.header);
  print_labels(format, cols);
  log_printf(0, "\n");
  console_set_font_color(COLOR_BRIGHT_WHITE);

  const size_t row_bytes = static_cast<size_t>(cols) * size;
  std::vector<uint8_t> values(static_cast<size_t>(rows) * row_bytes + static_cast<size_t>(keys) * size);
  // Register of row r (r == rows: the key run), modulo 65536.
  auto row_register = [&](int r) {
    const long long index = static_cast<long long>(r + row_offset) * buffer_col + col_offset;
    return static_cast<uint16_t>(static_cast<unsigned long long>(base + index * size) & 0xFFFF);
  };
  bool read_ok = true;
  for (int r = rows - 1; r >= 0 && read_ok && row_bytes != 0; --r) {
    read_ok = i2c_read_from_long(row_register(r), values.data() + r * row_bytes, static_cast<uint32_t>(row_bytes)) != 0;
  }
  if (read_ok && keys > 0) {
    read_ok = i2c_read_from_long(row_register(rows), values.data() + rows * row_bytes,
                                 static_cast<uint32_t>(keys * size)) != 0;
  }
  if (!read_ok) {
    log_printf(0, "Cannot read the matrix at register 0x%04X.\n", base);
    return;
  }

  for (int r = 0; r < rows; ++r) {
    console_set_font_color(COLOR_DARK_GREY);
    log_printf(0, " > [%3d] ", r);
    console_set_font_color(COLOR_BRIGHT_WHITE);
    print_values(format, values.data() + r * row_bytes, cols, size, is_signed);
    log_printf(0, "\n");
  }
  if (keys > 0) {
    console_set_font_color(COLOR_DARK_GREY);
    log_printf(0, " > [Key] ");
    console_set_font_color(COLOR_BRIGHT_WHITE);
    print_values(format, values.data() + rows * row_bytes, keys, size, is_signed);
    log_printf(0, "\n");
  }
}

int ReadImage(void) {
  uint8_t record[kFormatSize];
  uint8_t count = 0;
  // Up to 255 regions of 4 bytes.
  std::array<int8_t, 255 * kRegionSize> regions{};
  bool ok = read_block(kRegImageFormat, record, sizeof record, "image format record");
  const BufferFormat format = decode_format(record);
  if (ok) {
    std::puts("[Format]");
    std::printf("    row: %d, col: %d, buffer_col: %d, tDataType.b7Size: %d\n", format.rows, format.cols,
                format.buffer_col, format.data_type & 0x7F);
    ok = read_block(kRegRegionCount, &count, 1, "finger region count");
  }
  if (ok) {
    std::printf("    Finger num: %d\n", count);
    ok = read_block(kRegRegions, regions.data(), count * kRegionSize, "finger region list");
  }
  const uint8_t request = tImageCtrl.ucRequest;
  if (ok && request >= 1 && request <= 4) {
    const uint16_t base = tImageInfo.usBufferAddr;
    if (count == 0) {
      ReadRmiBuffer(base, format.rows, format.cols, format.buffer_col, 0, 0, format.keys, format.data_type);
    }
    for (int i = 0; i < count; ++i) {
      const int8_t* region = &regions[i * kRegionSize];
      std::printf("[Finger %d]\n", i);
      const int rows = region[1] - region[0] + 1;
      const int cols = region[3] - region[2] + 1;
      if (rows <= 0 || cols <= 0) {
        std::printf("    region rows %d to %d, columns %d to %d: the end lies before the start, skipped\n", region[0],
                    region[1], region[2], region[3]);
        continue;
      }
      ReadRmiBuffer(base, rows, cols, format.buffer_col, region[0], region[2], format.keys, format.data_type);
    }
  }
  tImageCtrl.ucRequest = 0;
  return i2c_write_to(REG_IMAGE_CTRL, &tImageCtrl.ucRequest, 1);
}

void ReadTestResult(uint8_t test) {
  if (i2c_write_to(kRegTestRequest, &test, 1) == 0) {
    log_printf(0, "Cannot start test %d (register 0x%04X).\n", test, kRegTestRequest);
    return;
  }
  WaitForReadyStatus();
  uint8_t descriptor[kDescriptorSize];
  uint8_t record[kFormatSize];
  if (read_block(kRegTestInfo, descriptor, sizeof descriptor, "test result descriptor")) {
    const uint16_t base = le16(descriptor);
    std::printf("Buffer address: 0x%04X\n", base);
    if (read_block(kRegTestFormat, record, sizeof record, "test result format record")) {
      const BufferFormat format = decode_format(record);
      std::puts("[Format]");
      std::printf("    row: %d, col: %d, buffer_col: %d, data size: %d\n", format.rows, format.cols, format.buffer_col,
                  format.data_type & 0x7F);
      std::printf("   rotated: %d\n", format.rotated);
      ReadRmiBuffer(base, format.rows, format.cols, format.buffer_col, 0, 0, format.keys, format.data_type);
    }
  }
  i2c_write_to(kRegTestRequest, &kTestRelease, 1);
}

int master_open_log_file(void) {
  fp.reset(std::fopen(kReplayFile, "r"));
  if (!fp) {
    log_printf(0, "intensity.log 파일이 존재 하지 않음!!!\n");
    log_printf(0, "Error!\n");
    return 0;
  }
  std::fseek(fp.get(), 0, SEEK_END);
  const long size = std::ftell(fp.get());
  std::rewind(fp.get());
  log_printf(0, "size : %d bytes.\n", static_cast<int>(size));
  const int frame = 2 * (3 * replay_cols() - 3) * replay_rows();
  if (frame <= 0) {
    log_printf(0, "frame size : %d bytes (rows %d, columns %d): no frame to replay.\n", frame, replay_rows(),
               replay_cols());
    fp.reset();
    return 0;
  }
  log_printf(0, "frame size : %d bytes, frame_cnt : %d\n", frame, static_cast<int>(size / frame));
  return 1;
}

void master_send_rawimage(void) {
  if (!fp) {
    log_printf(0, "No replay file is open.\n");
    return;
  }
  const size_t count = static_cast<size_t>(replay_rows()) * replay_cols();
  std::vector<uint16_t> frame(count);
  if (std::feof(fp.get()) != 0) std::rewind(fp.get());
  for (size_t i = 0; i < count; ++i) {
    int value = 0;
    const int got = std::fscanf(fp.get(), "%4d", &value);
    // The end of the file at a frame's start: start over with the first frame.
    if (got == EOF && i == 0 && std::ftell(fp.get()) > 0) {
      std::rewind(fp.get());
      if (std::fscanf(fp.get(), "%4d", &value) != 1) return;
    } else if (got != 1) {
      return;  // a short or unreadable frame ends here
    }
    frame[i] = static_cast<uint16_t>(value);
  }
}

void master_close_log_file(void) { fp.reset(); }

// ---- Run loop -----------------------------------------------------------------

void master_run(void) {
  uint8_t status = 0;
  uint8_t event = 0;
  const bool pending = tImageCtrl.ucRequest != 0 || tLogCtrl.bLogEnable == 1;
  uint8_t bytes[2] = {};
  // Each read is judged, so the idle bus is neither a status nor an event.
  auto poll_read = [&bytes](uint16_t reg, uint32_t size) {
    const bool ok = diag_read(reg, bytes, size);
    note_poll_read(ok);
    return ok;
  };
  switch (tSetter.ucEventInterruptType) {
    case 0:
      if (pending && poll_read(REG_STATUS, 1)) status = bytes[0];
      break;
    case 1:
      event = emul_read_intr(0) == 0 ? 1 : 0;  // active low
      if (pending && poll_read(REG_STATUS, 1)) status = bytes[0];
      break;
    case 2:
      if (pending) {
        if (poll_read(REG_STATUS, 2)) {
          status = bytes[0];
          event = bytes[1];
        }
      } else if (poll_read(kRegEventFlag, 1)) {
        event = bytes[0];
      }
      break;
    default:
      return;
  }
  if (gloop == 0) return;
  // A plain ready status means a frame only when an image was asked for:
  // with logging alone on, reading it would print an image nobody requested,
  // on every poll.
  const bool image = status == STATUS_IMAGE_WAITING || (status == STATUS_READY && tImageCtrl.ucRequest != 0);
  if (event != 0 || image || status == STATUS_LOG_WAITING) g_master_run_busy = true;  // poll again at once
  if (event != 0) read_event_packet();
  if (image) {
    ReadImage();
  } else if (status == STATUS_LOG_WAITING) {
    ReadLog();
  }
}

int ReadLog(void) {
  uint8_t header[kLogHeaderSize];
  // Unread, the header proves nothing: above all not the end of the log.
  if (!read_block(kRegLogHeader, header, sizeof header, "log record header")) return 0;
  const uint8_t rows = header[0], cols = header[1], buffer_col = header[2], data_type = header[3], code = header[4];
  const char* text = mLogCodeToString[code];
  if (text == nullptr) {
    log_printf(0, " > [TEST_LOG] code: %d\n", code);
  } else if (code == 0) {
    if (rows == 0) {
      gloop = 0;
      return 1;
    }
  } else if (code == kLogCodeFrameStart) {
    console_set_font_color(COLOR_DARK_GREY);
    log_printf(0, " > [%3d] %s\n", code, text);
    console_set_font_color(COLOR_BRIGHT_WHITE);
  } else {
    log_printf(0, " > [%3d] %s\n", code, text);
  }
  ReadRmiBuffer(tLogInfo.usBufferAddr, rows, cols, buffer_col, 0, 0, 0, data_type);
  tLogCtrl.bLogEnable = 1;
  return i2c_write_to(REG_LOG_CTRL, reinterpret_cast<const uint8_t*>(&tLogCtrl), sizeof tLogCtrl);
}
