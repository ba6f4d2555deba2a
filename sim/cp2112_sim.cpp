#include "cp2112_sim.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

constexpr uint8_t kReset = 0x01;
constexpr uint8_t kGpioConfig = 0x02;
constexpr uint8_t kGetGpio = 0x03;
constexpr uint8_t kSetGpio = 0x04;
constexpr uint8_t kVersion = 0x05;
constexpr uint8_t kSmbusConfig = 0x06;
constexpr uint8_t kLockByte = 0x20;
constexpr uint8_t kUsbConfig = 0x21;
constexpr uint8_t kManufacturerString = 0x22;
constexpr uint8_t kProductString = 0x23;
constexpr uint8_t kSerialString = 0x24;
constexpr uint8_t kReadRequest = 0x10;
constexpr uint8_t kWriteReadRequest = 0x11;
constexpr uint8_t kForceSend = 0x12;
constexpr uint8_t kReadResponse = 0x13;
constexpr uint8_t kDataWrite = 0x14;
constexpr uint8_t kStatusRequest = 0x15;
constexpr uint8_t kStatusResponse = 0x16;
constexpr uint8_t kCancel = 0x17;

constexpr uint8_t kIdle = 0x00;
constexpr uint8_t kBusy = 0x01;
constexpr uint8_t kComplete = 0x02;
constexpr uint8_t kError = 0x03;
constexpr uint8_t kAddressNacked = 0x00;  // status 1 after an error
constexpr uint8_t kReadInProgress = 0x02;  // status 1 while busy
constexpr uint8_t kWriteInProgress = 0x03;
constexpr uint8_t kCommandByte = 0x01;     // byte 1 of Reset, Transfer Status Request, Cancel

constexpr size_t kMaxRead = 512;
constexpr size_t kMaxWrite = 61;
constexpr size_t kMaxPiece = 61;
constexpr size_t kMaxTargetAddress = 16;
constexpr size_t kMaxStringChars = 30;
constexpr uint32_t kMaxBitRate = 400000;
constexpr size_t kMaxTimeout = 1000;
constexpr size_t kMaxRetries = 1000;

constexpr char kManufacturer[] = "Silicon Laboratories";
constexpr char kProduct[] = "CP2112 HID USB-to-SMBus Bridge";
constexpr uint16_t kRelease = 0x0100;

size_t read_be16(const uint8_t* at) { return static_cast<size_t>(at[0]) << 8 | at[1]; }

bool valid_slave(uint8_t slave) { return slave != 0 && (slave & 1) == 0; }

// A 16-bit field of 256, 512, ...: 1, 2, ... sent low byte first.
bool swapped(size_t value) { return value != 0 && (value & 0xFF) == 0; }

bool valid_count(size_t count, size_t limit) { return count != 0 && count <= limit && !swapped(count); }

// String descriptor form of the customisation reports: length, type 3, then
// UTF-16LE (the strings here are ASCII).
int string_report(uint8_t* buffer, const std::string& text) {
  const size_t chars = std::min(text.size(), kMaxStringChars);
  buffer[1] = static_cast<uint8_t>(chars * 2 + 2);
  buffer[2] = 0x03;
  for (size_t i = 0; i < chars; ++i) {
    buffer[3 + 2 * i] = static_cast<uint8_t>(text[i]);
    buffer[4 + 2 * i] = 0;
  }
  return static_cast<int>(VirtualCp2112::kReportSize);
}

}  // namespace

VirtualCp2112::VirtualCp2112(I2cTarget* target, std::string serial) : target_(target) {
  info.vendor_id = kVendorId;
  info.product_id = kProductId;
  info.release_number = kRelease;
  info.serial = std::move(serial);
  info.manufacturer = kManufacturer;
  info.product = kProduct;
  info.input_report_length = kReportSize;
  info.output_report_length = kReportSize;
  info.feature_report_length = kReportSize;
}

void VirtualCp2112::chip_enable_changed(uint8_t levels_before) {
  if ((levels_before & kCePin) != 0 && (pin_levels() & kCePin) == 0 &&
      target_ != nullptr) {
    target_->powered_off();
  }
}

