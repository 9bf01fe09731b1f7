#!/usr/bin/env python3
"""Collects the benchmark programs' figures from one run into one table: figure, SDK value,
floor measured in the same run, ratio, target.

    report.py RESULTS_DIR [--json FILE]

RESULTS_DIR holds exchange.json, link_loop.json, python.json, physics.json, black_box.json and remote.json (lists of
{name, value, unit})
and conversion.json, kinematics.json (Google Benchmark's JSON output). A missing file leaves
its rows out and is named on standard error.

The JSON written with --json is a list with one object per figure and the keys name, value,
floor, ratio, target and unit. `target` is the largest ratio that meets the goal; for a figure
whose floor is zero (allocations) the ratio is null and `target` is the largest value itself.
"""

import argparse
import json
import sys
from pathlib import Path

BUS_PERIOD_S = 0.0021


class Figures:
    """Every figure of one run by name; Google Benchmark results as '<benchmark name>' (CPU ns
    per iteration, which a busy machine disturbs less than wall time; the median when
    repetitions ran) and '<benchmark name>:<counter>'."""

    def __init__(self, results_dir):
        self.values = {}
        self.missing = []
        for name in ("exchange", "link_loop", "loaded", "loaded_rt", "stalls", "python", "physics", "black_box", "remote"):
            for figure in self._load(results_dir / f"{name}.json") or []:
                self.values[figure["name"]] = figure["value"]
        for name in ("conversion", "kinematics"):
            self._load_benchmarks(self._load(results_dir / f"{name}.json"))

    def _load(self, path):
        try:
            return json.loads(path.read_text())
        except (OSError, ValueError):
            self.missing.append(path.name)
            return None

    def _load_benchmarks(self, document):
        for run in (document or {}).get("benchmarks", []):
            aggregate = run.get("aggregate_name")
            if aggregate not in (None, "median"):
                continue
            name = run.get("run_name", run["name"])
            if aggregate is None and name in self.values:
                continue  # a later repetition; the median row is taken when present
            scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[run.get("time_unit", "ns")]
            self.values[name] = run["cpu_time"] * scale
            for counter in ("allocs_per_call",):
                if counter in run:
                    self.values[f"{name}:{counter}"] = run[counter]

    def get(self, name):
        return self.values.get(name)


JSON_KEYS = ("name", "value", "floor", "ratio", "target", "unit")


def row(name, label, value, floor, target, unit):
    """One figure: `name` is its stable key for comparisons between commits, `label` its text
    in the table."""
    ratio = None
    if value is not None and floor not in (None, 0):
        ratio = value / floor
    return {"name": name, "label": label, "value": value, "floor": floor, "ratio": ratio, "target": target,
            "unit": unit}


def exchange_rows(f):
    rows = []
    for mode in ("back_to_back", "paced"):
        for stat, target in (("median", 1.2), ("p99", 1.2), ("p99_9", None)):
            label = f"1 exchange round trip, {mode.replace('_', ' ')}, {stat.replace('_', '.')}"
            rows.append(row(f"exchange.{mode}.{stat}", label, f.get(f"exchange.sdk.{mode}.{stat}"),
                            f.get(f"exchange.floor.{mode}.{stat}"), target, "us"))
    # The flight recorder on: the floor is the same SDK with it off, in the same rounds.
    for mode in ("back_to_back", "paced"):
        rows.append(row(f"exchange.recording.{mode}.median",
                        f"1 exchange round trip, recording on vs off, {mode.replace('_', ' ')}, median",
                        f.get(f"exchange.sdk_recording.{mode}.median"), f.get(f"exchange.sdk.{mode}.median"),
                        1.05, "us"))
    # The SDK against the bare client on the same simulator in the same rounds (pinned unless
    # --no-pin): what the SDK itself adds to an exchange.
    for mode in ("back_to_back", "paced"):
        rows.append(row(f"exchange.vs_bare_on_simulator.{mode}.median",
                        f"1 exchange round trip vs bare client on the simulator, {mode.replace('_', ' ')}, median",
                        f.get(f"exchange.sdk.{mode}.median"), f.get(f"exchange.bare_vs_simulator.{mode}.median"),
                        1.2, "us"))
    # Diagnosis: the bare client against the simulator shows how much of the gap is the
    # simulator's rather than the SDK's.
    for mode in ("back_to_back", "paced"):
        label = f"1 (bare client vs simulator), {mode.replace('_', ' ')}, median"
        rows.append(row(f"exchange.bare_vs_simulator.{mode}.median", label,
                        f.get(f"exchange.bare_vs_simulator.{mode}.median"), f.get(f"exchange.floor.{mode}.median"),
                        None, "us"))
    # The simulator with whole-body physics answers from its latest state, never waiting for a step.
    for mode in ("back_to_back", "paced"):
        label = f"1 (bare client vs physics simulator), {mode.replace('_', ' ')}, median"
        rows.append(row(f"exchange.bare_vs_physics.{mode}.median", label,
                        f.get(f"exchange.bare_vs_physics.{mode}.median"), f.get(f"exchange.floor.{mode}.median"),
                        1.5, "us"))
    return rows


