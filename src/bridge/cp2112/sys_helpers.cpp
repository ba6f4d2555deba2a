#include "bridge/cp2112/sys_helpers.h"

#include <cctype>
#include <cstring>

namespace {

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool sys_removal_pattern(const char* text, std::string* pattern) {
  if (text == nullptr) return false;
  const size_t length = strnlen(text, SYS_PATTERN_MAX + 1);
  if (length == 0 || length > SYS_PATTERN_MAX) return false;
  *pattern = lowered(std::string(text, length));
  return true;
}

int sys_find_device(const std::string& pattern, const SysIdReader& read_ids) {
  for (unsigned index = 0;; ++index) {
    std::string ids;
    const SysIdRead read = read_ids(index, &ids);
    if (read == SysIdRead::kEnd) return -1;
    if (read == SysIdRead::kUnreadable) continue;
    // Only the first string of the list: the most specific identifier.
    const std::string first = lowered(ids.substr(0, ids.find('\0')));
    if (first.find(pattern) != std::string::npos) return static_cast<int>(index);
  }
}
