#include "platform/file_open.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

// UTF-8 to UTF-16; false for text that is not valid UTF-8.
bool wide_from_utf8(const char* text, std::wstring* out) {
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (size <= 0) return false;
  out->assign(static_cast<size_t>(size), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out->data(), size) != size) return false;
  out->resize(static_cast<size_t>(size - 1));
  return true;
}

std::string utf8_from_wide(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<size_t>(size - 1));
  return out;
}

}  // namespace

char** platform_utf8_argv(int* argc, char** argv) {
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return argv;
  texts.clear();
  for (int i = 0; i < count; ++i) texts.push_back(utf8_from_wide(wide[i]));
  LocalFree(wide);
  pointers.clear();
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  *argc = count;
  return pointers.data();
}

FILE* platform_fopen(const char* path, const char* mode) {
  std::wstring wide_path;
  std::wstring wide_mode;
  if (!wide_from_utf8(path, &wide_path) || !wide_from_utf8(mode, &wide_mode)) return std::fopen(path, mode);
  return _wfopen(wide_path.c_str(), wide_mode.c_str());
}
