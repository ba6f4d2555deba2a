// Console layer: attribute arithmetic, how attributes reach a terminal (and
// that nothing but text reaches anything else), key polling on every kind of
// stdin, and the time slots.
#include "console/util_console.h"
#include "platform/terminal.h"

#include <gtest/gtest.h>

#include "support_portable.h"
#ifndef _WIN32
#include <poll.h>
#include <pty.h>
#endif

#include <cstring>
#include <regex>
#include <string>

namespace {

TEST(ConsoleColours, FontColourKeepsTheBackground) {
  console_set_color(15, 1);
  EXPECT_EQ(terminal_get_attribute(), 0x1F);
  console_set_font_color(14);
  EXPECT_EQ(terminal_get_attribute(), 0x1E);
  console_set_font_color(0x1234);  // only the low nibble is a foreground
  EXPECT_EQ(terminal_get_attribute(), 0x14);
  console_set_color(0x2F, 0x13);  // both taken modulo 16
  EXPECT_EQ(terminal_get_attribute(), 0x3F);
  console_cls2(15, 1);
  EXPECT_EQ(terminal_get_attribute(), 0x1F);
  console_set_color(COLOR_GREY, 0);  // the tests after this one start on black
}

#ifndef _WIN32  // ANSI colours on a terminal; a Windows console takes the attribute itself
TEST(ConsoleColours, AttributesMapToAnsiColours) {
  char sgr[32];
  const struct {
    uint16_t attribute;
    const char* expected;
  } cases[] = {
      {0x04, "\x1b[0;31;49m"},   // dark red: the red bit is ANSI red, not blue
      {0x09, "\x1b[0;94;49m"},   // bright blue
      {0x0E, "\x1b[0;93;49m"},   // yellow
      {0x1F, "\x1b[0;97;44m"},   // bright white on blue
      {0xF0, "\x1b[0;30;107m"},  // black on bright white
  };
  for (const auto& c : cases) {
    terminal_sgr_for_attribute(c.attribute, sgr);
    EXPECT_STREQ(sgr, c.expected) << std::hex << c.attribute;
  }
}

TEST(ConsoleColours, NoEscapeSequenceWhenStdoutIsNotATerminal) {
  testing::internal::CaptureStdout();
  console_set_font_color(COLOR_YELLOW);
  console_cls();
  console_print_menu(1);
  console_gotoXY(3, 4);
  std::fflush(stdout);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_NE(out.find("Pelmoranth FW Download Application"), std::string::npos);
  EXPECT_NE(out.find(" All Devices "), std::string::npos);
  EXPECT_NE(out.find(str_all), std::string::npos);
}

TEST(ConsoleColours, ColoursAreRenderedOnATerminal) {
  int master = -1;
  int slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(slave, STDOUT_FILENO);
  console_set_color(7, 0);
  console_set_font_color(COLOR_YELLOW);
  std::fputs("x\n", stdout);
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  char buffer[256] = {};
  pollfd fd{master, POLLIN, 0};
  ASSERT_GT(poll(&fd, 1, 2000), 0);
  const ssize_t n = read(master, buffer, sizeof buffer - 1);
  ASSERT_GT(n, 0);
  EXPECT_NE(std::string(buffer).find("\x1b[0;93;49mx"), std::string::npos) << buffer;
  close(slave);
  close(master);
}
#endif

TEST(ConsoleMenu, KeyMarksSitOnTheLettersTheyMark) {
  // Labels start at column 15; each mark overprints its own letter.
  for (const auto& [table, label] : {std::pair{sc_master, str_all}, std::pair{sc_3x4, str_sub},
                                     std::pair{sc_navi, str_sub}}) {
    for (int i = 0; i < 4; ++i) {
      const size_t offset = static_cast<size_t>(table[i].column - 15);
      ASSERT_LT(offset, std::strlen(label));
      EXPECT_EQ(label[offset], static_cast<char>(table[i].ch)) << table[i].column;
    }
  }
}

TEST(ConsolePrint, FieldIsPaddedWithBlanksAndNeverReadsPastTheText) {
  testing::internal::CaptureStdout();
  console_gotoXY(0, 0);
  console_print("ab", 5);
  console_print("xyz", 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ab   xy");
}

// stdin replaced for one test; restored afterwards. A key an earlier test
// left kept belongs to the old source and is dropped with it.
class StdinAs {
 public:
  explicit StdinAs(int fd) : saved_(dup(STDIN_FILENO)) {
    console_drop_keys();
    dup2(fd, STDIN_FILENO);
  }
  ~StdinAs() {
    console_drop_keys();
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

TEST(ConsoleKeys, EndOfInputCountsAsAWaitingKey) {
  const int null_fd = open(kNullDevice, O_RDONLY);
  StdinAs input(null_fd);
  EXPECT_NE(console_chk_input_history(), 0);
  EXPECT_NE(console_kbd_hit(), 0);
  EXPECT_EQ(console_read_key(), -1);
  EXPECT_NE(console_chk_input_history(), 0);  // and stays waiting
  close(null_fd);
}

TEST(ConsoleKeys, AWaitingKeyStaysUntilRead) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  StdinAs input(fds[0]);
  EXPECT_EQ(console_chk_input_history(), 0);
  ASSERT_EQ(write(fds[1], "\xE0K", 2), 2);
  EXPECT_NE(console_chk_input_history(), 0);
  EXPECT_NE(console_chk_input_history(), 0);
  uint8_t key = 0;
  console_get_char(&key);
  EXPECT_EQ(key, 0xE0);
  EXPECT_EQ(console_get_ch(), 'K');
  EXPECT_EQ(console_chk_input_history(), 0);
  close(fds[1]);
  EXPECT_NE(console_chk_input_history(), 0);  // writer gone: end of input
  close(fds[0]);
}

TEST(ConsoleTime, MillisecondStampDifferencesSurviveTheWrap) {
  // 4294967 s and 295 ms is the last stamp below 2^32; the next one wraps.
  const uint32_t before = tm_msec_stamp(4294967, 295000);
  const uint32_t after = tm_msec_stamp(4294967, 296999);
  EXPECT_LT(after, before);
  EXPECT_EQ(after - before, 1u);
  EXPECT_EQ(tm_msec_stamp(1080000000 + 5, 2999), tm_msec_stamp(5, 2999));
  EXPECT_EQ(tm_msec_stamp(0, 999), 0u);
}

// Each slot keeps its own start: a later reset of one leaves the others.
TEST(ConsoleTime, EachSlotMeasuresFromItsOwnReset) {
  console_time_init();
  console_time_reset_diff_msec(1);
  usleep(30000);
  console_time_reset_diff_msec(2);
  console_time_reset_diff_msec(5);  // no such slot: ignored
  EXPECT_GE(console_time_get_diff_msec(1), 30u);
  EXPECT_LT(console_time_get_diff_msec(2), console_time_get_diff_msec(1));
  EXPECT_EQ(console_time_get_diff_msec(5), 0u);
  console_time_close();
}

// Both texts against strftime of the same second: month before day.
TEST(ConsoleTime, TimestampTextsShowTheCurrentLocalTime) {
  char text[256], filename[256], want[64], want_filename[64];
  time_t before = 0, after = 1;
  while (before != after) {
    before = time(nullptr);
    tm_console_time_get_str_from_current_time(text);
    tm_cnosole_time_get_filename_from_current_time(filename);
    after = time(nullptr);
  }
  struct tm local {};
  localtime_r(&before, &local);
  strftime(want, sizeof want, "%m/%d %H:%M:%S", &local);
  strftime(want_filename, sizeof want_filename, "PVN7K_%Y%m%d_%H%M%S.log", &local);
  EXPECT_STREQ(text, want);
  EXPECT_STREQ(filename, want_filename);
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d\d/\d\d \d\d:\d\d:\d\d)"))) << text;
}

TEST(ConsoleTime, CurrentTimeRecordLivesFromInitToClose) {
  EXPECT_EQ(tm_currentTime, nullptr);
  tm_getCurrentTimeTM();  // works without init too
  ASSERT_NE(tm_currentTime, nullptr);
  console_init();
  tm_getCurrentTimeTM();
  ASSERT_NE(tm_currentTime, nullptr);
  EXPECT_GE(tm_currentTime->tm_year, 100);
  console_close();
  EXPECT_EQ(tm_currentTime, nullptr);
  console_close();  // a second close releases nothing
}

}  // namespace
