#include "app/entry.h"
#include "kdtool/kdtool.h"
#include "kdtool/json.h"
#include "app/master.h"
#include "app/run_outcome.h"
#include "bridge/hidboard/usb_drv_qbm7750.h"
#include "console/safe_text.h"
#include "platform/hid.h"
#include "platform/hidsmbus.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>

namespace {

using Json = nlohmann::ordered_json;

constexpr uint16_t kInterfaceReg = 0x0150;
constexpr uint16_t kVersionReg = 0x0120;
constexpr uint16_t kSectionReg = 0x0130;
constexpr uint16_t kPanelReg = 0x0100;
constexpr uint16_t kEventFormatReg = 0x0200;
constexpr uint16_t kImageInfoReg = 0x0C00;
constexpr uint16_t kLogInfoReg = 0x1000;
constexpr uint16_t kLogCtrlReg = 0x1010;
constexpr const char* kSectionNames[] = {"boot", "core", "publ", "conf"};

struct Bridge {
  HidDeviceInfo info;
  const char* kind;
  std::string problem;  // empty when it can be used
};

const char* kind_name(uint16_t vendor_id, uint16_t product_id) {
  return vendor_id == HID_SMBUS_DEFAULT_VID && product_id == HID_SMBUS_DEFAULT_PID ? "cp2112" : "custom";
}

std::string hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

std::string version_text(uint16_t word) {
  char text[12];
  std::snprintf(text, sizeof text, "%02X.%02X", word >> 8, word & 0xFF);
  return text;
}

// A fixed-width name field up to its first NUL.
std::string name_field(const uint8_t* field, size_t width) {
  std::string name;
  for (size_t i = 0; i < width && field[i] != 0; ++i) name += static_cast<char>(field[i]);
  return name;
}

bool usable_report_lengths(const HidDeviceInfo& info) {
  return info.input_report_length >= QBM7750_MIN_REPORT_LENGTH && info.output_report_length >= QBM7750_MIN_REPORT_LENGTH;
}

// Every bridge the options allow, in the order the tool searches them; each
// is opened and closed again to learn whether it can be used (`open_each`).
std::vector<Bridge> find_bridges(const KdtoolOptions& options, bool open_each = true) {
  std::vector<std::pair<uint16_t, uint16_t>> pairs;
  if (options.bridge != BridgeChoice::kCp2112) {
    pairs.emplace_back(img_vid, img_pid);
    if (img_vid != QBM7750_FALLBACK_VID || img_pid != QBM7750_FALLBACK_PID) {
      pairs.emplace_back(QBM7750_FALLBACK_VID, QBM7750_FALLBACK_PID);
    }
  }
  if (options.bridge != BridgeChoice::kCustom) pairs.emplace_back(HID_SMBUS_DEFAULT_VID, HID_SMBUS_DEFAULT_PID);

  std::vector<Bridge> bridges;
  for (const auto& [vid, pid] : pairs) {
    for (HidDeviceInfo& info : hid_transport_enumerate(vid, pid)) {
      if (info.vendor_id != vid || info.product_id != pid) continue;
      Bridge bridge{std::move(info), kind_name(vid, pid), {}};
      std::string why;
      HidHandle* handle = open_each ? hid_transport_open(bridge.info.path, &why) : nullptr;
      if (open_each && handle == nullptr) {
        bridge.problem = "cannot be opened: " + why;
      } else {
        hid_transport_close(handle);
        if (std::string(bridge.kind) == "custom" && !usable_report_lengths(bridge.info)) {
          bridge.problem = "reports unknown or shorter than 64 bytes";
        }
      }
      bridges.push_back(std::move(bridge));
    }
  }
  return bridges;
}

Json bridge_json(const HidDeviceInfo& info, const char* kind) {
  return kdtool_json_bridge(kind, info.vendor_id, info.product_id, info.serial, info.path);
}

// Reads a block; false when the read failed or read the idle bus (all
// ones: no controller drove it), which then becomes the run's reason.
bool read_block(uint16_t reg, uint8_t* block, uint16_t length, const char* name) {
  if (i2c_read_from(reg, block, length) != 0 &&
      std::any_of(block, block + length, [](uint8_t b) { return b != 0xFF; })) {
    return true;
  }
  run_reason_set("cannot read the %s (register 0x%04X)", name, reg);
  return false;
}

}  // namespace

std::vector<KdtoolSeenBridge> kdtool_seen_bridges(const KdtoolOptions& options) {
  KdtoolOptions any = options;
  any.bridge = BridgeChoice::kAny;
  std::vector<KdtoolSeenBridge> seen;
  for (const Bridge& b : find_bridges(any)) seen.push_back({b.kind, b.info.serial, b.info.path, b.problem});
  return seen;
}