uint8_t VirtualCp2112::pin_levels() const {
  // An open-drain output (drive bit clear) latched high lets the outside
  // pull the pin low, so the board reads INTR whichever way it set it up.
  auto levels = [&](uint8_t outside) {
    const uint8_t driven = static_cast<uint8_t>(latch & direction & (drive | outside));
    return static_cast<uint8_t>(driven | (outside & ~direction));
  };
  const uint8_t idle = levels(input_levels);
  // The target drives its interrupt line only while chip enable is high.
  if ((idle & kCePin) == 0 || target_ == nullptr || !target_->interrupt_asserted()) return idle;
  return levels(static_cast<uint8_t>(input_levels & ~kIntrPin));
}

void VirtualCp2112::drop_responses(long skip, long count) {
  drop_skip_ = skip;
  drop_count_ = count;
}

void VirtualCp2112::count_report() {
  ++reports_;
  if (unplug_after_ > 0 && --unplug_after_ == 0) unplugged = true;
}

void VirtualCp2112::take_out_frame() {
  if (!timing.enabled) return;
  arrived_ = timing.book_out(timing.now());
  timing.wait_until(arrived_, timing.counters.out_wait);
}

void VirtualCp2112::take_control_frame() {
  if (!timing.enabled) return;
  arrived_ = timing.book_control(timing.now());
  timing.wait_until(arrived_, timing.counters.control_wait);
}

void VirtualCp2112::book_transfer(size_t bytes) {
  if (!timing.enabled || target_ == nullptr) return;
  timing.bit_rate = smbus.bit_rate;
  bus_end_ = timing.book_bus(arrived_, bytes);
  target_->at_time(timing.at(bus_end_));
}

void VirtualCp2112::push_input(const std::array<uint8_t, kReportSize>& report) {
  if (drop_skip_ > 0) {
    --drop_skip_;
  } else if (drop_count_ != 0) {
    if (drop_count_ > 0) --drop_count_;
    return;
  }
  // A response leaves once what it reports is done: a read's data after its
  // transfer, anything else after the request that asked for it.
  const Clock::time_point made =
      timing.enabled ? timing.at(timing.book_in(report[0] == kReadResponse ? std::max(bus_end_, arrived_) : arrived_))
                     : Clock::now();
  pending_.push_back({made + std::chrono::milliseconds(delay_ms_), report});
}

void VirtualCp2112::push_read_response(uint8_t status, const uint8_t* data, size_t count) {
  std::array<uint8_t, kReportSize> report{};
  report[0] = kReadResponse;
  report[1] = status;
  report[2] = static_cast<uint8_t>(count);
  if (count != 0) std::memcpy(&report[3], data, count);
  response_sizes_.push_back(count);
  push_input(report);
}

void VirtualCp2112::push_transfer_status(uint8_t status0, uint8_t status1, uint16_t retries, uint16_t bytes_read) {
  std::array<uint8_t, kReportSize> report{};
  report[0] = kStatusResponse;
  report[1] = status0;
  report[2] = status1;
  report[3] = static_cast<uint8_t>(retries >> 8);
  report[4] = static_cast<uint8_t>(retries);
  report[5] = static_cast<uint8_t>(bytes_read >> 8);
  report[6] = static_cast<uint8_t>(bytes_read);
  push_input(report);
}

void VirtualCp2112::finish(uint8_t status0, uint8_t status1, uint16_t bytes_read) {
  status0_ = status0;
  status1_ = status1;
  retries_ = status0 == kError ? smbus.retry_limit : 0;
  bytes_read_ = bytes_read;
}

void VirtualCp2112::start_busy(bool read) {
  last_read_ = read;
  busy_left_ = busy_status;
  busy_until_ = bus_end_;
}

void VirtualCp2112::carry_write(uint8_t slave, const uint8_t* data, size_t count) {
  const uint8_t address7 = static_cast<uint8_t>(slave >> 1);
  book_transfer(count);
  start_busy(false);
  const bool acked = target_ != nullptr && target_->i2c_write(address7, data, count);
  transfers_.push_back({false, address7, acked, std::vector<uint8_t>(data, data + count)});
  if (acked) {
    finish(kComplete, 0, 0);
  } else {
    finish(kError, kAddressNacked, 0);
  }
}

