"""The robot on DDS, from another host: the robot service (bin/drivelink_dds) with the physics
simulator on one side of a veth pair, remote Python controllers on the other; and both on
loopback of one machine. DDS is confined to the link (or lo) by DRIVELINK_DDS_INTERFACE.
"""

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import BIN_DIR, LIB_DIR, READY_LINE, ROOT, config_path, parse_frame, prompt_answers
from netns_pair import INTERFACE, NamespacesUnavailable, NetnsPair

LEASE_S = 0.05
SLACK_S = 0.5  # for a busy machine and sanitizers
SERVING = re.compile(r"\[drivelink_dds\] serving robot")
# A controller that stands the biped up (the family's pose and gains) and holds it for as long
# as it runs, saying "holding" once; with "brake" as argument it asks for the brake at the end.
HOLDER = """
import sys, time, ambulink
robot = ambulink.RemoteRobot("veltra1", lease=%r)
family = ambulink.robot_family(robot.robot_type())
n = robot.get_motor_num()
kp, kd = family.gains(n)
robot.wait_for_observation(2.0)
stand = family.standing_pose(robot.receive_observation()[0:3 * n:3])
start = time.monotonic()
said = False
while True:
    robot.wait_for_observation(0.1)
    robot.send_command(kp, kd, stand, [0.0] * n, [0.0] * n)
    if not said and time.monotonic() - start > 0.5:
        print("holding", robot.session_id, flush=True)
        said = True
""" % LEASE_S
# A second controller: tries to command until the robot is its own, saying so.
CHALLENGER = """
import sys, time, ambulink
robot = ambulink.RemoteRobot("veltra1", lease=%r)
n = robot.get_motor_num()
refused = False
while True:
    robot.wait_for_observation(0.1)
    try:
        robot.send_command([0.0] * n, [0.5] * n, [0.0] * n, [0.0] * n, [0.0] * n)
    except ambulink.SessionRefused:
        if not refused:
            print("refused", flush=True)
            refused = True
        continue
    if robot.status()["session_in_charge"] == robot.session_id:
        print("in charge", "after refusal" if refused else "at once", flush=True)
        break
""" % LEASE_S


class Lines:
    """A process's output lines, read as they come so the process never blocks."""

    def __init__(self, process):
        self.process = process
        self.lines = []
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.process.stdout:
            with self._changed:
                self.lines.append(line)
                self._changed.notify_all()

    def wait_for(self, pattern, timeout_s=15.0):
        """The first line matching `pattern`; fails the test after `timeout_s`."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout_s
        with self._changed:
            while True:
                for line in self.lines:
                    if regex.search(line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or (self.process.poll() is not None and not self._reader.is_alive()):
                    pytest.fail(f"no line matching {pattern!r}; output:\n" + "".join(self.lines))
                self._changed.wait(min(left, 0.1))

    def text(self):
        return "".join(self.lines)


def python_env(base):
    env = dict(base)
    env["PYTHONPATH"] = os.pathsep.join([str(LIB_DIR), str(ROOT / "examples")])
    return env


@pytest.fixture
def pair():
    try:
        with NetnsPair() as made:
            yield made
    except NamespacesUnavailable as error:
        pytest.skip(f"two network namespaces cannot be made here: {error}")


def _robot_host(pair, tmp_path, sim_args=()):
    """Side a as the robot's computer: the link addresses on its loopback, the physics
    simulator's biped crouching on the ground (with `sim_args`), and the robot service on the
    veth link. Yields (service output, simulator record file, truth file)."""
    for address in ("192.168.1.10/32", "192.168.1.5/32"):
        pair.run("a", ["ip", "addr", "add", address, "dev", "lo"], check=True)
    record, truth = tmp_path / "frames.hex", tmp_path / "truth.csv"
    record.touch()
    sim = Lines(pair.popen("a", [str(BIN_DIR / "board_sim"), "--config", config_path("veltra1.yaml"), "--quiet",
                                 "--record", str(record), "--model", str(ROOT / "models" / "veltra1.xml"),
                                 "--start", "crouch", "--truth", str(truth),
                                 *prompt_answers(sim_args), *sim_args],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
    sim.wait_for(READY_LINE)
    service = Lines(pair.popen("a", [str(BIN_DIR / "drivelink_dds"), config_path("veltra1.yaml"),
                                     "--interface", INTERFACE],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
    service.wait_for(SERVING.pattern)
    yield service, record, truth


@pytest.fixture
def robot_host(pair, tmp_path):
    """The robot's computer with the physics free-running in real time, as a robot moves."""
    yield from _robot_host(pair, tmp_path)


@pytest.fixture
def lockstep_robot_host(pair, tmp_path):
    """The robot's computer with the physics stepping one link period per command frame (at
    real-time priority where the system grants it), so a busy machine slows the run without
    changing how the robot moves."""
    yield from _robot_host(pair, tmp_path, ("--lockstep",))


