// Throughput of hex_file_to_mem next to srec_cat reading the same file in the
// same run. The file is generated: 8 MiB of data in 16-byte data records
// with CR LF line ends, an extended linear address record before every
// 64 KiB, and the end-of-file record. srec_cat runs as a subprocess that
// reads the file and writes the image to /dev/null; both are timed by wall
// clock. After the table, a summary gives MB/s (10^6 bytes per second) of
// HEX text and of data for both, and how many times faster the reader is.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "hex/hex_control.h"

namespace {

constexpr size_t kDataBytes = 8u << 20;
constexpr size_t kRecordBytes = 16;
constexpr size_t kSegmentBytes = 0x10000;

std::string g_path;
size_t g_text_bytes = 0;

void append_record(std::string& text, uint16_t address, uint8_t type, const uint8_t* data, size_t count) {
  char digits[3];
  unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFF) + type;
  std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(count));
  text += ':';
  text += digits;
  char head[7];
  std::snprintf(head, sizeof head, "%04X%02X", address, type);
  text += head;
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", data[i]);
    text += digits;
    sum += data[i];
  }
  std::snprintf(digits, sizeof digits, "%02X", static_cast<uint8_t>(-sum));
  text += digits;
  text += "\r\n";
}

std::string generate_text() {
  std::string text;
  text.reserve(kDataBytes / kRecordBytes * 45 + 4096);
  uint32_t state = 0x12345678;
  uint8_t data[kRecordBytes];
  for (size_t offset = 0; offset < kDataBytes; offset += kRecordBytes) {
    if (offset % kSegmentBytes == 0) {
      const uint8_t upper[2] = {static_cast<uint8_t>(offset >> 24), static_cast<uint8_t>(offset >> 16)};
      append_record(text, 0, 4, upper, 2);
    }
    for (uint8_t& byte : data) {
      state = state * 1664525u + 1013904223u;
      byte = static_cast<uint8_t>(state >> 24);
    }
    append_record(text, static_cast<uint16_t>(offset), 0, data, kRecordBytes);
  }
  append_record(text, 0, 1, nullptr, 0);
  return text;
}

void BM_hex_file_to_mem(benchmark::State& state) {
  for (auto _ : state) {
    INTEL_HEX_FILE* file = nullptr;
    if (hex_file_to_mem(&file, g_path.c_str()) != HEX_RET_OK) {
      state.SkipWithError("hex_file_to_mem refused the file");
      break;
    }
    benchmark::DoNotOptimize(file->pRecords);
    hex_file_release(file);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_text_bytes));
}
BENCHMARK(BM_hex_file_to_mem)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_srec_cat(benchmark::State& state) {
  if (std::system("command -v srec_cat >/dev/null 2>&1") != 0) {
    state.SkipWithError("srec_cat is not installed");
    return;
  }
  const std::string command = "srec_cat '" + g_path + "' -intel -o /dev/null -binary";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("srec_cat failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_text_bytes));
}
BENCHMARK(BM_srec_cat)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Keeps the wall-clock seconds per iteration of each benchmark.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
        seconds[run.run_name.function_name] = run.real_accumulated_time / static_cast<double>(run.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  const std::string text = generate_text();
  g_text_bytes = text.size();
  g_path = (std::filesystem::temp_directory_path() / ("bench_hex_" + std::to_string(getpid()) + ".hex")).string();
  std::ofstream(g_path, std::ios::binary) << text;

  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::filesystem::remove(g_path);

  std::printf("\nHEX file: %.1f MB of text, %.1f MB of data\n", g_text_bytes / 1e6, kDataBytes / 1e6);
  for (const auto& [name, seconds] : reporter.seconds) {
    std::printf("%-20s %8.1f ms  %8.1f MB/s of text  %8.1f MB/s of data\n", name.c_str(), seconds * 1e3,
                g_text_bytes / seconds / 1e6, kDataBytes / seconds / 1e6);
  }
  const auto ours = reporter.seconds.find("BM_hex_file_to_mem");
  const auto theirs = reporter.seconds.find("BM_srec_cat");
  if (ours != reporter.seconds.end() && theirs != reporter.seconds.end()) {
    const double ratio = theirs->second / ours->second;
    std::printf("hex_file_to_mem is %.1f times as fast as srec_cat (target: at least 10): %s\n", ratio,
                ratio >= 10.0 ? "met" : "NOT met");
  }
  benchmark::Shutdown();
  return 0;
}