void VirtualCp2112::carry_read(uint8_t slave, size_t count, const uint8_t* target_address, size_t target_length) {
  const uint8_t address7 = static_cast<uint8_t>(slave >> 1);
  read_buffer_.clear();
  read_done_ = false;
  bool acked = true;
  if (target_length != 0) {
    carry_write(slave, target_address, target_length);
    acked = transfers_.back().acked;
  }
  std::vector<uint8_t> data(count, 0);
  if (acked) book_transfer(count);
  start_busy(true);
  if (acked) acked = target_ != nullptr && target_->i2c_read(address7, data.data(), count);
  if (target_length == 0 || transfers_.back().acked) {
    transfers_.push_back({true, address7, acked, acked ? data : std::vector<uint8_t>{}});
  }
  if (!acked) {
    finish(kError, kAddressNacked, 0);
    if (smbus.auto_send_read) push_read_response(kError, nullptr, 0);
    return;
  }
  finish(kComplete, 0, static_cast<uint16_t>(count));
  if (!smbus.auto_send_read) {
    read_buffer_.assign(data.begin(), data.end());
    read_done_ = true;
    return;
  }
  for (size_t at = 0; at < count; at += kMaxPiece) {
    const size_t piece = std::min(kMaxPiece, count - at);
    push_read_response(at + piece == count ? kComplete : kBusy, data.data() + at, piece);
  }
}

void VirtualCp2112::force_send(size_t wanted) {
  if (smbus.auto_send_read || read_buffer_.empty()) return;  // nothing to send: no answer
  const size_t n = std::min({wanted, kMaxPiece, read_buffer_.size()});
  uint8_t piece[kMaxPiece];
  std::copy_n(read_buffer_.begin(), n, piece);
  read_buffer_.erase(read_buffer_.begin(), read_buffer_.begin() + static_cast<long>(n));
  push_read_response(read_buffer_.empty() && read_done_ ? kComplete : kBusy, piece, n);
}

int VirtualCp2112::output_report(const uint8_t* data, size_t length) {
  count_report();
  take_out_frame();
  if (data == nullptr || length == 0) return -1;
  const int written = static_cast<int>(length);
  if (length < 2) {
    ++violations_;
    return written;
  }
  switch (data[0]) {
    case kReadRequest: {
      if (length < 4 || !valid_slave(data[1]) || !valid_count(read_be16(data + 2), kMaxRead)) break;
      carry_read(data[1], read_be16(data + 2), nullptr, 0);
      return written;
    }
    case kWriteReadRequest: {
      if (length < 5 || !valid_slave(data[1]) || !valid_count(read_be16(data + 2), kMaxRead)) break;
      const size_t target_length = data[4];
      if (target_length == 0 || target_length > kMaxTargetAddress || length < 5 + target_length) break;
      carry_read(data[1], read_be16(data + 2), data + 5, target_length);
      return written;
    }
    case kForceSend: {
      if (length < 3 || !valid_count(read_be16(data + 1), kMaxRead)) break;
      force_send(read_be16(data + 1));
      return written;
    }
    case kDataWrite: {
      if (length < 3 || !valid_slave(data[1])) break;
      const size_t count = data[2];
      if (count == 0 || count > kMaxWrite || length < 3 + count) break;
      carry_write(data[1], data + 3, count);
      return written;
    }
    case kStatusRequest:
      if (data[1] != kCommandByte) break;
      if ((timing.enabled && arrived_ < busy_until_) || busy_left_ != 0) {
        if (!(timing.enabled && arrived_ < busy_until_) && busy_left_ > 0) --busy_left_;
        ++busy_answers_;
        push_transfer_status(kBusy, last_read_ ? kReadInProgress : kWriteInProgress, 0, 0);
        return written;
      }
      push_transfer_status(status0_, status1_, retries_, bytes_read_);
      // A completion is reported once; afterwards the chip is idle.
      if (status0_ == kComplete || status0_ == kError) status0_ = kIdle;
      return written;
    case kCancel:
      if (data[1] != kCommandByte) break;
      ++cancels_;
      // Data not yet sent is dropped; reports already on their way to the
      // host still arrive. A transfer still on the bus is abandoned.
      read_buffer_.clear();
      busy_left_ = 0;
      busy_until_ = BusTiming::Time{0};
      finish(kIdle, 0, 0);
      return written;
    default:
      return written;  // the chip ignores reports it does not know
  }
  ++violations_;
  return written;
}

