// Log output: console first, the file while it is open, and the trace hook.
#include "console/log.h"
#include "support_process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string read_text(const std::string& path) {
  const std::vector<uint8_t> bytes = read_file(path);
  std::string text(bytes.begin(), bytes.end());
  std::erase(text, '\r');  // a Windows log file ends its lines with CR LF
  return text;
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    saved_cwd_ = here;
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override {
    log_close();
    ASSERT_EQ(chdir(saved_cwd_.c_str()), 0);
  }
  TempDir dir_;
  std::string saved_cwd_;
};

TEST_F(LogFile, MessagesGoToTheConsoleAndToTheFileWhileItIsOpen) {
  testing::internal::CaptureStdout();
  log_printf(0, "before %d\n", 1);
  log_init();
  ASSERT_NE(stream, nullptr);
  log_printf(0, "FW Version : SAME\n");
  log_printf(0, "%s=%02X", "v", 0xA);
  log_close();
  EXPECT_EQ(stream, nullptr);
  log_printf(0, "after\n");
  log_close();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "before 1\nFW Version : SAME\nv=0Aafter\n");
  EXPECT_EQ(read_text(dir_.file("output.log")), "FW Version : SAME\nv=0A");
}

TEST_F(LogFile, InitEmptiesAnEarlierFile) {
  write_file(dir_.file("output.log"), {'o', 'l', 'd'});
  log_init();
  log_close();
  EXPECT_EQ(read_text(dir_.file("output.log")), "");
}

TEST_F(LogFile, UnwritableDirectoryLeavesConsoleOnly) {
  ASSERT_EQ(mkdir(dir_.file("output.log").c_str(), 0700), 0);  // a directory in the way
  log_init();
  EXPECT_EQ(stream, nullptr);
  testing::internal::CaptureStdout();
  log_printf(0, "still here\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "still here\n");
}

TEST(LogLevels, SwitchedOffAndUnknownLevelsPrintNothing) {
  testing::internal::CaptureStdout();
  log_disabled[0] = 1;
  log_printf(0, "hidden\n");
  log_disabled[0] = 0;
  log_printf(1, "no such level\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(LogFormat, FirstCallGivesNullThenTheEmptyText) {
  EXPECT_EQ(log_get_fmt(), nullptr);
  const char* second = log_get_fmt();
  ASSERT_NE(second, nullptr);
  EXPECT_STREQ(second, "");
  EXPECT_EQ(log_get_fmt(), emptyStr);
}

std::vector<std::string> g_trace;
void collect(const char* line) { g_trace.emplace_back(line); }

TEST(TraceHook, PrintsNothingAndReachesAnInstalledSink) {
  testing::internal::CaptureStdout();
  EMUL_DEBUG_PRINT(0, "silent %d\n", 1);
  emul_debug_set_sink(collect);
  EMUL_DEBUG_PRINT(0, "%s: len=%u\n", "usb_drv_write", 64u);
  emul_debug_set_sink(nullptr);
  EMUL_DEBUG_PRINT(0, "gone\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(g_trace, (std::vector<std::string>{"usb_drv_write: len=64\n"}));
}

}  // namespace
