// What both terminal backends share: whether colours are wanted at all.
#include "platform/terminal.h"

#include <cstdlib>
#include <cstring>

namespace {
bool g_no_colour = false;
}  // namespace

void terminal_no_colour(void) { g_no_colour = true; }

bool terminal_colour_wanted(void) {
  // NO_COLOR counts only with a value: an empty one is as good as none.
  const char* no_color = std::getenv("NO_COLOR");
  if (g_no_colour || (no_color != nullptr && no_color[0] != '\0')) return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}