int VirtualCp2112::input_report(uint8_t* buffer, size_t length, int timeout_ms) {
  const auto wait = std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
  if (pending_.empty()) {
    if (timeout_ms != 0) ++expired_waits_;
    std::this_thread::sleep_for(wait);
    return 0;
  }
  const Clock::time_point ready = pending_.front().ready;
  if (ready > Clock::now()) {
    if (timeout_ms >= 0 && ready - Clock::now() > wait) {
      if (timeout_ms != 0) ++expired_waits_;
      std::this_thread::sleep_for(wait);
      return 0;
    }
    if (timing.enabled) timing.counters.in_wait += ready - Clock::now();
    std::this_thread::sleep_until(ready);
  }
  const size_t n = std::min(length, kReportSize);
  std::memcpy(buffer, pending_.front().bytes.data(), n);
  pending_.pop_front();
  return static_cast<int>(n);
}

int VirtualCp2112::set_feature(const uint8_t* data, size_t length) {
  count_report();
  take_control_frame();
  if (data == nullptr || length == 0) return -1;
  // A report shorter than its layout is stalled.
  const auto refused = [this] {
    ++violations_;
    return -1;
  };
  if (length < 2) return refused();
  const uint8_t levels_before = pin_levels();
  switch (data[0]) {
    case kReset:
      if (data[1] != kCommandByte) return refused();
      smbus = SmbusConfig{};
      direction = drive = alt_function = clock_divider = latch = 0;
      read_buffer_.clear();
      pending_.clear();
      busy_left_ = 0;
      busy_until_ = BusTiming::Time{0};
      finish(kIdle, 0, 0);
      return static_cast<int>(length);
    case kGpioConfig:
      if (length < 5) return refused();
      direction = data[1];
      drive = data[2];
      alt_function = data[3];
      clock_divider = data[4];
      chip_enable_changed(levels_before);
      return static_cast<int>(length);
    case kSetGpio: {
      if (length < 3) return refused();
      latch_writes_.emplace_back(data[1], data[2]);
      const uint8_t changed = static_cast<uint8_t>(data[2] & direction);  // inputs keep their level
      latch = static_cast<uint8_t>((latch & ~changed) | (data[1] & changed));
      chip_enable_changed(levels_before);
      return static_cast<int>(length);
    }
    case kSmbusConfig: {
      if (length < 14) return refused();
      const uint32_t bit_rate = static_cast<uint32_t>(data[1]) << 24 | static_cast<uint32_t>(data[2]) << 16 |
                                static_cast<uint32_t>(data[3]) << 8 | data[4];
      const size_t fields[] = {read_be16(data + 7), read_be16(data + 9), read_be16(data + 12)};
      const size_t limits[] = {kMaxTimeout, kMaxTimeout, kMaxRetries};
      bool valid = bit_rate != 0 && bit_rate <= kMaxBitRate && valid_slave(data[5]) && data[6] <= 1 && data[11] <= 1;
      for (size_t i = 0; i < std::size(fields); ++i) valid = valid && fields[i] <= limits[i] && !swapped(fields[i]);
      // The chip keeps the configuration it had; the control transfer itself
      // went through.
      if (!valid) {
        ++violations_;
        return static_cast<int>(length);
      }
      smbus.bit_rate = bit_rate;
      smbus.address = data[5];
      smbus.auto_send_read = data[6] != 0;
      smbus.write_timeout = static_cast<uint16_t>(fields[0]);
      smbus.read_timeout = static_cast<uint16_t>(fields[1]);
      smbus.scl_low_timeout = data[11] != 0;
      smbus.retry_limit = static_cast<uint16_t>(fields[2]);
      smbus_history_.push_back(smbus);
      if (smbus_log != nullptr) {
        std::fprintf(smbus_log, "rate %u address %02X auto %d timeouts %u/%u scl %d retries %u\n", smbus.bit_rate,
                     smbus.address, smbus.auto_send_read ? 1 : 0, smbus.write_timeout, smbus.read_timeout,
                     smbus.scl_low_timeout ? 1 : 0, smbus.retry_limit);
        std::fflush(smbus_log);
      }
      if (stray_reports_on_config) {
        push_transfer_status(kIdle, 0, 0, 0);
        push_read_response(kIdle, nullptr, 0);
      }
      return static_cast<int>(length);
    }
    default:
      return -1;
  }
}