std::vector<KdtoolSeenBridge> kdtool_attached_bridges(const KdtoolOptions& options) {
  std::vector<KdtoolSeenBridge> seen;
  for (const Bridge& b : find_bridges(options, false)) {
    seen.push_back({b.kind, b.info.serial, b.info.path, b.problem, b.info.vendor_id, b.info.product_id});
  }
  return seen;
}

int kdtool_list(const KdtoolOptions& options) {
  const std::vector<Bridge> bridges = find_bridges(options);
  if (options.json) {
    Json list = Json::array();
    for (const Bridge& b : bridges) {
      list.push_back(Json{{"bridge", bridge_json(b.info, b.kind)},
                          {"usable", b.problem.empty()},
                          {"problem", b.problem.empty() ? Json() : Json(b.problem)}});
    }
    std::printf("%s\n", kdtool_json_text(Json{{"type", "list"},
                                               {"schema", KDTOOL_JSON_SCHEMA},
                                               {"virtual", options.virtual_hardware},
                                               {"bridges", list}})
                            .c_str());
    return EXIT_UPDATED;
  }
  if (bridges.empty()) std::puts("No bridge found.");
  for (const Bridge& b : bridges) {
    std::printf("%-6s  %04x:%04x  %s  %s  %s\n", b.kind, b.info.vendor_id, b.info.product_id,
                b.info.serial.empty() ? "-" : safe_text(b.info.serial).c_str(), safe_text(b.info.path).c_str(),
                b.problem.empty() ? "ok" : safe_text(b.problem).c_str());
  }
  return EXIT_UPDATED;
}

std::string kdtool_info_json(const KdtoolOptions& options) {
  const std::vector<HidDeviceInfo> opened = hid_transport_opened();
  const char* kind = emul_board == BOARD_CP2112 ? "cp2112" : "custom";
  char address[8];
  std::snprintf(address, sizeof address, "0x%02X", options.address);
  Json doc{{"type", "info"},
           {"schema", KDTOOL_JSON_SCHEMA},
           {"virtual", options.virtual_hardware},
           {"bridge", opened.empty() ? Json() : bridge_json(opened.front(), kind)},
           {"i2c_address", address}};

  // Each block: its value, or null when its read failed.
  uint8_t interface[10] = {};
  const bool have_interface = read_block(kInterfaceReg, interface, sizeof interface, "interface block");
  const std::string protocol = have_interface ? name_field(interface, 8) : "";
  doc["interface"] =
      have_interface ? Json{{"protocol", protocol}, {"version", version_text(le16(interface + 8))}} : Json();

  uint8_t versions[8] = {};
  doc["versions"] = Json();
  if (read_block(kVersionReg, versions, sizeof versions, "version block")) {
    for (int i = 0; i < 4; ++i) doc["versions"][kSectionNames[i]] = version_text(le16(versions + 2 * i));
  }
  uint8_t sections[8] = {};
  doc["sections_kib"] = Json();
  if (read_block(kSectionReg, sections, sizeof sections, "section block")) {
    for (int i = 0; i < 4; ++i) doc["sections_kib"][kSectionNames[i]] = {sections[2 * i], sections[2 * i + 1]};
  }

  // Panel and event format only on a device that speaks the full protocol;
  // the buffer blocks also on its boot loader.
  const bool full = have_interface && protocol == "TCIP";
  const bool buffers = full || (have_interface && protocol == "DFUP");
  uint8_t panel[23] = {};
  doc["panel"] = full && read_block(kPanelReg, panel, sizeof panel, "panel block")
                     ? Json{{"product", name_field(panel, 16)},
                            {"resolution", {le16(panel + 16), le16(panel + 18)}},
                            {"nodes", {panel[20], panel[21]}},
                            {"keys", panel[22]}}
                     : Json();
  uint8_t format[7] = {};
  doc["event_format"] = full && read_block(kEventFormatReg, format, sizeof format, "event format block")
                            ? Json{{"id", le16(format + 4)}, {"item_size", format[6]}}
                            : Json();
  for (const auto& [name, reg, block] : {std::tuple{"image_buffer", kImageInfoReg, "image buffer descriptor"},
                                         std::tuple{"log_buffer", kLogInfoReg, "log buffer descriptor"}}) {
    uint8_t info[4] = {};
    doc[name] = buffers && read_block(reg, info, sizeof info, block) ? Json("0x" + hex4(le16(info))) : Json();
  }
  uint8_t log_ctrl[5] = {};
  doc["log_control"] = Json();
  if (buffers && read_block(kLogCtrlReg, log_ctrl, sizeof log_ctrl, "log control block")) {
    char mask[16];
    std::snprintf(mask, sizeof mask, "0x%08X", static_cast<unsigned>(log_ctrl[0] | log_ctrl[1] << 8 | log_ctrl[2] << 16 |
                                                                       static_cast<uint32_t>(log_ctrl[3]) << 24));
    doc["log_control"] = Json{{"mask", mask}, {"enabled", log_ctrl[4]}};
  }
  return kdtool_json_text(doc) + "\n";
}
