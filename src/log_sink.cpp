// The console's one writer, and the queue that hands its lines to a program's sink.
#include "log_sink.h"

#include <cxxabi.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "log_line.h"

namespace {

// As long as LogLine's buffer: a longer line arrives in pieces, each queued on its own.
constexpr size_t kLineBytes = 1024;

struct QueuedText {
  size_t length = 0;
  char text[kLineBytes];
};

void writeStdout(const char* text, size_t length) {
  std::cout.write(text, static_cast<std::streamsize>(length));
  std::cout.flush();
}

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
    if (count_ == kLogQueueLines) {  // the oldest line makes room for the newest
      head_ = (head_ + 1) % kLogQueueLines;
      --count_;
      ++overflowed_;
      dropped_.fetch_add(1, std::memory_order_relaxed);
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
      _remove();
    }
  }

  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

  void flushBeforeExit() {
    std::lock_guard<std::mutex> control(control_mutex_);
    _remove();
  }

 private:
  LogQueue() {
    // A child of fork() has no drain thread: its lines go to standard output.
    pthread_atfork([] { instance()._beforeFork(); }, [] { instance()._afterForkInParent(); },
                   [] { instance()._afterForkInChild(); });
  }

  void _install(LogSink sink) {
    auto shared = std::make_shared<const LogSink>(std::move(sink));
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = std::move(shared);
    forwarding_ = true;
    if (draining_) return;
    stopping_ = false;
    drained_ = false;
    const uint64_t generation = ++generation_;
    try {
      drain_ = std::thread(&LogQueue::_drain, this, generation);
      (void)pthread_setname_np(drain_.native_handle(), "log_sink");  // as `ps -L` and top -H show it
    } catch (...) {
      forwarding_ = false;
      sink_.reset();
      throw;
    }
    draining_ = true;
    // Registered after the program's own static objects that a sink may use, so it runs
    // before they are destroyed.
    static const bool registered = std::atexit([] { LogQueue::instance().flushBeforeExit(); }) == 0;
    (void)registered;
  }

  /// Lines made from now on go to standard output; the queued ones still reach the old sink
  /// if it takes them in time, and standard output otherwise.
  void _remove() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!draining_) return;
    forwarding_ = false;
    stopping_ = true;
    wake_.notify_all();
    if (drained_signal_.wait_for(lock, kLogFlushPatience, [this] { return drained_; })) {
      draining_ = false;
      sink_.reset();
      lock.unlock();
      drain_.join();
      return;
    }
    // A sink that hangs (at exit: one waiting for a lock the exiting thread holds) is left
    // behind rather than waited for for ever; a new generation tells it to stop once it returns.
    ++generation_;
    draining_ = false;
    sink_.reset();
    drain_.detach();
    // What it did not take goes to standard output, a line at a time, with the lock let go
    // for each write: nothing queues any more, since forwarding_ is off.
    QueuedText line;
    while (_pop(line)) {
      lock.unlock();
      writeStdout(line.text, line.length);
      lock.lock();
    }
    line.length = _takeDropReport(line.text);
    lock.unlock();
    if (line.length == 0) return;
    line.text[line.length] = '\n';
    writeStdout(line.text, line.length + 1);
  }

  /// Takes the oldest queued line into `line`; false when none is queued. Under mutex_.
  bool _pop(QueuedText& line) {
    if (count_ == 0) return false;
    const QueuedText& slot = slots_[head_];
    line.length = slot.length;
    std::memcpy(line.text, slot.text, slot.length);
    head_ = (head_ + 1) % kLogQueueLines;
    --count_;
    return true;
  }

  /// Writes "N log lines dropped" for the overflow not yet reported into `text` (room for 64
  /// bytes) and returns its length, or 0 when nothing was lost. Under mutex_.
  size_t _takeDropReport(char* text) {
    if (overflowed_ == 0) return 0;
    char* end = std::to_chars(text, text + 24, overflowed_).ptr;
    overflowed_ = 0;
    constexpr std::string_view kWords = " log lines dropped";
    std::memcpy(end, kWords.data(), kWords.size());
    return static_cast<size_t>(end - text) + kWords.size();
  }

  void _drain(uint64_t generation) {
    QueuedText line;
    for (;;) {
      std::shared_ptr<const LogSink> sink;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return generation_ != generation || count_ > 0 || overflowed_ > 0 || stopping_; });
        if (generation_ != generation) return;  // left behind: others have taken over
        if (!_pop(line)) {
          line.length = _takeDropReport(line.text);  // caught up: say what was lost on the way
          if (line.length == 0) {
            drained_ = true;
            drained_signal_.notify_all();
            return;
          }
        }
        sink = sink_;
      }
      _deliver(*sink, std::string_view(line.text, line.length));
    }
  }

  /// One sink call per line of the text, without its line end.
  void _deliver(const LogSink& sink, std::string_view text) {
    while (!text.empty()) {
      const size_t end = std::min(text.find('\n'), text.size());
      std::string_view line = text.substr(0, end);
      text.remove_prefix(std::min(end + 1, text.size()));
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      try {
        sink(line);
      } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended (an interpreter that finalized ends its threads so)
      } catch (...) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }

  // Nobody may hold the locks across fork(): the child would find them taken for ever.
  void _beforeFork() {
    control_mutex_.lock();
    mutex_.lock();
  }
  void _afterForkInParent() {
    mutex_.unlock();
    control_mutex_.unlock();
  }
  void _afterForkInChild() {
    // The drain thread was not copied; its handle is forgotten on purpose (joining or
    // detaching a thread the child does not have is undefined). The queued lines are the
    // parent's to deliver.
    new (&drain_) std::thread;
    draining_ = false;
    forwarding_ = false;
    stopping_ = false;
    ++generation_;
    count_ = 0;
    overflowed_ = 0;
    sink_.reset();
    mutex_.unlock();
    control_mutex_.unlock();
  }

  std::mutex control_mutex_;  // one install or removal at a time
  std::mutex mutex_;          // everything below
  std::condition_variable wake_;
  std::condition_variable drained_signal_;
  QueuedText slots_[kLogQueueLines];
  size_t head_ = 0;
  size_t count_ = 0;
  uint64_t overflowed_ = 0;   // lines pushed out of the full queue, not yet reported
  uint64_t generation_ = 0;   // which drain thread may take lines; a left-behind one stops
  bool forwarding_ = false;
  bool draining_ = false;     // a drain thread of the present generation runs
  bool stopping_ = false;
  bool drained_ = false;
  std::atomic<uint64_t> dropped_{0};
  std::shared_ptr<const LogSink> sink_;
  std::thread drain_;
};

}  // namespace

void writeLogText(const char* text, size_t length) {
  LogQueue& queue = LogQueue::instance();
  size_t done = 0;
  while (done < length && queue.push(text + done, std::min(kLineBytes, length - done))) done += kLineBytes;
  if (done >= length) return;
  writeStdout(text + done, length - done);
}

void setLogSink(LogSink sink) { LogQueue::instance().setSink(std::move(sink)); }

uint64_t droppedLogLines() { return LogQueue::instance().dropped(); }

void flushLogBeforeExit() noexcept {
  try {
    LogQueue::instance().flushBeforeExit();
  } catch (...) {
    // Ending the process goes on; a lock that cannot be taken leaves the lines queued.
  }
}
