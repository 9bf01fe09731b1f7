"""What the link itself reports: the board's raw motor and battery records, stepping a policy
with the link's replies, and the argument names and units help() shows."""

import re
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from conftest import config_path, joint_table
from test_ambulink_module import run_python

ZENTHI = "zenthi.yaml"


def test_help_shows_argument_names_units_and_return_types(ambulink):
    send = ambulink.Ambulink.send_command.__doc__
    assert "send_command(self: ambulink.Ambulink, kp: list[float], kd: list[float], pos: list[float], " \
           "vel: list[float], tau: list[float])" in send
    for unit in ("rad", "rad/s", "N·m", "joint side", "TypeError", "ValueError"):
        assert unit in send
    assert "wait_for_observation(self: ambulink.Ambulink, timeout: float) -> bool" in \
        ambulink.Ambulink.wait_for_observation.__doc__
    for method in (ambulink.Ambulink.motor_states, ambulink.Ambulink.battery_states):
        assert "dict of numpy arrays" in method.__doc__


def test_records_as_the_board_sent_them(start_board, open_robot, tmp_path):
    """Two batteries, the second reporting an error: the first carries the simulator's known
    values, the second only its status and id. Motor values are on the motor side."""
    config = tmp_path / "two-batteries.yaml"
    source = Path(config_path(ZENTHI)).read_text()
    assert "battery_num: 1 " in source
    config.write_text(source.replace("battery_num: 1 ", "battery_num: 2 ", 1))
    start_board(str(config), "--battery-error", "1:3")
    robot = open_robot(str(config))
    n = robot.get_motor_num()
    table = joint_table(config)

    observation = robot.receive_observation()  # joints at rest: both reads see one pose
    motors = robot.motor_states()
    assert sorted(motors) == ["id", "mode", "pos", "status", "tau", "temp", "vel"]
    assert all(len(column) == n for column in motors.values())
    assert motors["status"].dtype == np.uint8 and motors["pos"].dtype == np.float32
    assert motors["status"].tolist() == [9] * n
    assert motors["id"].tolist() == [motor_id & 0xFF for motor_id in table["motor_id"]]
    assert motors["mode"].tolist() == [10] * n  # the passive frame's mode, echoed
    motor_side = [observation[3 * i] * table["gr"][i] + table["offset"][i] for i in range(n)]
    assert motors["pos"] == pytest.approx(motor_side, abs=1e-3)
    assert ((motors["temp"] >= 32.0) & (motors["temp"] <= 40.0)).all()

    batteries = robot.battery_states()
    assert sorted(batteries) == ["bms_id", "current", "failure", "soc", "status", "voltage"]
    assert batteries["status"].tolist() == [9, 3]
    assert batteries["bms_id"].tolist() == [1, 2]
    assert batteries["failure"].dtype == np.int32 and batteries["failure"].tolist() == [0, 0]
    assert batteries["voltage"].tolist() == [48.0, 0.0]
    assert batteries["soc"][0] == pytest.approx(0.9)
    assert batteries["current"][0] >= 1.5


def test_wait_steps_with_the_link(start_board, open_robot):
    board = start_board(ZENTHI)
    robot = open_robot(ZENTHI)
    robot.receive_observation()
    frames_before = board.frame_count()
    steps = 30
    for _ in range(steps):
        assert robot.wait_for_observation(0.5) is True
        robot.receive_observation()
    # Each step waited for an exchange of its own (without waiting the loop would be over
    # within one); the board's record trails the link by a frame or two.
    assert board.frame_count() - frames_before >= steps - 3


def test_a_wait_ends_with_link_error_when_the_link_is_lost_while_other_threads_run(start_board, ambulink):
    board = start_board(ZENTHI)
    with ambulink.Ambulink(config_path(ZENTHI), exit_on_link_failure=False) as robot:
        robot.receive_observation()
        ticks = []
        done = threading.Event()

        def tick():
            while not done.is_set():
                ticks.append(1)
                time.sleep(0.002)

        helper = threading.Thread(target=tick)
        helper.start()
        threading.Timer(0.2, board.go_silent).start()
        began = time.monotonic()
        with pytest.raises(ambulink.LinkError, match="link to the motor board is lost"):
            while True:  # every reply ends a wait; the lost link ends the last one
                robot.wait_for_observation(30.0)
        waited = time.monotonic() - began
        ticked = len(ticks)
        done.set()
        helper.join()
        assert waited < 10.0, "the wait went on long after the link was lost"
        assert ticked > 10, "the wait held the interpreter lock"
        with pytest.raises(ValueError):
            robot.wait_for_observation(-1.0)


def test_ctrl_c_ends_a_wait_long_before_its_timeout(start_board, tmp_path):
    """A robot without motors has no watchdog to end the wait: only Ctrl-C can."""
    text = Path(config_path(ZENTHI)).read_text()
    text = re.sub(r"motor_num: *\d+", "motor_num: 0", text, count=1)
    joints, imu = text.index("joint_config:"), text.index("imu_intrinsics:")
    text = text[:joints] + "joint_config:\n" + "".join(
        f"  {key}: []\n" for key in ("abs_id", "motor_id", "motor_type", "gr", "offset", "jpos_min", "jpos_max")
    ) + "\n" + text[imu:]
    config = tmp_path / "no-motors.yaml"
    config.write_text(text)
    board = start_board(str(config))
    result = run_python(f"""
        import os, signal, threading, time
        import ambulink
        robot = ambulink.Ambulink({str(config)!r})
        os.kill({board.pid}, signal.SIGUSR1)
        time.sleep(0.05)
        robot.receive_observation()  # every reply from before the silence is taken
        sent = []
        def interrupt():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Timer(0.3, interrupt).start()
        try:
            robot.wait_for_observation(20.0)
            print("returned", flush=True)
        except KeyboardInterrupt:
            print(f"interrupted after {{time.monotonic() - sent[0]:.3f}} s", flush=True)
    """)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr
    interrupted = re.search(r"^interrupted after ([0-9.]+) s", result.stdout, re.M)
    assert interrupted, result.stdout[-3000:]
    assert float(interrupted.group(1)) < 5.0


def test_exit_lets_a_waiting_thread_go(start_board):
    """A thread waiting on the link is let go when the robot is closed at exit, before the
    robot is released."""
    start_board(ZENTHI)
    result = run_python(f"""
        import atexit, threading, time
        outcomes = []
        def report():
            time.sleep(0.5)  # the waiting thread runs meanwhile
            print(f"last outcomes: {{outcomes[-2:]}}", flush=True)
        atexit.register(report)  # runs after the module has closed the robot
        import ambulink
        robot = ambulink.Ambulink({config_path(ZENTHI)!r})
        def policy():
            while True:
                try:
                    if robot.wait_for_observation(120.0):
                        continue
                    outcomes.append(False)
                except RuntimeError as error:
                    outcomes.append(str(error).split(":")[0])
                    return
        threading.Thread(target=policy, daemon=True).start()
        time.sleep(0.6)
    """)
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r"^last outcomes: \[(False, )?'Ambulink is closed'\]$", result.stdout, re.M), result.stdout[-2000:]