def physics_rows(f):
    # Wall time per simulated second, headless and flat out with the shipped actuators: the goal
    # of five times real time is at most 0.2.
    return [row(f"physics.wall_per_sim_second.{robot}",
                f"6 physics wall time per simulated second, {robot}, shipped actuators",
                f.get(f"physics.wall_per_sim_second.{robot}"), None, 0.2, "s/s") for robot in ("veltra1", "zenthi")]


def link_loop_rows(f):
    rows = []
    for stat, target in (("median", None), ("p99", 1.5), ("p99_9", None), ("max", None)):
        rows.append(row(f"link_loop.start_late.{stat}", f"2 link loop start late, {stat.replace('_', '.')}",
                        f.get(f"link_loop.sdk.start_late.{stat}"), f.get(f"link_loop.floor.start_late.{stat}"),
                        target, "us"))
    rows.append(row("link_loop.missed_cycles", "2 link loop missed cycles", f.get("link_loop.sdk.missed_cycles"),
                    f.get("link_loop.floor.missed_cycles"), None, "count"))
    rows.append(row("link_loop.replies_timed_out", "2 link loop replies later than 2 ms",
                    f.get("link_loop.sdk.replies_timed_out"), None, None, "count"))
    # The floor of the link thread's CPU: the bare timer loop plus one bare exchange per period.
    timer_cpu = f.get("link_loop.floor.thread_cpu")
    exchange_cpu_us = f.get("exchange.floor.paced.cpu_per_exchange")
    cpu_floor = None
    if timer_cpu is not None and exchange_cpu_us is not None:
        cpu_floor = timer_cpu + exchange_cpu_us / 1000.0 / BUS_PERIOD_S
    rows.append(row("link_loop.cpu.link_thread", "2 link loop CPU, link thread", f.get("link_loop.sdk.thread_cpu"),
                    cpu_floor, 1.5, "ms/s"))
    rows.append(row("link_loop.cpu.all_sdk_threads", "2 link loop CPU, all SDK threads",
                    f.get("link_loop.sdk.all_threads_cpu"), cpu_floor, None, "ms/s"))
    return rows


