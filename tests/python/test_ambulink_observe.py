"""Seeing the link from Python: link stats, the flight recorder (and what it does when its file
takes no more) and its reader and plots, the numpy observation path and the with statement,
against the board simulator."""

import itertools
import os
import re
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import ambulink_recording
from conftest import LIB_DIR, ROOT, config_path, joint_table

ZENTHI = "zenthi.yaml"
JOINTS = 18
LINK_PERIOD_S = 0.0021
STATS_KEYS = ["exchanges", "replies", "timeouts", "short_replies", "long_replies", "stale_skipped",
              "foreign_dropped", "invalid_motor_records", "invalid_imu_records", "invalid_battery_records",
              "longest_failure_run", "rtt_median_us", "rtt_p99_us", "rtt_max_us", "reply_age_us",
              "command_expiries"]


def holding_command(observation, step=0):
    """Holds the present positions; the velocity target changes with `step`, so frames differ."""
    pos = [observation[3 * i] for i in range(JOINTS)]
    return [20.0] * JOINTS, [1.0] * JOINTS, pos, [0.001 * step] * JOINTS, [0.0] * JOINTS


def board_frame_bytes(board):
    return [bytes.fromhex(frame) for frame in board.recorded_hex_frames()]


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


def test_an_observation_names_the_reply_it_was_decoded_from(zenthi):
    _, robot = zenthi
    assert robot.last_observation_info() is None
    robot.receive_observation()
    sequence, received = robot.last_observation_info()
    assert sequence > 0 and 0 <= time.monotonic() - received < 5
    assert robot.wait_for_observation(5.0)
    robot.receive_observation_array()
    newer, later = robot.last_observation_info()
    assert newer > sequence and later > received


def test_with_statement_stops_the_link_on_exit(start_board, ambulink):
    board = start_board(ZENTHI)
    with ambulink.Ambulink(config_path(ZENTHI)) as robot:
        assert robot.get_motor_num() == JOINTS
    sent = board.settled_frame_count()
    time.sleep(0.05)
    assert board.settled_frame_count() == sent
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

    # Started as a program, under the interpreter the project builds for: a python3 found first
    # on the PATH (one without matplotlib, say) is not asked.
    decoy = tmp_path / "decoy"
    decoy.mkdir()
    (decoy / "python3").write_text("#!/bin/sh\nexit 97\n")
    (decoy / "python3").chmod(0o755)
    env = dict(os.environ, PATH=f"{decoy}{os.pathsep}{os.environ.get('PATH', '')}")
    plots = subprocess.run([str(ROOT / "scripts" / "plot-recording"), str(path)],
                           env=env, capture_output=True, text=True, timeout=120)
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


def brake_frame(board, config):
    """Whether the board's latest frame is the damping frame (kp 0, kd 0.8 on the joint side)."""
    table = joint_table(config_path(config))
    return all(record["kp"] == 0.0 and record["kd"] == pytest.approx(0.8 / table["gr"][i] ** 2, rel=1e-5)
               for i, record in enumerate(board.frame_after_now()))


