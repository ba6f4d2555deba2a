// Windows only: UTF-8, the program's text everywhere, to and from the
// UTF-16 of the wide-character system calls (file_open_win32.cpp).
#pragma once

#include <string>

// UTF-8 to UTF-16; false for text that is not valid UTF-8.
bool win32_wide_from_utf8(const char* text, std::wstring* out);
// UTF-16 to UTF-8; empty for an empty or unconvertible text.
std::string win32_utf8_from_wide(const wchar_t* text);
