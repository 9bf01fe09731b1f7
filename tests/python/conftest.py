"""Shared set-up of the ambulink tests: the module on sys.path, the board simulator as a real
process, and a reader for the command frames the board received.

A test that opens its robot through open_robot finds its board on a free loopback port. The
others open the robot's own link address: the whole pytest run lives in one private network
namespace (scripts/netns-run), so tests run one after another and every test stops the
simulator it started.
"""

import ast
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import weakref
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
LIB_DIR = Path(os.environ.get("DRIVELINK_LIB_DIR", ROOT / "lib"))
BIN_DIR = Path(os.environ.get("DRIVELINK_BIN_DIR", ROOT / "bin"))
CONFIG_DIR = ROOT / "configs"
if str(LIB_DIR) not in sys.path:
    sys.path.insert(0, str(LIB_DIR))

# One motor's command record on the wire: id, motor type, mode, then pos, vel, tau, kp, kd.
MOTOR_CMD = struct.Struct("<BBB5f")
READY_LINE = "board_sim: ready"
READY_TIMEOUT_S = 10.0
SIMULATOR_PRIORITY = 10  # SCHED_FIFO, below the kernel's own threads


def config_path(name):
    return str(CONFIG_DIR / name)


def joint_table(config):
    """The per-motor lists of a configuration's joint_config (motor_id, motor_type, gr,
    offset, ...), read from their one-line flow lists so the tests need no YAML package."""
    table = {}
    for match in re.finditer(r"^\s+(\w+):\s*(\[[^\]]*\])", Path(config).read_text(), re.M):
        table[match.group(1)] = ast.literal_eval(match.group(2))
    return table


def parse_frame(hex_line):
    """One recorded command frame as a list of per-motor dicts."""
    raw = bytes.fromhex(hex_line)
    if len(raw) % MOTOR_CMD.size:
        raise ValueError(f"frame of {len(raw)} bytes is not a whole number of motor records")
    fields = ("id", "type", "mode", "pos", "vel", "tau", "kp", "kd")
    return [dict(zip(fields, MOTOR_CMD.unpack_from(raw, offset)))
            for offset in range(0, len(raw), MOTOR_CMD.size)]


def fifo_permitted(priority=1):
    """Whether a thread of this process may take SCHED_FIFO at `priority`; tried on a thread of
    its own (Linux schedules threads one by one), so the interpreter keeps its scheduling."""
    permitted = []

    def probe():
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(priority))
            permitted.append(True)
        except OSError:
            pass

    thread = threading.Thread(target=probe)
    thread.start()
    thread.join()
    return bool(permitted)


def prompt_answers(extra_args):
    """A real board answers within microseconds whatever the controller's machine is doing: the
    simulator runs at real-time priority where the system allows it, so that a busy machine
    does not hold its replies past the link's 2 ms timeout. (A free-running whole-body physics
    is left alone: its thread steps for its whole life. In lockstep the link thread steps it,
    one link period per frame, and sleeps between frames like any board.)"""
    free_running_physics = "--model" in extra_args and "--lockstep" not in extra_args
    if free_running_physics or not fifo_permitted(SIMULATOR_PRIORITY):
        return []
    return ["--realtime-priority", str(SIMULATOR_PRIORITY)]


