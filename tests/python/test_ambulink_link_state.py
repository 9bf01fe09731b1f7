"""What the link itself reports: the board's raw motor and battery records, stepping a policy
with the link's replies, and the argument names and units help() shows."""

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


def test_silent_board_times_out_while_other_threads_run(start_board, open_robot):
    board = start_board(ZENTHI)
    robot = open_robot(ZENTHI)
    robot.receive_observation()
    board.go_silent()
    time.sleep(0.1)
    robot.wait_for_observation(0.0)  # takes any reply that landed before the silence
    ran_at = []
    helper = threading.Thread(target=lambda: (time.sleep(0.1), ran_at.append(time.monotonic())))
    helper.start()
    assert robot.wait_for_observation(0.6) is False
    returned_at = time.monotonic()
    helper.join()
    assert ran_at and ran_at[0] < returned_at - 0.2  # the wait let go of the interpreter lock
    with pytest.raises(ValueError):
        robot.wait_for_observation(-1.0)


def test_exit_lets_a_waiting_thread_go(start_board):
    """A thread waiting on a board gone silent is let go when the robot is closed at exit,
    before the robot is released."""
    start_board(ZENTHI, "--silent-after", "100")  # about 0.2 s of replies after priming
    result = run_python(f"""
        import atexit, threading, time
        outcomes = []
        def report():
            time.sleep(0.5)  # the waiting thread runs meanwhile
            print("last outcomes:", outcomes[-2:], flush=True)
        atexit.register(report)  # runs after the module has closed the robot
        import ambulink
        robot = ambulink.Ambulink({config_path(ZENTHI)!r})
        def policy():
            while True:
                try:
                    outcomes.append(robot.wait_for_observation(120.0))
                except RuntimeError as error:
                    outcomes.append(str(error).split(":")[0])
                    return
        threading.Thread(target=policy, daemon=True).start()
        time.sleep(0.6)
    """)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "last outcomes: [False, 'Ambulink is closed']" in result.stdout
