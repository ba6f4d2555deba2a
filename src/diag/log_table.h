// Texts of the controller's log codes, one per 8-bit code.
//
// Codes 0 to 181 have a text (code 0 the empty text, which with no rows marks
// the end of the log); codes 182 to 255 have none (null). The Korean texts
// are stored as UTF-8 so that they read correctly on today's terminals; the
// controller's own tools kept them in code page 949.
#pragma once

constexpr int LOG_CODE_COUNT = 256;
constexpr int LOG_CODE_LAST_WITH_TEXT = 181;

extern const char* const mLogCodeToString[LOG_CODE_COUNT];
