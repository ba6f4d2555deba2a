// One escaping function for every string this program did not write itself:
// what a USB device says about itself (serials, product and manufacturer
// strings), what the controller reports (protocol and product names), and
// file names a user typed, before any of it reaches the terminal, a log or a
// JSON document.
#pragma once

#include <string>
#include <string_view>

// The text with every byte that could move the cursor, fake a line or a
// terminal sequence, or is not part of valid UTF-8 written as \xNN (two
// lower-case hex digits): C0 controls, DEL, C1 controls (U+0080..U+009F),
// and bytes of invalid, overlong or surrogate sequences. Valid printable
// UTF-8 (Korean, accents) is kept as it is, and so is a backslash: escaping
// twice changes nothing, so a string escaped once may pass through another
// writer that escapes again.
std::string safe_text(std::string_view text);

// True when safe_text would return the text unchanged.
bool is_safe_text(std::string_view text);
