// The device-removal search on lists of hardware identifiers as SetupAPI
// stores them; the shutdown and the removal themselves are never called.
#include "bridge/cp2112/sys_helpers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// One device per entry: its hardware-identifier list, or nothing when the
// property cannot be read.
int find(const char* text, const std::vector<std::optional<std::string>>& devices) {
  std::string pattern;
  if (!sys_removal_pattern(text, &pattern)) return -2;
  return sys_find_device(pattern, [&devices](unsigned index, std::string* ids) {
    if (index >= devices.size()) return SysIdRead::kEnd;
    if (!devices[index]) return SysIdRead::kUnreadable;
    *ids = *devices[index];
    return SysIdRead::kRead;
  });
}

TEST(DeviceRemovalSearch, FirstIdentifierOnlyAnyCaseFirstMatchUnreadableSkipped) {
  const std::string longest(SYS_PATTERN_MAX, 'a');
  const std::string cp2112 = "USB\\VID_10C4&PID_EA90&REV_0000\0USB\\VID_10C4&PID_EA90\0\0"s;
  const struct {
    const char* text;
    std::vector<std::optional<std::string>> devices;
    int expected;  // index, -1 no match, -2 text refused
  } cases[] = {
      {"vid_10c4&pid_ea90", {"ROOT\\UMBUS\0\0"s, cp2112}, 1},
      {"usb\\VID_10c4", {cp2112}, 0},
      {"HID\\VID_1209", {"hid\\vid_1209&pid_7750\0\0"s}, 0},
      {"REV_0000", {"USB\\ROOT_HUB\0USB\\REV_0000\0\0"s}, -1},  // only in the second string
      {"VID_10C4", {std::nullopt, cp2112, cp2112}, 1},          // unreadable skipped, first match wins
      {"VID_10C4", {"USB\\VID_10C4"s}, 0},                      // a list without its NULs
      {"", {cp2112}, -2},
      {nullptr, {cp2112}, -2},
      {longest.c_str(), {std::string(SYS_PATTERN_MAX, 'A') + "\0\0"s}, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(find(c.text, c.devices), c.expected) << (c.text ? c.text : "(null)");
  const std::string too_long(SYS_PATTERN_MAX + 1, 'a');
  EXPECT_EQ(find(too_long.c_str(), {std::string(300, 'a')}), -2);  // refused, not cut to a shorter pattern
}

#ifndef _WIN32
TEST(SystemHelpers, SayTheyAreNotAvailableHere) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(MySystemShutdown(), 0);
  EXPECT_EQ(ZQ_RemoveDevice("USB\\VID_10C4"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Shutting the computer down is not available on this system.\n"
            "Removing a device is not available on this system.\n");
}
#endif

}  // namespace
