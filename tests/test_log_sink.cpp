// A program's log sink: it takes every console line, standard output stays quiet, and a sink
// that falls behind costs counted lines (the oldest), never a wait in the thread that logs, and
// one that blocks holds up neither its removal nor the exit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "log_sink.h"
#include "periodic_function.h"
#include "temp_file.h"

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

std::string idleLineOf(size_t n) {
  return "[PeriodicFunction] Tried to stop idle_" + std::to_string(n) + " but it wasn't running!";
}

// Line n of a numbered series.
void makeLine(size_t n) { PeriodicFunction(0.01f, "idle_" + std::to_string(n), [] {}, -1).stop(); }

/// A sink that takes each line only when let go, and tells when it is first entered. The state
/// is shared with the sink, which may outlive the test on a drain thread left behind.
struct HeldSink {
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
    std::vector<std::string> lines;
  };
  std::shared_ptr<State> state = std::make_shared<State>();

  LogSink sink() const {
    return [state = state](std::string_view line) {
      std::unique_lock<std::mutex> lock(state->mutex);
      state->entered = true;
      state->changed.notify_all();
      state->changed.wait(lock, [&] { return state->released; });
      state->lines.emplace_back(line);
    };
  }
  void awaitEntered() const {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->changed.wait(lock, [&] { return state->entered; });
  }
  void release() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->released = true;
    state->changed.notify_all();
  }
};

TEST(LogSink, ASinkThatFallsBehindLosesTheOldestLinesAndHearsHowMany) {
  HeldSink held;
  setLogSink(held.sink());
  const uint64_t droppedBefore = droppedLogLines();
  makeLine(0);
  held.awaitEntered();  // the sink holds line 0; the queue fills behind it
  const size_t made = kLogQueueLines + 50;
  for (size_t n = 1; n < made; ++n) makeLine(n);  // returns although the sink is stuck
  const uint64_t dropped = droppedLogLines() - droppedBefore;
  held.release();
  setLogSink(nullptr);
  EXPECT_EQ(dropped, 49u);
  const std::vector<std::string>& lines = held.state->lines;
  ASSERT_EQ(lines.size(), 1 + kLogQueueLines + 1);
  EXPECT_EQ(lines[1], idleLineOf(made - kLogQueueLines));  // the oldest made way
  EXPECT_EQ(lines[kLogQueueLines], idleLineOf(made - 1));   // the newest were kept
  EXPECT_EQ(lines.back(), "49 log lines dropped");
}

TEST(LogSink, BeforeAnExitWhatABlockedSinkCannotTakeGoesToStdout) {
  HeldSink held;
  setLogSink(held.sink());
  makeLine(0);
  held.awaitEntered();  // and never let go before the flush
  makeLine(1);
  makeLine(2);
  StdoutCapture capture;
  flushLogBeforeExit();  // gives up on the sink after kLogFlushPatience
  makeLine(3);           // from now on straight to standard output
  const std::string out = capture.finish();
  held.release();
  EXPECT_EQ(out, idleLineOf(1) + "\n" + idleLineOf(2) + "\n" + idleLineOf(3) + "\n");
  setLogSink(nullptr);  // nothing is left to remove
}

// A child of fork() abandons the parent's sink on purpose (its destructor may belong to the
// parent's world, a Python handler say); the leak checker is told so for this program.
extern "C" const char* __lsan_default_suppressions() { return "leak:log_sink.cpp\n"; }

TEST(LogSink, AChildOfForkLogsItsOwnLinesToStdoutAndEndsNormally) {
  HeldSink held;
  setLogSink(held.sink());
  makeLine(0);
  held.awaitEntered();
  makeLine(9);  // queued in the parent: the parent's to deliver, not the child's
  const TempFile childOut("", ".out");
  const pid_t child = fork();
  if (child == 0) {
    dup2(open(childOut.path().c_str(), O_WRONLY), STDOUT_FILENO);
    // The drain thread was not copied: neither this nor the exit may wait for it.
    makeLine(1);
    setLogSink(nullptr);
    makeLine(2);
    std::exit(0);
  }
  ASSERT_GT(child, 0);
  int status = -1;
  pid_t ended = 0;
  for (int tries = 0; tries < 2000 && ended == 0; ++tries) {
    ended = waitpid(child, &status, WNOHANG);
    if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (ended == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  held.release();
  setLogSink(nullptr);
  ASSERT_EQ(ended, child) << "the child never ended";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  std::ifstream written(childOut.path());
  const std::string out((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
  EXPECT_EQ(out, idleLineOf(1) + "\n" + idleLineOf(2) + "\n");
  EXPECT_EQ(held.state->lines, (std::vector<std::string>{idleLineOf(0), idleLineOf(9)}));
}

}  // namespace
