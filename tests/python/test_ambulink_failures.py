"""Failing safe from Python: a board that never answers during priming, and a lost link
reported as ambulink.LinkError instead of ending the process."""

import os
import re

import pytest

from conftest import config_path
from test_ambulink_module import run_python


def test_board_silent_during_priming_fails_the_constructor(start_board, ambulink):
    board = start_board("veltra1.yaml", "--silent-between", "0:14")
    threads = len(os.listdir("/proc/self/task"))
    with pytest.raises(RuntimeError) as raised:
        ambulink.Ambulink(config_path("veltra1.yaml"))
    message = str(raised.value)
    for motor in range(10):
        assert f"motor {motor} (id " in message
    assert "imu 0" in message
    assert len(os.listdir("/proc/self/task")) == threads, "the robot left a thread running"
    assert board.wait_for_frames(10)
    frames = board.frames()
    assert len(frames) == 10
    assert all(record["kp"] == 0 and record["kd"] == 0 for frame in frames for record in frame)


def test_lost_link_raises_link_error_once_and_the_link_is_used_again(start_board):
    # In a child: without a handler the watchdog would end the interpreter.
    board = start_board("zenthi.yaml")
    result = run_python(f"""
        import os, signal, time
        import ambulink
        robot = ambulink.Ambulink({config_path("zenthi.yaml")!r}, exit_on_link_failure=False)

        def poll(seconds):
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                robot.receive_observation()
                time.sleep(0.002)

        poll(0.2)
        os.kill({board.pid}, signal.SIGUSR1)
        try:
            poll(10.0)
        except ambulink.LinkError as error:
            print("raised", isinstance(error, RuntimeError), error, flush=True)
        os.kill({board.pid}, signal.SIGUSR2)
        poll(0.5)
        robot.send_command(*([[0.0] * 18] * 5))
        print("alive", flush=True)
    """)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr
    out = result.stdout
    raised = re.search(r"^raised True the link to the motor board has been silent for ([0-9.]+) s", out, re.M)
    assert raised, out[-3000:]
    assert float(raised.group(1)) >= 0.1
    assert "[RobotSDK] watchdog: comm restored" in out
    assert "\nalive\n" in out
