#!/usr/bin/env python3
"""Remote figures: the robot on DDS across two network namespaces joined by a veth link, the
robot service (bin/drivelink_dds) with the joint-model simulator on side a, a controller on
side b: bench_remote_reader (C++ RemoteRobot) for the figures with a goal, then the same loop in
Python with ambulink.RemoteRobot for rows of their own. One clock serves both sides (CLOCK_MONOTONIC is the
machine's), so one-way times are read directly.

- state age at the remote reader: when a new state wakes wait_for_observation, its age since
  the service received the board's reply;
- command to wire: from send_command of a changed command until the first frame carrying it
  leaves for the board (bench/wire_tap noting frame changes in the link's sendto);
- the share of link periods whose state reached the remote reader.

Floors of the same run: a bare Cyclone DDS one-way trip of the same state message over the
same link (bench/dds_floor), and the local command-to-wire time (Ambulink on side a, same
loop, same tap).

    bench_remote.py --lib-dir DIR --bin-dir DIR --floor-dir DIR [--smoke] [--json]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))
from netns_pair import INTERFACE, NamespacesUnavailable, NetnsPair  # noqa: E402

PERIOD_US = 2100  # the link's period
CHANGE_EVERY = 10  # periods between two changed commands
# The controller on either side: holds the rest pose at soft gains and nudges the targets every
# CHANGE_EVERY states, noting the moment just before each changed command; notes the age and
# sequence of every state. Prints one JSON object at the end.
CONTROLLER = r"""
import json, sys, time, ambulink
remote, count = sys.argv[1] == "remote", int(sys.argv[2])
robot = ambulink.RemoteRobot("bench_bot") if remote else ambulink.Ambulink(sys.argv[3])
n = robot.get_motor_num()
robot.wait_for_observation(2.0)
# A session that follows another waits until the service says the robot is free (the one
# before is in charge until its lease runs out after its last command).
deadline = time.monotonic() + 3.0
while remote and robot.status()["session_in_charge"] not in (0, robot.session_id) and time.monotonic() < deadline:
    time.sleep(0.01)
