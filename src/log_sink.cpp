// The console's one writer, and the queue that hands its lines to a program's sink.
#include "log_sink.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "log_line.h"

namespace {

// As long as LogLine's buffer: a longer line arrives in pieces, each queued on its own.
constexpr size_t kLineBytes = 1024;
// At exit a sink gets this long to take the lines still queued.
constexpr auto kExitFlushTime = std::chrono::seconds(1);

struct QueuedText {
  size_t length = 0;
  char text[kLineBytes];
};

/// A fixed ring of line slots between the threads that make lines and the drain thread that
/// calls the sink. Only copies happen under its lock, so a line never waits for the sink.
class LogQueue {
 public:
  /// Built in static storage and never destroyed: no allocation on the thread that logs first,
  /// and a drain thread still inside a sink when the process ends finds it alive.
  static LogQueue& instance() {
    alignas(LogQueue) static unsigned char storage[sizeof(LogQueue)];
    static LogQueue* queue = new (storage) LogQueue;
    return *queue;
  }

  /// False when no sink is installed: the caller writes to standard output itself.
  bool push(const char* text, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!forwarding_) return false;
    if (count_ == kLogQueueLines) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
    QueuedText& slot = slots_[(head_ + count_) % kLogQueueLines];
    slot.length = std::min(length, kLineBytes);
    std::memcpy(slot.text, text, slot.length);
    ++count_;
    wake_.notify_one();
    return true;
  }

  void setSink(LogSink sink) {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (sink) {
      _install(std::move(sink));
    } else {
      _remove(std::chrono::hours(24 * 365));
    }
  }

  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

  /// At process exit: hands the queued lines to the sink for a bounded time, then lets go.
  void finishAtExit() {
    std::lock_guard<std::mutex> control(control_mutex_);
    _remove(kExitFlushTime);
  }

 private:
  LogQueue() = default;

  void _install(LogSink sink) {
    LogSink previous;
    {
      std::lock_guard<std::mutex> lock(sink_mutex_);
      previous = std::exchange(sink_, std::move(sink));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    forwarding_ = true;
    if (drain_.joinable()) return;
    stopping_ = false;
    drained_ = false;
    drain_ = std::thread(&LogQueue::_drain, this);
    // Registered after the program's own static objects that a sink may use, so it runs
    // before they are destroyed.
    static const bool registered = std::atexit([] { LogQueue::instance().finishAtExit(); }) == 0;
    (void)registered;
  }

  /// Lines made from now on go to standard output; the queued ones still reach the old sink.
  void _remove(std::chrono::nanoseconds patience) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!drain_.joinable()) return;
      forwarding_ = false;
      stopping_ = true;
      wake_.notify_one();
      if (!drained_signal_.wait_for(lock, patience, [this] { return drained_; })) {
        // A sink that hangs (at exit: one waiting for a lock the exiting thread holds) is left
        // behind rather than waited for for ever.
        drain_.detach();
        return;
      }
    }
    drain_.join();
    LogSink previous;
    std::lock_guard<std::mutex> lock(sink_mutex_);
    previous.swap(sink_);
  }

  void _drain() {
    QueuedText line;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return count_ > 0 || stopping_; });
        if (count_ == 0) {
          drained_ = true;
          drained_signal_.notify_all();
          return;
        }
        const QueuedText& slot = slots_[head_];
        line.length = slot.length;
        std::memcpy(line.text, slot.text, slot.length);
        head_ = (head_ + 1) % kLogQueueLines;
        --count_;
      }
      _deliver(std::string_view(line.text, line.length));
    }
  }

  /// One sink call per line of the text, without its line end.
  void _deliver(std::string_view text) {
    std::lock_guard<std::mutex> lock(sink_mutex_);
    while (!text.empty()) {
      const size_t end = std::min(text.find('\n'), text.size());
      std::string_view line = text.substr(0, end);
      text.remove_prefix(std::min(end + 1, text.size()));
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      try {
        sink_(line);
      } catch (...) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }

  std::mutex control_mutex_;  // one install or removal at a time
  std::mutex mutex_;          // the ring and the flags below
  std::condition_variable wake_;
  std::condition_variable drained_signal_;
  QueuedText slots_[kLogQueueLines];
  size_t head_ = 0;
  size_t count_ = 0;
  bool forwarding_ = false;
  bool stopping_ = false;
  bool drained_ = false;
  std::atomic<uint64_t> dropped_{0};
  std::mutex sink_mutex_;  // held by the drain thread while it calls the sink
  LogSink sink_;
  std::thread drain_;
};

}  // namespace

void writeLogText(const char* text, size_t length) {
  LogQueue& queue = LogQueue::instance();
  size_t done = 0;
  while (done < length && queue.push(text + done, std::min(kLineBytes, length - done))) done += kLineBytes;
  if (done >= length) return;
  std::cout.write(text + done, static_cast<std::streamsize>(length - done));
  std::cout.flush();
}

void setLogSink(LogSink sink) { LogQueue::instance().setSink(std::move(sink)); }

uint64_t droppedLogLines() { return LogQueue::instance().dropped(); }
