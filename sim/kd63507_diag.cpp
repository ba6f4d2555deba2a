// The virtual controller's diagnostic side: see the block in kd63507.h.
#include "kd63507.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kEventWindow = 256;  // registers cleared before a packet is put at 0x0210
constexpr uint8_t kStateDown = 0x80;
constexpr uint8_t kStateMove = 0xC0;
constexpr uint8_t kStateUp = 0x40;
constexpr uint8_t kEsdHeader = 0x82;
constexpr uint8_t kTestRelease = 0xFF;

// Image kinds written to 0x0C10.
constexpr uint8_t kImageRaw = 1;
constexpr uint8_t kImageFiltered = 2;
constexpr uint8_t kImageIntensity = 3;

// Data types: bits 0-6 bytes per value, bit 7 signed.
constexpr uint8_t kU8 = 0x01, kU16 = 0x02, kS16 = 0x82, kU32 = 0x04, kS8 = 0x81;

// The finger region of the filtered and intensity images: rows 3 to 5,
// columns 6 to 8.
constexpr int8_t kRegion[4] = {3, 5, 6, 8};

int raw_value(int r, int c) { return 1000 + r * 10 + c; }
// A peak at row 4, column 7, small signed noise elsewhere.
int intensity_value(int r, int c) {
  const int peak = 120 - 30 * (std::abs(r - 4) + std::abs(c - 7));
  return peak > 0 ? peak : (r * 7 + c) % 5 - 2;
}
int key_raw_value(int, int c) { return 1500 + c; }
int key_intensity_value(int, int c) { return c * 10 - 5; }
int cm_value(int r, int c) { return 2000 + r * 16 + c; }
int open_short_value(int r, int c) { return (r + c) % 2 == 0 ? 1 : 0; }
int frame_number_value(int, int) { return 1; }
int profile_value(int, int c) { return 100000 + c * 37; }
int small_signed_value(int, int c) { return c - 2; }

void put_le(uint8_t* p, uint32_t value, int size) {
  for (int i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A log record: code, shape and values.
struct LogRecord {
  uint8_t code;
  bool panel_sized;  // rows and columns of the panel, else one row
  int cols;
  uint8_t type;
  int (*value)(int r, int c);
};
constexpr LogRecord kLogRecords[] = {
    {166, false, 1, kU32, frame_number_value},  // Frame Start
    {81, true, 0, kU16, raw_value},             // Rawdata
    {83, true, 0, kS16, intensity_value},       // Intensity
    {170, false, 40, kU32, profile_value},      // Time profile: a 160-byte row
    {200, false, 4, kS8, small_signed_value},   // a code without text
};

}  // namespace

void Kd63507Diag::power_up() {
  uint8_t* panel = &regs_[kRegPanel];
  std::memset(panel, 0, 23);
  std::memcpy(panel, config_.product.data(), std::min<size_t>(config_.product.size(), 16));
  put_le(panel + 16, config_.resolution_x, 2);
  put_le(panel + 18, config_.resolution_y, 2);
  panel[20] = config_.node_x;
  panel[21] = config_.node_y;
  panel[22] = config_.keys;
  std::copy(config_.sections.begin(), config_.sections.end(), &regs_[kRegSections]);
  put_le(&regs_[kRegEventFormat + 4], config_.packet_format, 2);
  regs_[kRegEventFormat + 6] = config_.item_size;
  regs_[kRegEventType] = config_.event_interrupt_type;
  put_le(&regs_[kRegTestInfo], kTestBuffer, 2);
  put_le(&regs_[kRegImageInfo], kImageBuffer, 2);
  put_le(&regs_[kRegLogInfo], kLogBuffer, 2);

  const int count = config_.touch_packets;
  for (int i = 0; i < count; ++i) {
    const int x = count > 1 ? i * (config_.resolution_x - 1) / (count - 1) : config_.resolution_x / 2;
    const int y = config_.resolution_y / 2;
    const uint8_t state = i == 0 ? kStateDown : i == count - 1 ? kStateUp : kStateMove;
    std::vector<uint8_t> packet(1 + config_.item_size, 0);
    packet[0] = static_cast<uint8_t>(config_.item_size & 0x7F);
    uint8_t* item = &packet[1];
    const auto b = [](int v) { return static_cast<uint8_t>(v); };
    // Format 0: X and Y big-endian in bytes 1-4. Format 1: high bytes in 1
    // and 2, low bytes in 3 and 4, then width, a signed byte, strength.
    const uint8_t wide[9] = {b(state | 1), b(x >> 8), b(x), b(y >> 8), b(y), 8, 30, 0, 0};
    const uint8_t split[9] = {b(state | 1), b(x >> 8), b(y >> 8), b(x), b(y), 8, 0xFF, 30, 0};
    const uint8_t* layout = config_.packet_format == 1 ? split : wide;
    std::copy(layout, layout + std::min<size_t>(config_.item_size, 9), item);
    queue_event(std::move(packet));
  }
  for (int i = 0; i < config_.esd_reports; ++i) queue_event({kEsdHeader, 1, 0});
}

void Kd63507Diag::queue_event(std::vector<uint8_t> packet) {
  if (packet.empty() || packet.size() > kEventWindow) return;
  events_.push_back(std::move(packet));
  if (events_.size() == 1) load_event();
}

void Kd63507Diag::load_event() {
  std::fill_n(&regs_[kRegEventPacket], kEventWindow, 0);
  regs_[kRegEventFlag] = events_.empty() ? 0 : 1;
  if (!events_.empty()) std::copy(events_.front().begin(), events_.front().end(), &regs_[kRegEventPacket]);
}

void Kd63507Diag::on_read(uint16_t first, size_t count) {
  awake_ = true;
  if (events_.empty()) return;
  const size_t last = kRegEventPacket + events_.front().size() - 1;
  if (first <= last && last < first + count) {
    events_.pop_front();
    load_event();
  }
}

void Kd63507Diag::on_write(uint16_t first, size_t count) {
  awake_ = true;
  auto covers = [&](uint16_t reg) { return count > 0 && static_cast<uint16_t>(reg - first) < count; };
  if (covers(kRegImageRequest)) {
    const uint8_t kind = regs_[kRegImageRequest];
    image_ready_ = kind >= 1 && kind <= 4;
    if (image_ready_) make_image(kind);
  }
  if (covers(kRegTestRequest) && regs_[kRegTestRequest] != kTestRelease) run_test(regs_[kRegTestRequest]);
  if (covers(kRegLogEnable)) {
    // Records come only for the log types the mask (0x1010) switches on.
    const bool any_type = (regs_[kRegLogEnable - 4] | regs_[kRegLogEnable - 3] | regs_[kRegLogEnable - 2] |
                           regs_[kRegLogEnable - 1]) != 0;
    const bool enable = regs_[kRegLogEnable] == 1 && any_type;
    log_record_ = enable && logging_ ? log_record_ + 1 : 0;  // an acknowledgement, or a fresh start
    logging_ = enable;
    if (logging_) announce_log();
  }
}

uint8_t Kd63507Diag::status(uint8_t ready) const {
  if (logging_) return kStatusLog;
  if (image_ready_) return kStatusImage;
  return ready;
}

void Kd63507Diag::put_format(uint16_t reg, int rows, int cols, int stride, int rotated, int keys, uint8_t type) {
  const uint8_t record[6] = {static_cast<uint8_t>(rows),    static_cast<uint8_t>(cols), static_cast<uint8_t>(stride),
                             static_cast<uint8_t>(rotated), static_cast<uint8_t>(keys), type};
  std::copy(record, record + 6, &regs_[reg]);
}

void Kd63507Diag::put_matrix(uint16_t base, int rows, int cols, int stride, int size, int (*value)(int r, int c)) {
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < stride; ++c) {
      // Columns past the matrix (the stride's padding) hold a marker.
      const uint32_t v = c < cols ? static_cast<uint32_t>(value(r, c)) : 0xEEEEEEEEu;
      uint8_t bytes[4];
      put_le(bytes, v, size);
      for (int b = 0; b < size; ++b) regs_[static_cast<uint16_t>(base + (r * stride + c) * size + b)] = bytes[b];
    }
  }
}

