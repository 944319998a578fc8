#include "platform/linux/line_writer.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/linux/test_support.h"

namespace linux_test {
namespace {

using platform::linux_backend::LineWriter;
using platform::linux_backend::LinuxStandardOutput;

// A line that says who wrote it and is long enough (up to past a pipe's capacity)
// for the kernel to take it in several pieces.
std::string lineOf(int writer, int index) {
  const std::size_t length = 1 + static_cast<std::size_t>((writer * 7919 + index * 104729) % 100000);
  std::string line = std::to_string(writer) + ":" + std::to_string(index) + ":";
  line.append(length, static_cast<char>('a' + (writer + index) % 26));
  return line;
}

TEST(LineWriterTest, LinesFromSeveralThreadsNeverInterleave) {
  LineCollector collector;
  LineWriter writer(collector.fd());
  LinuxStandardOutput output(writer);
  constexpr int kThreads = 6;
  constexpr int kEach = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        // Both ways in: the writer itself and the platform's standard output.
        if (i % 2 == 0) {
          EXPECT_TRUE(writer.writeLine(lineOf(t, i)));
        } else {
          output.writeLine(lineOf(t, i));
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = collector.finish();

  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kEach));
  std::map<int, int> nextIndex;
  for (const auto& line : lines) {
    const auto first = line.find(':');
    const auto second = line.find(':', first + 1);
    ASSERT_NE(second, std::string::npos) << line.substr(0, 40);
    const int t = std::stoi(line.substr(0, first));
    const int i = std::stoi(line.substr(first + 1, second - first - 1));
    // Whole, and in each writer's own order.
    EXPECT_EQ(line, lineOf(t, i)) << "line of writer " << t << " index " << i << " was cut or mixed";
    EXPECT_EQ(i, nextIndex[t]++);
  }
}

}  // namespace
}  // namespace linux_test