int VirtualCp2112::get_feature(uint8_t* buffer, size_t length) {
  count_report();
  take_control_frame();
  const int n = feature_answer(buffer, length);
  return feature_answer_length >= 0 && n > feature_answer_length ? feature_answer_length : n;
}

int VirtualCp2112::feature_answer(uint8_t* buffer, size_t length) {
  if (buffer == nullptr || length < 2) return -1;
  const uint8_t id = buffer[0];
  auto answer = [&](size_t size) -> bool {
    if (length < size) return false;
    std::memset(buffer + 1, 0, size - 1);
    return true;
  };
  switch (id) {
    case kGpioConfig:
      if (!answer(5)) return -1;
      buffer[1] = direction;
      buffer[2] = drive;
      buffer[3] = alt_function;
      buffer[4] = clock_divider;
      return 5;
    case kGetGpio:
      if (!answer(2)) return -1;
      buffer[1] = pin_levels();
      return 2;
    case kVersion:
      if (!answer(3)) return -1;
      buffer[1] = part_number;
      buffer[2] = device_version;
      return 3;
    case kSmbusConfig:
      if (!answer(14)) return -1;
      buffer[1] = static_cast<uint8_t>(smbus.bit_rate >> 24);
      buffer[2] = static_cast<uint8_t>(smbus.bit_rate >> 16);
      buffer[3] = static_cast<uint8_t>(smbus.bit_rate >> 8);
      buffer[4] = static_cast<uint8_t>(smbus.bit_rate);
      buffer[5] = smbus.address;
      buffer[6] = smbus.auto_send_read ? 1 : 0;
      buffer[7] = static_cast<uint8_t>(smbus.write_timeout >> 8);
      buffer[8] = static_cast<uint8_t>(smbus.write_timeout);
      buffer[9] = static_cast<uint8_t>(smbus.read_timeout >> 8);
      buffer[10] = static_cast<uint8_t>(smbus.read_timeout);
      buffer[11] = smbus.scl_low_timeout ? 1 : 0;
      buffer[12] = static_cast<uint8_t>(smbus.retry_limit >> 8);
      buffer[13] = static_cast<uint8_t>(smbus.retry_limit);
      return 14;
    case kLockByte:
      if (!answer(2)) return -1;
      buffer[1] = 0xFF;  // every field still writable
      return 2;
    case kUsbConfig:
      if (!answer(10)) return -1;
      buffer[1] = static_cast<uint8_t>(info.vendor_id);
      buffer[2] = static_cast<uint8_t>(info.vendor_id >> 8);
      buffer[3] = static_cast<uint8_t>(info.product_id);
      buffer[4] = static_cast<uint8_t>(info.product_id >> 8);
      buffer[5] = 50;  // 100 mA in 2 mA units
      buffer[6] = 0;   // bus powered
      buffer[7] = static_cast<uint8_t>(info.release_number >> 8);
      buffer[8] = static_cast<uint8_t>(info.release_number);
      return 10;
    case kManufacturerString:
    case kProductString:
    case kSerialString:
      if (!answer(kReportSize)) return -1;
      return string_report(buffer, id == kManufacturerString ? info.manufacturer
                                   : id == kProductString    ? info.product
                                                             : info.serial);
    default:
      return -1;
  }
}

void VirtualCp2112::opened() {
  if (leftover_at_open_ms < 0) return;
  std::array<uint8_t, kReportSize> report{};
  report[0] = kReadResponse;
  report[1] = kComplete;
  report[2] = 4;
  std::fill_n(&report[3], 4, 0xEE);
  pending_.push_back({Clock::now() + std::chrono::milliseconds(leftover_at_open_ms), report});
}

void VirtualCp2112::unplug_after(long reports) {
  unplug_after_ = reports;
  if (reports == 0) unplugged = true;
}