class Board:
    """A running board simulator that records every command frame it receives."""

    def __init__(self, config, record_file, extra_args=()):
        self.record_file = Path(record_file)
        self.record_file.touch()
        program = BIN_DIR / "board_sim"
        if not program.exists():
            raise RuntimeError(f"{program} is missing: build the project first")
        self._process = subprocess.Popen(
            [str(program), "--config", config, "--quiet", "--record", str(self.record_file),
             *prompt_answers(extra_args), *extra_args],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self._lines = []
        self._ready = threading.Event()
        # Drains the simulator's output so it never blocks on a full pipe.
        self._reader = threading.Thread(target=self._read_output, daemon=True)
        self._reader.start()
        if not self._ready.wait(READY_TIMEOUT_S):
            self.stop()
            raise RuntimeError("board_sim did not come up:\n" + "".join(self._lines))

    def _read_output(self):
        for line in self._process.stdout:
            self._lines.append(line)
            if line.startswith(READY_LINE):
                self._ready.set()

    def endpoint(self):
        """Where the simulator listens, as its ready line names it: "ADDR:PORT"."""
        address, port = re.search(r"ready udp ([\d.]+):(\d+)", "".join(self._lines)).groups()
        return f"{address}:{port}"

    def output(self):
        """What the simulator printed so far: the ready line names where it listens (after a
        serial simulator's first line, the terminal's path)."""
        return "".join(self._lines)

    @property
    def pid(self):
        """The simulator's process id: SIGUSR1 cuts its link, SIGUSR2 restores it."""
        return self._process.pid

    def _recorded_lines(self):
        """The record file's complete lines: the simulator may be half-way through writing the
        last one."""
        with open(self.record_file) as record:
            return [line for line in record if line.endswith("\n")]

    def recorded_hex_frames(self):
        """Every command frame received so far, as the hex line the simulator recorded."""
        return [line.strip() for line in self._recorded_lines() if line.strip()]

    def frames(self):
        """Every command frame received so far, parsed."""
        return [parse_frame(line) for line in self.recorded_hex_frames()]

    def frame_count(self):
        return len(self.recorded_hex_frames())

    def settled_frame_count(self, timeout_s=10.0):
        """The frames received so far, counted once the board has handled every datagram sent
        before this call: a busy board may still hold the last frames in its socket. An empty
        datagram sent now queues behind them, and the board records it as an empty line."""
        def markers():
            return sum(1 for line in self._recorded_lines() if not line.strip())

        before = markers()
        address, port = self.endpoint().split(":")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.sendto(b"", (address, int(port)))
        deadline = time.monotonic() + timeout_s
        while markers() == before:
            assert time.monotonic() < deadline, "the board never handled the marker datagram"
            time.sleep(0.005)
        return self.frame_count()

    def wait_for_frames(self, count, timeout_s=5.0):
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            if self.frame_count() >= count:
                return True
            time.sleep(0.01)
        return False

    def frame_after_now(self, later=5):
        """The newest frame once `later` more have arrived: a command set before this call
        has certainly left with it (the link sends the latest command every 2.1 ms)."""
        start = self.frame_count()
        assert self.wait_for_frames(start + later), "the board stopped receiving frames"
        return self.frames()[-1]

    def go_silent(self):
        """The board goes on receiving and recording frames but answers none."""
        self._process.send_signal(signal.SIGUSR1)

    def stop(self):
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._reader.join(timeout=5)


@pytest.fixture
def start_board(tmp_path, request):
    """Starts a board simulator for a configuration name or path; stops it after the test.
    For a test that uses open_robot it listens on a free loopback port (a --bind among the
    arguments still wins); `start.boards` are the boards started so far."""
    boards = []
    on_loopback = "open_robot" in request.fixturenames

    def start(config, *extra_args):
        path = config if os.path.sep in config else config_path(config)
        if on_loopback:
            extra_args = ("--bind", "127.0.0.1:0", *extra_args)
        board = Board(path, tmp_path / f"frames-{len(boards)}.hex", extra_args)
        boards.append(board)
        return board

    start.boards = boards
    yield start
    for board in boards:
        board.stop()


@pytest.fixture
def ambulink():
    import ambulink as module
    return module


@pytest.fixture
def open_robot(start_board, ambulink):
    """Opens an Ambulink on a configuration name or path (keyword options go to the
    constructor), on the loopback port of the board the test started last unless `board` is
    given; the robot is deleted (its threads stopped) before any board of the test is
    stopped.

    Tests get a weak proxy: a failing test's traceback must not keep a robot alive, or its
    link would go on talking to the next test's board."""
    robots = []

    def open_(config, **options):
        path = config if os.path.sep in config else config_path(config)
        if start_board.boards and "board" not in options:
            options = {"board": start_board.boards[-1].endpoint(), "local": "127.0.0.1:0", **options}
        robot = ambulink.Ambulink(path, **options)
        robots.append(robot)
        return weakref.proxy(robot)

    yield open_
    robots.clear()
