/// \file
/// Where the SDK's console lines go. By default every line is written to standard output as it
/// is made. A program that wants the lines itself installs a sink: from then on nothing goes to
/// standard output, and the lines reach the sink, one call per line, from a drain thread of the
/// SDK's own (named "log_sink"), so the threads that make them (the link thread among them) never wait for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

/// Receives one console line, without its line end. Called on the drain thread only, one line
/// at a time, in the order the lines were made (a line longer than 1 KiB arrives in pieces).
/// The view is valid for the call only. After the queue overflowed, the sink gets one line
/// "N log lines dropped" once it has caught up.
using LogSink = std::function<void(std::string_view line)>;

/// Lines the queue between the SDK's threads and the drain thread holds. A line made while it
/// is full pushes the oldest queued line out, which is counted dropped: the newest lines, the
/// ones that explain what happens now, are the ones kept.
constexpr size_t kLogQueueLines = 256;

/// How long a sink gets to take the queued lines when it is removed or the process ends;
/// what it has not taken by then goes to standard output.
constexpr std::chrono::milliseconds kLogFlushPatience{1000};

/// Installs `sink` (replacing any previous one), or, given an empty function, delivers the
/// lines already queued to the old sink, stops the drain thread and writes to standard output
/// again. Removal waits at most kLogFlushPatience for a sink that blocks: that drain thread is
/// then left behind (it calls its sink no more once the sink returns) and the lines it did not
/// take are written to standard output. Any thread except the drain thread itself (a sink must
/// not call it). An exception thrown by a sink is swallowed and counted as a dropped line.
/// Throws std::system_error only when the drain thread cannot be started.
void setLogSink(LogSink sink);

/// Lines dropped since the process started, because the queue was full or the sink threw.
/// Any thread; never throws.
uint64_t droppedLogLines();

/// Call right before ending the process (std::exit): the queued lines reach the sink within
/// kLogFlushPatience, and what it could not take in time is written to standard output, so the
/// lines that explain the exit are never lost. Lines made from then on go to standard output.
/// Any thread but the drain thread; never throws. Without a sink it returns at once.
void flushLogBeforeExit() noexcept;