def loaded_rows(f):
    """The link loop under load, each figure against the same run's unloaded SDK. Targets only
    with the real-time option: missed cycles at most 0.1 % of the grid points, start lateness p99 at most twice the
    unloaded, the link thread's CPU at most 1.5 times the unloaded."""
    rows = []
    for name, label, rt in (("link_loaded", "without real time", False), ("link_loaded_rt", "link_priority", True)):
        cycles = f.get(f"{name}.sdk.cycles")
        missed = f.get(f"{name}.sdk.missed_cycles")
        share = 100.0 * missed / (cycles + missed) if cycles and missed is not None else None
        unloaded_cycles = f.get("link_loop.sdk.cycles")
        unloaded_missed = f.get("link_loop.sdk.missed_cycles")
        unloaded_share = 100.0 * unloaded_missed / (unloaded_cycles + unloaded_missed) \
            if unloaded_cycles and unloaded_missed is not None else None
        # The unloaded share is shown as the floor, but the target is on the share itself.
        share_row = row(f"{name}.missed_share", f"7 loaded, {label}: missed cycles share", share, None,
                        0.1 if rt else None, "%")
        share_row["floor"] = unloaded_share
        rows.append(share_row)
        rows.append(row(f"{name}.start_late.p99", f"7 loaded, {label}: start late p99",
                        f.get(f"{name}.sdk.start_late.p99"), f.get("link_loop.sdk.start_late.p99"),
                        2.0 if rt else None, "us"))
        rows.append(row(f"{name}.round_trip.p99", f"7 loaded, {label}: round trip p99",
                        f.get(f"{name}.sdk.round_trip.p99"), f.get("link_loop.sdk.round_trip.p99"), None, "us"))
        rows.append(row(f"{name}.cpu.link_thread", f"7 loaded, {label}: CPU, link thread",
                        f.get(f"{name}.sdk.thread_cpu"), f.get("link_loop.sdk.thread_cpu"),
                        1.5 if rt else None, "ms/s"))
        rows.append(row(f"{name}.link_lost", f"7 loaded, {label}: links the watchdog declared lost",
                        f.get(f"{name}.sdk.link_lost"), None, None, "count"))
    # No priority avoids these: a link cycle caught in a stall of most of a period misses its grid point.
    rows.append(row("stalls_loaded.over_period_share", "7 loaded, machine stalls of 0.9 periods or more",
                    f.get("stalls_loaded.over_0_9_period_share"), None, None, "%"))
    rows.append(row("stalls_loaded.longest", "7 loaded, longest machine stall", f.get("stalls_loaded.longest"), None,
                    None, "us"))
    return rows


def conversion_rows(f):
    rows = []
    for robot, joints in (("veltra1", 10), ("zenthi", 18)):
        rows.append(row(f"conversion.get_state_set_command.{robot}", f"3 getState + setCommand, {robot} (n={joints})",
                        f.get(f"BM_GetStateSetCommand/{robot}"), None, None, "ns"))
    rows.append(row("conversion.switch_leg_joint_jacobian", "3 switchLegJoint + Jacobian (peer: KDL FK + Jacobian)",
                    f.get("BM_SwitchLegJointWithJacobian"), f.get("BM_KdlFkJacobian"), 0.5, "ns"))
    rows.append(row("conversion.lu_inverse_5x5", "3 5x5 LU inverse", f.get("BM_LuInverse5x5"), None, None, "ns"))
    return rows


def python_rows(f):
    rows = [row(f"python.observation_command.n{n}", f"4 Python observation + command, n={n}",
                f.get(f"python.sdk.pair_n{n}"), f.get(f"python.floor.pair_n{n}"), 2.0, "ns") for n in (10, 18)]
    rows += [row(f"python.observation_array.n{n}", f"4 Python observation into an array, n={n}",
                 f.get(f"python.sdk.array_n{n}"), f.get(f"python.floor.array_n{n}"), 1.2, "ns") for n in (10, 18)]
    return rows


def allocation_rows(f):
    rows = [row("allocations.link_thread_per_exchange", "5 allocations per exchange, link thread",
                f.get("link_loop.sdk.allocations_per_exchange"), 0, 0, "count")]
    for name, label in (("sdk", "recording off"), ("sdk_recording", "recording on")):
        rows.append(row(f"allocations.exchange.{name}", f"5 allocations per exchange, {label}",
                        f.get(f"exchange.{name}.allocations_per_exchange"), 0, 0, "count"))
    for robot in ("veltra1", "zenthi"):
        for operation in ("GetState", "SetCommand"):
            label = "getState" if operation == "GetState" else "setCommand"
            rows.append(row(f"allocations.{label}.{robot}", f"5 allocations per {label}, {robot}",
                            f.get(f"BM_{operation}/{robot}:allocs_per_call"), 0, None, "count"))
    return rows


