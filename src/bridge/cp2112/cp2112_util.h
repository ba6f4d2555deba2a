// CP2112 status texts: the library's status codes and the chip's transfer
// status bytes, handed to the trace hook (EMUL_DEBUG_PRINT) piece by piece:
// first a line naming the decoder, then the text(s), then "\n".
#pragma once

#include <cstdint>

void HidSmbus_DecodeErrorStatus(int32_t status);
void HidSmbus_DecodeTransferStatus(uint8_t status0);
void HidSmbus_DecodeTransferStatus2(uint8_t status0, uint8_t status1);