rest = robot.receive_observation()[0:3 * n:3]
kp, kd, zeros = [2.0] * n, [0.2] * n, [0.0] * n
changes, ages, sequences, states = [], [], [], 0
target = list(rest)
while states < count:
    if not robot.wait_for_observation(0.5):
        break
    now = time.monotonic()
    robot.receive_observation()
    sequence, received = robot.last_observation_info()
    ages.append(1e6 * (now - received))
    sequences.append(sequence)
    states += 1
    if states % CHANGE_EVERY == 0:
        target = [value + (1e-3 if states // CHANGE_EVERY % 2 else -1e-3) for value in rest]
        changes.append(time.monotonic())
    robot.send_command(kp, kd, target, zeros, zeros)
robot.close()
print(json.dumps({"changes": changes, "ages": ages, "sequences": sequences}))
""".replace("CHANGE_EVERY", str(CHANGE_EVERY))


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lib-dir", default=str(ROOT / "lib"), help="folder of ambulink")
    parser.add_argument("--bin-dir", default=str(ROOT / "bin"), help="folder of board_sim and drivelink_dds")
    parser.add_argument("--floor-dir", default=str(ROOT / "build" / "bench"), help="folder of dds_floor and wire_tap.so")
    parser.add_argument("--smoke", action="store_true", help="a very short pass")
    parser.add_argument("--json", action="store_true", help="figures as JSON on standard output")
    return parser.parse_args()


def percentiles(values):
    if not values:
        return None, None
    ordered = sorted(values)
    return statistics.median(ordered), ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]


def wire_delays(changes, tap_file):
    """For each changed command, microseconds until the first frame change after it."""
    wire = sorted(float(line) for line in Path(tap_file).read_text().split())
    delays, k = [], 0
    for sent in changes:
        while k < len(wire) and wire[k] < sent:
            k += 1
        if k < len(wire):
            delays.append(1e6 * (wire[k] - sent))
    return delays


def run_controller(pair, side, args, count, extra_env, config=None):
    env = pair.env()
    env.update(extra_env)
    env["PYTHONPATH"] = args.lib_dir
    argv = [sys.executable, "-c", CONTROLLER, "remote" if config is None else "local", str(count)]
    return run_for_json(pair, side, argv + ([config] if config else []), count, f"controller on side {side}", env)


def run_reader(pair, args, count):
    """The C++ remote controller on side b (the same loop as CONTROLLER's remote one)."""
    reader = str(Path(args.floor_dir) / "bench_remote_reader")
    return run_for_json(pair, "b", [reader, "bench_bot", str(count)], count, "bench_remote_reader")


def run_for_json(pair, side, argv, count, what, env=None):
    """Runs a controller of `count` states on `side`; the JSON object its last line prints."""
    result = pair.run(side, argv, env=env or pair.env(), capture_output=True, text=True,
                      timeout=60 + count * PERIOD_US / 1e6 * 3)
    if result.returncode != 0:
        raise RuntimeError(f"{what} failed:\n{result.stdout}{result.stderr}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def floor_trip(pair, args, count):
    """The bare DDS one-way trip a -> b of the state message, in microseconds."""
    floor = str(Path(args.floor_dir) / "dds_floor")
    reader = pair.popen("b", [floor, "read", str(count), str(10 + count * PERIOD_US / 1e6 * 2)],
                        stdout=subprocess.PIPE, text=True)
    if reader.stdout.readline().strip() != "ready":
        raise RuntimeError("dds_floor read did not start")
    pair.run("a", [floor, "write", str(count), str(PERIOD_US)], check=True, timeout=60 + count * PERIOD_US / 1e6 * 2)
    out, _ = reader.communicate(timeout=30)
    return [float(line.split()[1]) for line in out.split("\n") if line.strip()]


def measure(args, folder):
    count = 300 if args.smoke else 6000
    config = str(ROOT / "configs" / "veltra1.yaml")
    tap = str(Path(args.floor_dir) / "wire_tap.so")
    with NetnsPair() as pair:
        for address in ("192.168.1.10/32", "192.168.1.5/32"):
            pair.run("a", ["ip", "addr", "add", address, "dev", "lo"], check=True)
        board = pair.popen("a", [str(Path(args.bin_dir) / "board_sim"), "--config", config, "--quiet"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if "ready" not in board.stdout.readline():
            raise RuntimeError("board_sim did not come up")
        floor = floor_trip(pair, args, count)
        local = run_controller(pair, "a", args, count, {"LD_PRELOAD": tap, "WIRE_TAP_FILE": f"{folder}/local.tap"},
                               config=config)
        service_env = pair.env()
        service_env.update({"LD_PRELOAD": tap, "WIRE_TAP_FILE": f"{folder}/remote.tap"})
        service = pair.popen("a", [str(Path(args.bin_dir) / "drivelink_dds"), config, "--name", "bench_bot",
                                   "--interface", INTERFACE],
                             env=service_env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        for line in service.stdout:
            if "serving robot" in line:
                break
        else:
            raise RuntimeError("drivelink_dds did not come up")
        remote = run_reader(pair, args, count)
        # One session after the other: the service is free again a lease after the first closed.
        python = run_controller(pair, "b", args, count, {})
    local_wire = wire_delays(local["changes"], f"{folder}/local.tap")
    remote_wire = wire_delays(remote["changes"], f"{folder}/remote.tap")
    python_wire = wire_delays(python["changes"], f"{folder}/remote.tap")
    sequences = remote["sequences"]
    periods = max(sequences) - min(sequences) + 1 if sequences else 0
    figures = []
    for stat, floor_value, local_value, age, wire, python_age, python_to_wire in zip(
            ("median", "p99"), percentiles(floor), percentiles(local_wire), percentiles(remote["ages"]),
            percentiles(remote_wire), percentiles(python["ages"]), percentiles(python_wire)):
        figures += [
            {"name": f"remote.floor.dds_one_way.{stat}", "value": floor_value, "unit": "us"},
            {"name": f"remote.local.command_to_wire.{stat}", "value": local_value, "unit": "us"},
            {"name": f"remote.sdk.state_age.{stat}", "value": age, "unit": "us"},
            {"name": f"remote.sdk.command_to_wire.{stat}", "value": wire, "unit": "us"},
            {"name": f"remote.python.state_age.{stat}", "value": python_age, "unit": "us"},
            {"name": f"remote.python.command_to_wire.{stat}", "value": python_to_wire, "unit": "us"},
        ]
    figures.append({"name": "remote.sdk.periods_reached_share",
                    "value": 100.0 * len(set(sequences)) / periods if periods else None, "unit": "%"})
    return figures


def main():
    args = parse_args()
    with tempfile.TemporaryDirectory(prefix="drivelink-remote-") as folder:
        try:
            figures = measure(args, folder)
        except NamespacesUnavailable as error:
            # No second host can be made here: the figures stay empty, the rest of the suite runs.
            print(f"bench_remote: skipped, {error}", file=sys.stderr)
            figures = []
    if args.json:
        json.dump(figures, sys.stdout, indent=2)
        print()
    else:
        for figure in figures:
            value = "-" if figure["value"] is None else f"{figure['value']:12.1f}"
            print(f"{figure['name']:<40} {value} {figure['unit']}")


if __name__ == "__main__":
    sys.exit(main())