def black_box_rows(f):
    # The floor is the same exchanging thread with the black box paused, in the same rounds.
    return [
        row("black_box.cpu_per_exchange", "8 black box on vs off, CPU per exchange",
            f.get("black_box.cpu_per_exchange.on"), f.get("black_box.cpu_per_exchange.off"), 1.05, "us"),
        row("allocations.black_box_per_exchange", "8 allocations per exchange, black box on",
            f.get("black_box.allocations_per_exchange"), 0, 0, "count"),
        row("allocations.robot_threads_command_timeout", "8 allocations per exchange, robot, command timeout on",
            f.get("black_box.robot_allocations_per_exchange"), 0, 0, "count"),
    ]


def remote_rows(f):
    """The robot on DDS across two namespaces. The state's age at the remote reader against a
    bare DDS one-way trip of the same message; command to wire against that trip plus the
    local command-to-wire time; both of the same run. The share of link periods whose state
    never reached the remote reader: the goal of at least 99 % reached is at most 1 % missed.
    The reader with the goals is C++; the same loop in Python adds rows without a target, to
    show what the interpreter costs a Python controller."""
    rows = []
    for stat in ("median", "p99"):
        trip = f.get(f"remote.floor.dds_one_way.{stat}")
        local = f.get(f"remote.local.command_to_wire.{stat}")
        rows.append(row(f"remote.state_age.{stat}", f"9 remote state age at the reader, {stat}",
                        f.get(f"remote.sdk.state_age.{stat}"), trip, 1.5, "us"))
        rows.append(row(f"remote.command_to_wire.{stat}", f"9 remote command to wire (floor: DDS trip + local), {stat}",
                        f.get(f"remote.sdk.command_to_wire.{stat}"),
                        trip + local if trip is not None and local is not None else None, 1.5, "us"))
    for stat in ("median", "p99"):
        rows.append(row(f"remote.python.state_age.{stat}", f"9 remote state age at a Python reader, {stat}",
                        f.get(f"remote.python.state_age.{stat}"), f.get(f"remote.floor.dds_one_way.{stat}"),
                        None, "us"))
        rows.append(row(f"remote.python.command_to_wire.{stat}", f"9 remote command to wire from Python, {stat}",
                        f.get(f"remote.python.command_to_wire.{stat}"), None, None, "us"))
    reached = f.get("remote.sdk.periods_reached_share")
    rows.append(row("remote.periods_missed_share", "9 remote link periods whose state missed the reader",
                    None if reached is None else 100.0 - reached, None, 1.0, "%"))
    return rows


def verdict(r):
    if r["target"] is None or r["value"] is None:
        return ""
    measured = r["ratio"] if r["ratio"] is not None else r["value"]
    return "met" if measured <= r["target"] else "MISSED"


def cell(value, digits=2):
    if value is None:
        return "-"
    return f"{value:.{digits}f}"


def target_text(r):
    if r["target"] is None:
        return "-"
    return f"<= {r['target']:g}x" if r["ratio"] is not None else f"<= {r['target']:g}"


def print_table(rows):
    header = f"{'figure':<56} {'SDK':>10} {'floor':>10} {'ratio':>7} {'target':>9} {'unit':>6}"
    print(header)
    print("-" * (len(header) + 8))
    for r in rows:
        print(f"{r['label']:<56} {cell(r['value']):>10} {cell(r['floor']):>10} {cell(r['ratio']):>7} "
              f"{target_text(r):>9} {r['unit']:>6}  {verdict(r)}")


def main():
    parser = argparse.ArgumentParser(description="One table of every benchmark figure of a run.")
    parser.add_argument("results_dir", type=Path)
    parser.add_argument("--json", type=Path, help="also write the table as JSON to this file")
    args = parser.parse_args()

    figures = Figures(args.results_dir)
    rows = exchange_rows(figures) + link_loop_rows(figures) + loaded_rows(figures) + conversion_rows(figures) \
        + python_rows(figures) + allocation_rows(figures) + physics_rows(figures) + black_box_rows(figures) \
        + remote_rows(figures)
    print_table(rows)
    if figures.missing:
        print("missing results: " + ", ".join(figures.missing), file=sys.stderr)
    if args.json:
        records = [{key: r[key] for key in JSON_KEYS} for r in rows]
        args.json.write_text(json.dumps(records, indent=2) + "\n")
    return 1 if figures.missing else 0


if __name__ == "__main__":
    sys.exit(main())
