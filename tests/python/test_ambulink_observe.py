"""Seeing the link from Python: link stats, the flight recorder and its reader and plots, the
numpy observation path and the with statement, against the board simulator."""

import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import ROOT, config_path, joint_table

ZENTHI = "zenthi.yaml"
JOINTS = 18
LINK_PERIOD_S = 0.0021
STATS_KEYS = ["exchanges", "replies", "timeouts", "short_replies", "long_replies", "stale_skipped",
              "foreign_dropped", "invalid_motor_records", "invalid_imu_records", "invalid_battery_records",
              "longest_failure_run", "rtt_median_us", "rtt_p99_us", "rtt_max_us", "reply_age_us"]


def holding_command(observation, step=0):
    """Holds the present positions; the velocity target changes with `step`, so frames differ."""
    pos = [observation[3 * i] for i in range(JOINTS)]
    return [20.0] * JOINTS, [1.0] * JOINTS, pos, [0.001 * step] * JOINTS, [0.0] * JOINTS


def board_frame_bytes(board):
    return [bytes.fromhex(line) for line in board.record_file.read_text().splitlines() if line.strip()]


@pytest.fixture
def zenthi(start_board, open_robot):
    board = start_board(ZENTHI)
    return board, open_robot(ZENTHI)


def test_link_stats_name_every_figure_and_reset_starts_a_new_window(zenthi):
    _, robot = zenthi
    time.sleep(0.1)
    stats = robot.link_stats()
    assert list(stats) == STATS_KEYS
    assert stats["replies"] > 0 and stats["rtt_median_us"] > 0 and stats["reply_age_us"] >= 0
    robot.reset_link_stats()
    assert robot.link_stats()["replies"] < stats["replies"]


def test_observation_array_has_the_list_layout_and_fills_out_in_place(zenthi):
    _, robot = zenthi
    robot.send_command(*holding_command(robot.receive_observation()))
    time.sleep(0.3)  # the joints settle on the held positions
    out = np.zeros(3 * JOINTS + 10)
    assert robot.receive_observation_array(out) is out
    listed = robot.receive_observation()
    assert out == pytest.approx(listed, abs=1e-3)
    fresh = robot.receive_observation_array()
    assert fresh.dtype == np.float64 and fresh.shape == out.shape
    for wrong in (np.zeros(3 * JOINTS + 9), np.zeros(3 * JOINTS + 10, np.float32), np.zeros((2, 32))):
        with pytest.raises(ValueError):
            robot.receive_observation_array(wrong)
    with pytest.raises(TypeError):
        robot.receive_observation_array(np.zeros(64)[::-1].tobytes())  # read-only bytes


def test_with_statement_stops_the_link_on_exit(start_board, ambulink):
    board = start_board(ZENTHI)
    with ambulink.Ambulink(config_path(ZENTHI)) as robot:
        assert robot.get_motor_num() == JOINTS
    sent = board.frame_count()
    time.sleep(0.05)
    assert board.frame_count() == sent
    with pytest.raises(RuntimeError, match="with block ended"):
        robot.receive_observation()


def test_leaving_a_with_block_on_an_exception_brakes_before_closing(start_board, ambulink, capfd):
    board = start_board(ZENTHI)
    with pytest.raises(ZeroDivisionError):
        with ambulink.Ambulink(config_path(ZENTHI)) as robot:
            robot.send_command([30.0] * JOINTS, [1.0] * JOINTS, [0.2] * JOINTS, [0.0] * JOINTS, [0.0] * JOINTS)
            board.frame_after_now()
            1 / 0
    assert "[ambulink] the with block ended on ZeroDivisionError: every motor gets the damping brake frame" in \
        capfd.readouterr().out
    time.sleep(0.1)  # the board has recorded every frame that left
    table = joint_table(config_path(ZENTHI))
    last = board.frames()[-1]
    for i, record in enumerate(last):
        assert record["kp"] == 0.0 and record["kd"] == pytest.approx(0.8 / table["gr"][i] ** 2, rel=1e-5)


