// What both terminal backends share: whether colours are wanted at all.
#include "platform/terminal.h"

#include <cstdlib>
#include <cstring>

namespace {
bool g_no_colour = false;
}  // namespace

void terminal_no_colour(void) { g_no_colour = true; }

bool terminal_colour_wanted(void) {
  if (g_no_colour || std::getenv("NO_COLOR") != nullptr) return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}
