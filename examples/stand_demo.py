#!/usr/bin/env python3
"""A polling-style controller: from the rest pose to standing, hold, a short squat, brake.

It talks to the robot only through ambulink, so the same script drives the board simulator
(scripts/demo) and a real robot:

    PYTHONPATH=lib python3 examples/stand_demo.py configs/veltra1.yaml   # or configs/zenthi.yaml

The standing pose and the gains are the robot family's (ambulink.robot_family: the biped's
two legs of five joints, or the zenthi robot's six legs of three), and they stand the physics
simulator's robot too. About every second it prints one status line for the time span since
the previous one: the phases in it, the mean tracking error and the link's health in
that span (replies received of the exchanges sent, timeouts, the median round trip). At the end a per-joint table of commanded against measured positions. It writes a CSV
of the run (and a PNG plot where matplotlib is installed) and exits non-zero when tracking or
the link failed.
"""

import argparse
import csv
import math
import os
import sys
import time

import ambulink

CONTROL_PERIOD = 0.002  # seconds
SQUAT_DEPTH = 0.25  # extra knee bend at the bottom of the squat, radians


# The squat of each family, per joint of one leg: the change per radian of squat depth. The
# biped's knee bends by the depth while hip pitch and ankle take half each back, so the foot
# stays level; the zenthi robot raises the femur and folds the tibia under it.
SQUAT_LEG = {"veltra1": [0.0, 0.0, -0.5, 1.0, -0.5], "zenthi": [0.0, 0.5, -1.0]}


def squat_offset(family, joint, depth):
    """Joint `joint`'s change from the stance at `depth` radians of squat."""
    leg = SQUAT_LEG[family.name]
    return leg[joint % len(leg)] * depth if joint < len(family.stand) else 0.0


def smooth_step(x):
    x = min(max(x, 0.0), 1.0)
    return 0.5 - 0.5 * math.cos(math.pi * x)


class Recorder:
    """Keeps the run for the CSV, the plot and the final table."""

    def __init__(self, names):
        self.n = len(names)
        self.names = names
        self.rows = []

    def add(self, t, phase, target, measured):
        self.rows.append((t, phase, list(target), list(measured)))

    def write_csv(self, path):
        with open(path, "w", newline="") as f:
            out = csv.writer(f)
            out.writerow(["time", "phase"] + [f"cmd{i}" for i in range(self.n)] + [f"pos{i}" for i in range(self.n)])
            for t, phase, target, measured in self.rows:
                out.writerow([f"{t:.4f}", phase] + [f"{v:.5f}" for v in target] + [f"{v:.5f}" for v in measured])

    def write_plot(self, path):
        try:
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            return False
        times = [row[0] for row in self.rows]
        shown = [j for j in range(self.n) if any(abs(r[2][j] - self.rows[0][2][j]) > 1e-3 for r in self.rows)] or [0]
        fig, axes = plt.subplots(len(shown), 1, figsize=(9, 1.8 * len(shown)), sharex=True, squeeze=False)
        for ax, j in zip(axes[:, 0], shown):
            ax.plot(times, [r[2][j] for r in self.rows], label="commanded")
            ax.plot(times, [r[3][j] for r in self.rows], "--", label="measured")
            ax.set_ylabel(f"{self.names[j]} [rad]")
        axes[0, 0].legend(loc="upper right")
        axes[-1, 0].set_xlabel("time [s]")
        fig.tight_layout()
        fig.savefig(path, dpi=90)
        return True


def link_health(stats):
    """One status-line figure from the SDK's link counters of a window."""
    if stats["exchanges"] == 0:
        return "link idle"
    share = 100.0 * stats["replies"] / stats["exchanges"]
    return (f"link {share:5.1f}% replies of {stats['exchanges']} exchanges, {stats['timeouts']} timeouts,"
            f" rtt {stats['rtt_median_us']:.0f} us")