def test_a_recording_holds_exactly_the_frames_the_board_saw(zenthi, ambulink, tmp_path):
    board, robot = zenthi
    path = tmp_path / "walk.dlrec"
    observation = robot.receive_observation()
    robot.start_recording(str(path))
    started = time.monotonic()
    step = 0
    while time.monotonic() - started < 2.0:
        step += 1
        command = holding_command(observation, step)
        robot.send_command(*command)
        time.sleep(0.005)
    counts = robot.stop_recording()

    rec = ambulink.read_recording(str(path))
    assert counts == {"recorded": len(rec), "dropped": 0} and rec.dropped == 0
    assert len(rec) > 0.8 * 2.0 / LINK_PERIOD_S
    assert rec.robot_type == "zenthi" and list(rec.exchange) == list(range(len(rec)))

    # Equal frames follow each other (a command stays for a few exchanges): any alignment will do.
    recorded = [record.tobytes() for record in rec.records["command"]]
    seen = board_frame_bytes(board)
    starts = [i for i, frame in enumerate(seen) if frame == recorded[0]]
    assert any(seen[i:i + len(recorded)] == recorded for i in starts)

    # The last command in joint-side units; replies decode to what the robot reported.
    kp, kd, pos, vel, _ = command
    complete = rec.outcome == 0
    last = np.flatnonzero(complete)[-1]
    assert rec.command["kp"][-1] == pytest.approx(kp, rel=1e-5)
    assert rec.command["kd"][-1] == pytest.approx(kd, rel=1e-5)
    assert rec.command["pos"][-1] == pytest.approx(pos, abs=1e-5)
    assert rec.command["vel"][-1] == pytest.approx(vel, abs=1e-5)
    assert (rec.motors["status"][complete] == 9).all()
    now = robot.receive_observation()
    assert rec.motors["pos"][last] == pytest.approx([now[3 * i] for i in range(JOINTS)], abs=0.02)
    assert (rec.rtt_us[complete] > 0).all()

    plots = subprocess.run([sys.executable, str(ROOT / "scripts" / "plot-recording"), str(path)],
                           capture_output=True, text=True, timeout=120)
    assert plots.returncode == 0, plots.stderr
    for name in ("positions", "velocities", "torques", "round-trips", "losses"):
        assert (tmp_path / f"walk.dlrec.{name}.png").stat().st_size > 0


def test_a_writer_that_cannot_keep_up_loses_records_but_never_the_link(zenthi, ambulink, tmp_path):
    """A pipe that is read only after a pause stands in for a slow file system."""
    _, robot = zenthi
    fifo = tmp_path / "slow.fifo"
    os.mkfifo(fifo)
    copy = tmp_path / "copy.dlrec"

    def slow_reader():
        with open(fifo, "rb") as source, open(copy, "wb") as target:
            time.sleep(1.0)  # the pipe and a ring of 64 records fill within 0.3 s
            while chunk := source.read(65536):
                target.write(chunk)

    reader = threading.Thread(target=slow_reader)
    reader.start()
    robot.reset_link_stats()
    started = time.monotonic()
    robot.start_recording(str(fifo), buffer_records=64)
    time.sleep(1.5)
    counts = robot.stop_recording()
    elapsed = time.monotonic() - started
    reader.join(timeout=10)
    stats = robot.link_stats()

    assert counts["dropped"] > 0
    rec = ambulink.read_recording(str(copy))
    assert len(rec) == counts["recorded"]
    assert rec.dropped == counts["dropped"]
    assert len(rec) + rec.dropped == rec.exchange[-1] + 1
    # The link kept its pace while the writer was stuck.
    assert stats["exchanges"] > 0.8 * elapsed / LINK_PERIOD_S
    assert stats["longest_failure_run"] < 5
