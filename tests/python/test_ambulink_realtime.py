"""Ambulink's real-time keywords reach the robot's own threads, and only those."""

import os
import threading

import pytest

from conftest import config_path, fifo_permitted

LINK_PRIORITY = 30


def threads_named(name):
    """(policy, rt_priority, cpus) of every thread of this process named `name`."""
    found = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as comm, open(f"/proc/self/task/{tid}/stat") as stat:
                if comm.read().strip() != name:
                    continue
                # After the name in parentheses come fields 3 on; rt_priority is 40, policy 41.
                fields = stat.read().rsplit(")", 1)[1].split()
        except FileNotFoundError:
            continue  # it ended meanwhile
        found.append((int(fields[38]), int(fields[37]), os.sched_getaffinity(int(tid))))
    return found


@pytest.mark.skipif(not fifo_permitted(LINK_PRIORITY),
                    reason="this system refuses SCHED_FIFO (no root, CAP_SYS_NICE or rtprio)")
def test_keywords_reach_the_link_and_watchdog_threads(start_board, open_robot):
    start_board("zenthi.yaml")
    allowed = os.sched_getaffinity(0)
    cpu = max(allowed)
    robot = open_robot("zenthi.yaml", realtime_priority=LINK_PRIORITY, link_cpu=cpu)
    assert robot.get_motor_num() == 18
    assert threads_named("motor_comm") == [(os.SCHED_FIFO, LINK_PRIORITY, {cpu})]
    assert threads_named("watch_dog") == [(os.SCHED_FIFO, LINK_PRIORITY, allowed)]
    # The interpreter keeps its scheduling.
    assert os.sched_getscheduler(threading.get_native_id()) == os.SCHED_OTHER
    assert os.sched_getaffinity(0) == allowed


def test_a_refused_priority_raises_and_leaves_no_thread(start_board, ambulink):
    start_board("zenthi.yaml")
    with pytest.raises(RuntimeError, match=r"realtime_priority 100 is outside SCHED_FIFO's priorities 1-99"):
        ambulink.Ambulink(config_path("zenthi.yaml"), realtime_priority=100)
    assert threads_named("motor_comm") == [] and threads_named("watch_dog") == []