class StatusWindow:
    """The polls since the last status line; the line names their time span and phases and
    the link's counters over the same span (the window resets them)."""

    def __init__(self, robot):
        self._robot = robot
        self._start_over()

    def _start_over(self):
        self.first = self.last = None
        self.errors, self.phases = [], []
        self._robot.reset_link_stats()

    def add(self, t, phase, error):
        if self.first is None:
            self.first = t
        self.last = t
        self.errors.append(error)
        if phase not in self.phases:
            self.phases.append(phase)

    def seconds(self):
        return 0.0 if self.first is None else self.last - self.first

    def report(self):
        if not self.errors:
            return
        print(f"[demo] {self.first:5.2f}-{self.last:5.2f}s  {', '.join(self.phases):<16}"
              f"  mean tracking error {sum(self.errors) / len(self.errors):.4f} rad"
              f"  {link_health(self._robot.link_stats())}", flush=True)
        self._start_over()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("config", help="robot configuration file (YAML)")
    parser.add_argument("--speed", type=float, default=1.0, help="time scale of the motion (2 = twice as fast)")
    parser.add_argument("--output", default="demo-output", help="folder for the CSV and the plot")
    parser.add_argument("--kp", type=float, help="position gain of every joint (default: the family's)")
    parser.add_argument("--kd", type=float, help="velocity gain of every joint (default: the family's)")
    parser.add_argument("--max-error", type=float, default=0.05, help="allowed mean tracking error while holding [rad]")
    parser.add_argument("--realtime-priority", type=int, default=0,
                        help="SCHED_FIFO priority of the link and watchdog threads (0: off)")
    args = parser.parse_args()

    robot = ambulink.Ambulink(args.config, realtime_priority=args.realtime_priority)
    family = ambulink.robot_family(robot.robot_type())
    n = robot.get_motor_num()
    names = [family.joint_name(j) for j in range(n)]
    print(f"[demo] {n} joints, SDK {robot.get_version()}", flush=True)

    def positions(observation):
        return observation[0:3 * n:3]

    rest = positions(robot.receive_observation())
    stand = family.standing_pose(rest)
    phases = [("stand up", 2.0 / args.speed), ("hold", 1.0 / args.speed), ("squat", 3.0 / args.speed), ("settle", 0.5)]
    kp, kd = family.gains(n)
    kp = [args.kp] * n if args.kp is not None else kp
    kd = [args.kd] * n if args.kd is not None else kd
    zeros = [0.0] * n
    recorder = Recorder(names)
    window = StatusWindow(robot)

    start = time.monotonic()
    next_tick = start
    hold_errors = []
    phase_start = 0.0
    for phase, duration in phases:
        while True:
            now = time.monotonic()
            t = now - start
            x = (t - phase_start) / duration
            if x >= 1.0:
                break
            if phase == "stand up":
                target = [r + (s - r) * smooth_step(x) for r, s in zip(rest, stand)]
            elif phase == "squat":
                depth = SQUAT_DEPTH * 0.5 * (1 - math.cos(2 * math.pi * x))
                target = [s + squat_offset(family, j, depth) for j, s in enumerate(stand)]
            else:
                target = stand
            robot.send_command(kp, kd, target, zeros, zeros)

            observation = robot.receive_observation()
            measured = positions(observation)
            error = sum(abs(a - b) for a, b in zip(target, measured)) / n
            window.add(t, phase, error)
            if phase in ("hold", "settle"):
                hold_errors.append(error)
            recorder.add(t, phase, target, measured)

            if window.seconds() >= 1.0:
                window.report()
            next_tick += CONTROL_PERIOD
            time.sleep(max(0.0, next_tick - time.monotonic()))
        phase_start += duration
    window.report()

    robot.brake()
    final = positions(robot.receive_observation())
    print("[demo] braked", flush=True)

    width = max(len(name) for name in names)
    print(f"\n{'joint':>5} {'name':<{width}} {'commanded':>10} {'measured':>10} {'error':>8}")
    for j in range(n):
        print(f"{j:>5} {names[j]:<{width}} {stand[j]:>10.4f} {final[j]:>10.4f} {final[j] - stand[j]:>8.4f}")

    os.makedirs(args.output, exist_ok=True)
    recorder.write_csv(os.path.join(args.output, "run.csv"))
    plotted = recorder.write_plot(os.path.join(args.output, "run.png"))
    print(f"\n[demo] wrote {args.output}/run.csv" + (f" and {args.output}/run.png" if plotted else ""))

    mean_hold_error = sum(hold_errors) / max(len(hold_errors), 1)
    linked = len(recorder.rows) > 0 and any(abs(a - b) > 1e-6 for a, b in zip(rest, final))
    print(f"[demo] mean tracking error while holding: {mean_hold_error:.4f} rad (allowed {args.max_error})")
    if not linked:
        print("[demo] FAILED: the robot never moved; is the board answering?")
        return 2
    if mean_hold_error > args.max_error:
        print("[demo] FAILED: tracking error too large")
        return 1
    print("[demo] done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
