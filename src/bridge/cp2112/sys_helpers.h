// Host helpers beside the CP2112 bridge: shutting the computer down, and
// removing a device from the system by a text in its hardware identifier.
// Nothing in the update calls them.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Windows: enables the shutdown privilege of the process and asks for a
// forced shutdown. 1 when the request was accepted, 0 otherwise; prints
// nothing. Other systems: prints that it is not available, returns 0.
int MySystemShutdown(void);

// Windows: removes from the system (all hardware profiles) the first device,
// present or not, whose first hardware identifier contains `text`, compared
// without regard to case. 1 when such a device was found and removed; 0 for
// a refused text (see sys_removal_pattern), no match, or a failed removal;
// prints nothing. Other systems: prints that it is not available, returns 0.
int ZQ_RemoveDevice(const char* text);

// True where the two operations above do their work (Windows); elsewhere
// they only say that they are not available.
bool sys_helpers_available(void);

// Longest removal text, in characters.
constexpr size_t SYS_PATTERN_MAX = 259;

// The lowered search pattern for a removal text. False for a null text, for
// the empty text (it would match the first device of the system) and for one
// longer than SYS_PATTERN_MAX (a cut pattern could match the wrong device).
bool sys_removal_pattern(const char* text, std::string* pattern);

enum class SysIdRead { kEnd, kUnreadable, kRead };
// Reads the hardware-identifier property of device `index` (a list of
// NUL-terminated strings, as stored) into `ids`; kEnd past the last device.
using SysIdReader = std::function<SysIdRead(unsigned index, std::string* ids)>;

// The index of the first device whose first hardware identifier contains
// `pattern` (already lowered), case-insensitively; devices whose property
// cannot be read are skipped. -1 when none matches.
int sys_find_device(const std::string& pattern, const SysIdReader& read_ids);
