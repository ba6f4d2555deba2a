// User paths: a UTF-8 file name opens as that name on every system (on
// Windows through the wide-character calls, whatever the ANSI code page).
#include "platform/file_open.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

TEST(FileOpen, AKoreanFileNameIsWrittenAndReadUnderItsOwnName) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "fw_file_open_test";
  std::filesystem::create_directories(dir);
  const std::filesystem::path file = dir / std::filesystem::path(u8"펌웨어.bin");
  const std::u8string name8 = file.u8string();
  const std::string name(name8.begin(), name8.end());

  FILE* out = platform_fopen(name.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fputs("fw", out);
  std::fclose(out);
  // The system sees the Korean name (not the UTF-8 bytes read as another code page).
  EXPECT_TRUE(std::filesystem::exists(file));
  FILE* in = platform_fopen(name.c_str(), "rb");
  ASSERT_NE(in, nullptr);
  char text[4] = {};
  EXPECT_EQ(std::fread(text, 1, sizeof text, in), 2u);
  std::fclose(in);
  EXPECT_STREQ(text, "fw");
  std::filesystem::remove_all(dir);
}

}  // namespace