def controller(pair, source, side="b"):
    """A remote Python controller on `side`, DDS on the veth link."""
    return Lines(pair.popen(side, [sys.executable, "-c", source], env=python_env(pair.env()),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))


def add_decoy(pair, side):
    """A second network on `side` (a veth link of its own, IPv6 off so it stays quiet) that a
    DDS left to choose could use; returns a function giving its packets sent since now."""
    sh = ("ip link add decoy0 type veth peer name decoy1 && "
          "for end in decoy0 decoy1; do echo 1 > /proc/sys/net/ipv6/conf/$end/disable_ipv6; "
          "ip link set $end multicast on up; done && ip addr add 10.78.0.2/24 dev decoy0")
    pair.run(side, ["sh", "-c", sh], check=True)

    def sent():
        shown = pair.run(side, ["ip", "-j", "-s", "link", "show", "dev", "decoy0"],
                         capture_output=True, text=True, check=True)
        return json.loads(shown.stdout)[0]["stats64"]["tx"]["packets"]

    before = sent()
    return lambda: sent() - before


def test_biped_stands_up_and_holds_from_the_other_host(pair, lockstep_robot_host, tmp_path):
    service, _, truth = lockstep_robot_host
    decoy_sent = add_decoy(pair, "b")
    env = python_env(pair.env())
    # A lease of 0.2 s: on a busy machine (sanitizers, both cores taken) a 50 ms pause of the
    # interpreter would brake the robot mid-motion; the lease itself is the next test's.
    demo = pair.run("b", [sys.executable, str(ROOT / "examples" / "remote_stand_demo.py"), "veltra1",
                          "--lease", "0.2", "--truth", str(truth), "--model", str(ROOT / "models" / "veltra1.xml"),
                          "--no-pictures", "--output", str(tmp_path / "demo"), "--lockstep"],
                    env=env, capture_output=True, text=True, timeout=120)
    assert demo.returncode == 0, demo.stdout + demo.stderr + service.text()
    assert "[demo] done: the robot stood" in demo.stdout
    # DDS went over the named link only: the controller's other network carried nothing.
    assert decoy_sent() == 0


def test_killed_controller_brakes_the_robot_within_its_lease(pair, robot_host):
    service, record, _ = robot_host
    holder = controller(pair, HOLDER)
    holder.wait_for("^holding")
    frames_before = len(record.read_text().splitlines())
    holder.process.send_signal(signal.SIGKILL)
    killed = time.monotonic()
    service.wait_for(r"sent nothing for its lease: every motor braked", timeout_s=LEASE_S + SLACK_S)
    assert time.monotonic() - killed < LEASE_S + SLACK_S
    time.sleep(0.05)
    frames = record.read_text().splitlines()
    assert len(frames) > frames_before
    stiff = [motor["kp"] for motor in parse_frame(frames[frames_before])]
    last = parse_frame(frames[-2])  # the last line may still be being written
    assert max(stiff) > 0, "the controller's stiff command never reached the board"
    assert all(motor["kp"] == 0 and motor["kd"] > 0 for motor in last), last


def test_second_controller_is_refused_and_takes_over_after_the_first_stops(pair, robot_host):
    service, _, _ = robot_host
    first = controller(pair, HOLDER)
    first.wait_for("^holding")
    second = controller(pair, CHALLENGER)
    second.wait_for("^refused")
    assert first.process.poll() is None, "the first controller was disturbed:\n" + first.text()
    first.process.terminate()
    second.wait_for("^in charge after refusal")
    assert second.process.wait(timeout=10) == 0, second.text()


def test_service_and_controller_on_loopback(tmp_path):
    """One machine, DDS on lo (the README's set-up): this test runs in the Python suite's own
    namespace, whose link addresses sit on lo."""
    record = tmp_path / "frames.hex"
    env = python_env(os.environ)
    env.pop("DRIVELINK_DDS_INTERFACE", None)
    sim = subprocess.Popen([str(BIN_DIR / "board_sim"), "--config", config_path("veltra1.yaml"), "--quiet",
                            "--record", str(record)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    service = None
    try:
        Lines(sim).wait_for(READY_LINE)
        service = subprocess.Popen([str(BIN_DIR / "drivelink_dds"), config_path("veltra1.yaml"), "--name", "loop_bot"],
                                   env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        Lines(service).wait_for(SERVING.pattern)
        source = HOLDER.replace('"veltra1"', '"loop_bot"').replace("while True:", "for _ in range(500):")
        held = subprocess.run([sys.executable, "-c", source], env=env, capture_output=True, text=True, timeout=60)
        assert held.returncode == 0 and "holding" in held.stdout, held.stdout + held.stderr
    finally:
        for process in (service, sim):
            if process:
                process.terminate()
                process.wait(timeout=10)