void Kd63507Diag::make_image(uint8_t kind) {
  const int rows = config_.node_y, cols = config_.node_x, stride = cols + 2, keys = config_.keys;
  const bool raw = kind == kImageRaw;
  const uint8_t type = raw ? kU16 : kind == 4 ? kU32 : kS16;
  const int size = type & 0x7F;
  put_format(kRegImageFormat, rows, cols, stride, 0, keys, type);
  put_matrix(kImageBuffer, rows, cols, stride, size, raw || kind == 4 ? raw_value : intensity_value);
  // The key run starts where row `rows` would.
  put_matrix(static_cast<uint16_t>(kImageBuffer + rows * stride * size), 1, keys, keys, size,
             raw || kind == 4 ? key_raw_value : key_intensity_value);
  const bool region = kind == kImageFiltered || kind == kImageIntensity;
  regs_[kRegRegionCount] = region ? 1 : 0;
  std::copy(kRegion, kRegion + 4, &regs_[kRegRegions]);
}

void Kd63507Diag::run_test(uint8_t test) {
  ++tests_run_;
  const int rows = config_.node_y, cols = config_.node_x;
  if (test == 2) {  // cm test: 16-bit values and the keys
    put_format(kRegTestFormat, rows, cols, cols, 0, config_.keys, kU16);
    put_matrix(kTestBuffer, rows + 1, cols, cols, 2, cm_value);
  } else if (test == 3) {  // open/short map, one byte per node, rotated
    put_format(kRegTestFormat, rows, cols, cols, 1, 0, kU8);
    put_matrix(kTestBuffer, rows, cols, cols, 1, open_short_value);
  } else {  // no such test: an empty result
    put_format(kRegTestFormat, 0, 0, 0, 0, 0, 0);
  }
}

void Kd63507Diag::announce_log() {
  uint8_t header[6] = {};  // the end record: code 0, no rows
  if (log_record_ < config_.log_records) {
    const LogRecord& record = kLogRecords[log_record_ % std::size(kLogRecords)];
    const int rows = record.panel_sized ? config_.node_y : 1;
    const int cols = record.panel_sized ? config_.node_x : record.cols;
    header[0] = static_cast<uint8_t>(rows);
    header[1] = static_cast<uint8_t>(cols);
    header[2] = static_cast<uint8_t>(cols);
    header[3] = record.type;
    header[4] = record.code;
    put_matrix(kLogBuffer, rows, cols, cols, record.type & 0x7F, record.value);
  }
  std::copy(header, header + 6, &regs_[kRegLogHeader]);
}