def test_commands_that_stop_expire_into_the_brake_and_the_black_box_reads_as_a_recording(
        start_board, open_robot, ambulink, tmp_path):
    with pytest.raises(ValueError):
        ambulink.Ambulink(config_path(ZENTHI), command_timeout=-1.0)
    board = start_board(ZENTHI)
    folder = tmp_path / "box"
    folder.mkdir()
    robot = open_robot(ZENTHI, command_timeout=0.05, black_box_folder=str(folder))
    observation = robot.receive_observation()
    started = time.monotonic()
    while time.monotonic() - started < 0.3:
        robot.send_command(*holding_command(observation))
        time.sleep(0.005)
    assert robot.link_stats()["command_expiries"] == 0
    deadline = time.monotonic() + 5
    while not list(folder.glob("blackbox-*-command-expired.dlrec")) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert robot.link_stats()["command_expiries"] == 1 and brake_frame(board, ZENTHI)
    [dumped] = folder.glob("blackbox-*-command-expired.dlrec")
    rec = ambulink.read_recording(str(dumped))
    assert rec.robot_type == "zenthi" and list(rec.exchange) == list(range(len(rec)))
    assert np.isclose(rec.command["kp"][:, 0], 20.0).any()  # the commands, then the brake
    assert rec.command["kp"][-1] == pytest.approx([0.0] * JOINTS)

    robot.send_command(*holding_command(observation))
    assert board.frame_after_now()[0]["kp"] > 0.0
    asked = tmp_path / "asked.dlrec"
    counts = robot.dump_black_box(str(asked))
    rec = ambulink.read_recording(str(asked))
    assert counts == {"recorded": len(rec), "dropped": 0}
    # The commands, their expiry's brake, then the new command taking over: on a slow machine it
    # may expire again before the dump, so it need not be the last record.
    commanded = [run for run, _ in itertools.groupby(np.isclose(rec.command["kp"][:, 0], 20.0, rtol=1e-5))]
    assert True in commanded[1:], commanded


def run_recording_script(script, wrapper=()):
    """Runs a script that opens zenthi (its board already started) in a fresh interpreter,
    under `wrapper` (a command prefix) if given."""
    env = dict(os.environ, PYTHONPATH=str(LIB_DIR), PYTHONUNBUFFERED="1")
    prologue = f"import os, sys, threading, time\nimport ambulink\nrobot = ambulink.Ambulink({config_path(ZENTHI)!r})\n"
    return subprocess.run([*wrapper, sys.executable, "-c", prologue + textwrap.dedent(script)], env=env,
                          capture_output=True, text=True, timeout=120)


def test_a_ring_too_large_to_size_is_refused(start_board):
    start_board(ZENTHI)
    result = run_recording_script("""
        try:
            robot.start_recording("/dev/null", buffer_records=2**61)
        except ValueError as error:
            print(f"refused: {error}")
    """)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr
    assert "refused: [FlightRecorder] a ring of 2305843009213693952 records of" in result.stdout


def test_a_reader_that_takes_nothing_holds_up_the_stop_for_about_a_second(start_board, tmp_path):
    start_board(ZENTHI)
    fifo = tmp_path / "stalled.fifo"
    os.mkfifo(fifo)
    result = run_recording_script(f"""
        reader = os.open({str(fifo)!r}, os.O_RDONLY | os.O_NONBLOCK)  # and never read
        robot.start_recording({str(fifo)!r}, buffer_records=64)
        time.sleep(0.5)  # the pipe and the ring fill
        counts = robot.stop_recording()
        print(f"counts {{counts['recorded']}} {{counts['dropped']}}", flush=True)
    """)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr
    recorded, dropped = map(int, re.search(r"^counts (\d+) (\d+)$", result.stdout, re.M).groups())
    assert dropped > 64 and recorded > 0
    assert "[FlightRecorder] the recording's reader took too little for 1 s after the stop" in result.stdout


def test_a_full_disk_leaves_whole_records_and_counts_the_rest_dropped(start_board, tmp_path):
    start_board(ZENTHI)
    # A 64 KiB file system of its own, in a mount namespace of the test's own.
    unshare = ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-rm"]
    disk = tmp_path / "disk"
    disk.mkdir()
    wrapper = [*unshare, "sh", "-c", f"mount -t tmpfs -o size=64k tmpfs {disk} && exec \"$@\"", "full-disk"]
    result = run_recording_script(f"""
        path = {str(disk / "walk.dlrec")!r}
        robot.start_recording(path)
        time.sleep(0.5)  # 64 KiB hold fewer than 100 records: 0.2 s of exchanges
        counts = robot.stop_recording()
        rec = ambulink.read_recording(path)
        body = os.path.getsize(path) - int(rec.header["header_size"])
        print(f"counts {{counts['recorded']}} {{counts['dropped']}}", flush=True)
        print(f"file {{len(rec)}} {{body % int(rec.header['record_size'])}} {{rec.dropped}} {{int(rec.exchange[-1])}}", flush=True)
    """, wrapper)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr
    recorded, dropped = map(int, re.search(r"^counts (\d+) (\d+)$", result.stdout, re.M).groups())
    in_file, leftover, rec_dropped, last = map(int, re.search(r"^file (\d+) (\d+) (\d+) (\d+)$", result.stdout,
                                                              re.M).groups())
    assert "[FlightRecorder] cannot write the recording (No space left on device)" in result.stdout
    assert leftover == 0 and in_file == recorded and recorded > 0
    assert dropped > 0 and rec_dropped == dropped and last == recorded - 1


