// A program's log sink: it takes every console line, standard output stays quiet, and a sink
// that falls behind costs counted lines, never a wait in the thread that logs.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "capture.h"
#include "log_sink.h"
#include "periodic_function.h"

namespace {

// An idle loop asked to stop prints one line and starts no thread: a cheap line maker.
void makeLines(size_t count) {
  PeriodicFunction idle(0.01f, "idle_loop", [] {}, -1);
  for (size_t i = 0; i < count; ++i) idle.stop();
}

const char* const kIdleLine = "[PeriodicFunction] Tried to stop idle_loop but it wasn't running!";

TEST(LogSink, TakesEveryLineAndRemovingItFlushesBackToStdout) {
  std::vector<std::string> lines;
  StdoutCapture capture;
  setLogSink([&lines](std::string_view line) { lines.emplace_back(line); });
  makeLines(3);
  setLogSink(nullptr);  // delivers what is queued before returning
  const std::string whileSinkSet = capture.finish();
  EXPECT_EQ(lines, std::vector<std::string>(3, kIdleLine));
  EXPECT_EQ(whileSinkSet, "");

  StdoutCapture after;
  makeLines(1);
  EXPECT_EQ(after.finish(), std::string(kIdleLine) + "\n");
  EXPECT_EQ(lines.size(), 3u);
}

TEST(LogSink, ASinkThatFallsBehindCostsCountedLines) {
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  size_t delivered = 0;
  setLogSink([&](std::string_view) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return released; });
    ++delivered;
  });
  const uint64_t droppedBefore = droppedLogLines();
  const size_t made = kLogQueueLines + 50;
  makeLines(made);  // returns although the sink is stuck on the first line
  const uint64_t dropped = droppedLogLines() - droppedBefore;
  {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
  }
  changed.notify_all();
  setLogSink(nullptr);
  EXPECT_GE(dropped, 49u);  // the queue holds kLogQueueLines; the sink may hold one more
  EXPECT_EQ(delivered + dropped, made);
}

}  // namespace
