// Whether this machine grants real-time scheduling, asked without changing the caller.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <thread>

/// True when a thread of this process may take SCHED_FIFO at `priority`: tried on a thread of
/// its own, so the caller keeps its scheduling.
inline bool fifoPermitted(int priority = 1) {
  bool permitted = false;
  std::thread probe([&] {
    sched_param param{};
    param.sched_priority = priority;
    permitted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
  });
  probe.join();
  return permitted;
}
