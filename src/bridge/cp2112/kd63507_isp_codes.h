// Access codes of the KD63507's ISP interface: the entry register with its
// three entry codes, the two unlock words of the key register, and the two
// values of the protection unlock.
//
// These values must match the controller's ISP documentation. The virtual
// controller (sim/kd63507_isp.cpp) takes its values from this same table, so
// a change here is a change to what the tool expects of real hardware: check
// it against the documentation, never against the tests.
#pragma once

#include <array>
#include <cstdint>

struct IspAccessCodes {
  uint16_t entry_register;                // written in normal mode, before ISP mode exists
  std::array<uint32_t, 3> entry_codes;    // to entry_register, in this order
  std::array<uint32_t, 2> unlock_words;   // to the key register 0x0004, in this order
  uint32_t protection_setup;              // to 0x00D0 in the protection unlock
  uint32_t protection_setting;            // to 0x0028 in the protection unlock
};

inline constexpr IspAccessCodes ISP_ACCESS_CODES = {
    0xF0A5,
    {0x4B443633, 0x35303749, 0x5350454E},
    {0x0000A55A, 0x00005AA5},
    0x000000C3,
    0xFFFF0000,
};