def test_closing_the_robot_waits_for_a_start_recording_in_progress(start_board, tmp_path):
    start_board(ZENTHI)
    fifo, copy = tmp_path / "late.fifo", tmp_path / "copy.dlrec"
    os.mkfifo(fifo)
    result = run_recording_script(f"""
        import subprocess
        reader = subprocess.Popen(["sh", "-c", "sleep 1; exec cat {fifo} > {copy}"])
        starting = threading.Thread(target=robot.start_recording, args=({str(fifo)!r},))
        starting.start()
        time.sleep(0.3)  # inside start_recording, which waits for the pipe's reader
        robot.__exit__(None, None, None)
        starting.join(10)
        print(f"reader {{reader.wait(timeout=10)}}", flush=True)  # the recording was closed
    """)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr
    assert "\nreader 0\n" in "\n" + result.stdout
    assert ambulink_recording.read_header(copy)[0]["motors"] == JOINTS


def write_recording(path, exchanges=(0, 1, 3), **header_fields):
    """A small recording written by hand: zenthi's layout, one record per exchange number,
    the counts filled in; `header_fields` overrides header fields."""
    header = np.zeros((), ambulink_recording.HEADER)
    header["magic"], header["version"] = ambulink_recording.MAGIC, ambulink_recording.FORMAT_VERSION
    header["motors"], header["imus"], header["batteries"] = JOINTS, 1, 0
    header["header_size"] = 72 + ambulink_recording.MOTOR_ENTRY.itemsize * JOINTS
    header["command_length"] = ambulink_recording.MOTOR_CMD.itemsize * JOINTS
    header["reply_length"] = ambulink_recording.MOTOR_STATE.itemsize * JOINTS + ambulink_recording.IMU_STATE.itemsize
    header["record_size"] = (32 + int(header["command_length"]) + int(header["reply_length"]) + 7) // 8 * 8
    header["recorded"], header["dropped"] = len(exchanges), max(exchanges) + 1 - len(exchanges)
    table = np.zeros(JOINTS, ambulink_recording.MOTOR_ENTRY)
    table["gear_ratio"] = 1.0
    records = np.zeros(len(exchanges), ambulink_recording.record_dtype(header))
    records["exchange"] = exchanges
    for name, value in header_fields.items():
        header[name] = value
    with open(path, "wb") as file:
        file.write(header.tobytes() + table.tobytes() + records.tobytes())


@pytest.mark.parametrize("field, fields", [
    ("header_size", {"header_size": 72}),
    ("record_size", {"record_size": 8}),
    ("command_length", {"command_length": 23}),
    ("reply_length", {"reply_length": 1 << 30}),
    ("recorded", {"recorded": 5}),
    ("dropped", {"dropped": 0, "recorded": 3}),
    ("exchange", {"exchanges": (0, 2, 1)}),
])
def test_the_reader_names_the_field_that_disagrees(ambulink, tmp_path, field, fields):
    path = tmp_path / "hand.dlrec"
    write_recording(path)
    assert len(ambulink.read_recording(str(path))) == 3  # as written, it reads
    exchanges = fields.pop("exchanges", (0, 1, 3))
    write_recording(path, exchanges, **fields)
    with pytest.raises(ValueError, match=field):
        ambulink.read_recording(str(path))
