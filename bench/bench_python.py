#!/usr/bin/env python3
"""Python figure: ambulink's receive_observation() + send_command(...) on the 10-joint biped
and the 18-joint zenthi robot, ns per call pair, next to the bare pybind11 class of
python_floor that moves the same lists in and out; and receive_observation_array(out) into a
preallocated array next to the floor's function filling the same array. Batches of the two alternate so machine
noise hits both; the figure is the median over the batches of the mean per pair.

Each robot runs against the board simulator, with its link and watchdog threads working in
the background as they do under a real controller. Needs the link addresses: run it inside
scripts/netns-run.

    bench_python.py --lib-dir DIR --floor-dir DIR --bin-dir DIR [--smoke] [--json]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
ROBOTS = (("veltra1", 10), ("zenthi", 18))
READY_LINE = "board_sim: ready"


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lib-dir", default=str(ROOT / "lib"), help="folder of ambulink")
    parser.add_argument("--floor-dir", default=str(ROOT / "build" / "bench"), help="folder of python_floor")
    parser.add_argument("--bin-dir", default=str(ROOT / "bin"), help="folder of board_sim")
    parser.add_argument("--smoke", action="store_true", help="a very short pass")
    parser.add_argument("--json", action="store_true", help="figures as JSON on standard output")
    return parser.parse_args()


class BoardSimulator:
    """The board simulator for one configuration, up while the context lasts."""

    def __init__(self, bin_dir, config):
        self.command = [str(Path(bin_dir) / "board_sim"), "--config", str(config), "--quiet"]
        self.process = None

    def __enter__(self):
        self.process = subprocess.Popen(self.command, stdout=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 10.0
        for line in self.process.stdout:
            if READY_LINE in line:
                return self
            if time.monotonic() > deadline:
                break
        self.process.kill()
        raise RuntimeError("the board simulator did not start: " + " ".join(self.command))

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()


def time_pairs(receive, send, command, pairs):
    """Mean ns of one receive + send pair over `pairs` pairs."""
    start = time.perf_counter_ns()
    for _ in range(pairs):
        receive()
        send(*command)
    return (time.perf_counter_ns() - start) / pairs


def time_fills(fill, out, calls):
    """Mean ns of one fill of `out`."""
    start = time.perf_counter_ns()
    for _ in range(calls):
        fill(out)
    return (time.perf_counter_ns() - start) / calls


def measure_robot(ambulink, python_floor, bin_dir, name, joints, batches, pairs):
    """(SDK ns per pair, floor ns per pair, SDK ns per array fill, floor ns per array fill) for
    one robot."""
    with BoardSimulator(bin_dir, ROOT / "configs" / f"{name}.yaml"):
        robot = ambulink.Ambulink(str(ROOT / "configs" / f"{name}.yaml"))
        floor = python_floor.BareLists(joints)
        observation = robot.receive_observation()
        # Hold the present positions with moderate gains, as a standing controller would.
        command = ([20.0] * joints, [0.5] * joints, [observation[3 * i] for i in range(joints)],
                   [0.0] * joints, [0.0] * joints)
        out = np.zeros(3 * joints + 10)
        sdk_means, floor_means, sdk_fills, floor_fills = [], [], [], []
        for _ in range(batches):
            sdk_means.append(time_pairs(robot.receive_observation, robot.send_command, command, pairs))
            floor_means.append(time_pairs(floor.receive_observation, floor.send_command, command, pairs))
            sdk_fills.append(time_fills(robot.receive_observation_array, out, pairs))
            floor_fills.append(time_fills(floor.receive_observation_array, out, pairs))
        del robot
    return tuple(statistics.median(means) for means in (sdk_means, floor_means, sdk_fills, floor_fills))


def main():
    args = parse_args()
    sys.path[:0] = [args.lib_dir, args.floor_dir]
    import ambulink  # noqa: E402 (found through the folders given)
    import python_floor  # noqa: E402

    batches, pairs = (3, 200) if args.smoke else (30, 2000)
    figures = []
    # The robot layer prints its start-up lines; keep them off the figures when writing JSON.
    saved_stdout = os.dup(1)
    if args.json:
        os.dup2(2, 1)
    try:
        for name, joints in ROBOTS:
            sdk, floor, sdk_fill, floor_fill = measure_robot(ambulink, python_floor, args.bin_dir, name, joints,
                                                             batches, pairs)
            figures.append({"name": f"python.sdk.pair_n{joints}", "value": sdk, "unit": "ns"})
            figures.append({"name": f"python.floor.pair_n{joints}", "value": floor, "unit": "ns"})
            figures.append({"name": f"python.sdk.array_n{joints}", "value": sdk_fill, "unit": "ns"})
            figures.append({"name": f"python.floor.array_n{joints}", "value": floor_fill, "unit": "ns"})
    finally:
        sys.stdout.flush()
        os.dup2(saved_stdout, 1)
        os.close(saved_stdout)
    if args.json:
        json.dump(figures, sys.stdout, indent=2)
        print()
    else:
        for figure in figures:
            print(f"{figure['name']:<32} {figure['value']:12.1f} {figure['unit']}")


if __name__ == "__main__":
    main()
