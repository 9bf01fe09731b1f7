#!/usr/bin/env python3
"""A polling-style controller: from the rest pose to standing, hold, a short squat, brake.

It talks to the robot only through ambulink, so the same script drives the board simulator
(scripts/demo) and a real robot:

    PYTHONPATH=lib python3 examples/stand_demo.py configs/veltra1.yaml

Every second it prints the time, the mean tracking error and the link health; at the end a
per-joint table of commanded against measured positions. It writes a CSV of the run (and a
PNG plot where matplotlib is installed) and exits non-zero when tracking or the link failed.
"""

import argparse
import csv
import math
import os
import sys
import time

import ambulink

CONTROL_PERIOD = 0.002  # seconds
# Virtual joints of one veltra leg when standing: hip yaw, hip roll, hip pitch, knee, ankle.
# The ankle keeps the sole level: hip pitch + knee + ankle = 0.4332 (the sole's own slope).
STAND_LEG = [0.0, 0.0, -0.35, 0.85, -0.0668]
SQUAT_DEPTH = 0.25  # extra knee bend at the bottom of the squat, radians


def standing_pose(rest, robot_joints):
    """Standing target per joint: veltra legs as above, every other joint keeps its rest value."""
    if robot_joints >= 10:
        return STAND_LEG + STAND_LEG + list(rest[10:])
    return list(rest)


def squat_offset(joint, depth):
    """Knee bends by `depth`, hip pitch and ankle take half each back so the foot stays level."""
    leg_joint = joint % 5 if joint < 10 else None
    return {2: -depth / 2, 3: depth, 4: -depth / 2}.get(leg_joint, 0.0)


def smooth_step(x):
    x = min(max(x, 0.0), 1.0)
    return 0.5 - 0.5 * math.cos(math.pi * x)


class Recorder:
    """Keeps the run for the CSV, the plot and the final table."""

    def __init__(self, n):
        self.n = n
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
            ax.set_ylabel(f"joint {j} [rad]")
        axes[0, 0].legend(loc="upper right")
        axes[-1, 0].set_xlabel("time [s]")
        fig.tight_layout()
        fig.savefig(path, dpi=90)
        return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("config", help="robot configuration file (YAML)")
    parser.add_argument("--speed", type=float, default=1.0, help="time scale of the motion (2 = twice as fast)")
    parser.add_argument("--output", default="demo-output", help="folder for the CSV and the plot")
    parser.add_argument("--kp", type=float, default=80.0, help="position gain of every joint")
    parser.add_argument("--kd", type=float, default=2.0, help="velocity gain of every joint")
    parser.add_argument("--max-error", type=float, default=0.05, help="allowed mean tracking error while holding [rad]")
    args = parser.parse_args()

    robot = ambulink.Ambulink(args.config)
    n = robot.get_motor_num()
    print(f"[demo] {n} joints, SDK {robot.get_version()}", flush=True)

    def positions(observation):
        return observation[0:3 * n:3]

    rest = positions(robot.receive_observation())
    stand = standing_pose(rest, n)
    phases = [("stand up", 2.0 / args.speed), ("hold", 1.0 / args.speed), ("squat", 3.0 / args.speed), ("settle", 0.5)]
    kp, kd, zeros = [args.kp] * n, [args.kd] * n, [0.0] * n
    recorder = Recorder(n)

    start = time.monotonic()
    next_tick = start
    next_status = start + 1.0
    window_errors, fresh, polls, last_observation = [], 0, 0, None
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
                target = [s + squat_offset(j, depth) for j, s in enumerate(stand)]
            else:
                target = stand
            robot.send_command(kp, kd, target, zeros, zeros)

            observation = robot.receive_observation()
            polls += 1
            fresh += observation != last_observation
            last_observation = observation
            measured = positions(observation)
            error = sum(abs(a - b) for a, b in zip(target, measured)) / n
            window_errors.append(error)
            if phase in ("hold", "settle"):
                hold_errors.append(error)
            recorder.add(t, phase, target, measured)

            if now >= next_status:
                health = 100.0 * fresh / max(polls, 1)
                print(f"[demo] t={t:5.2f}s  {phase:<8}  mean tracking error {sum(window_errors) / len(window_errors):.4f} rad"
                      f"  link {health:5.1f}% fresh observations", flush=True)
                window_errors, fresh, polls = [], 0, 0
                next_status += 1.0
            next_tick += CONTROL_PERIOD
            time.sleep(max(0.0, next_tick - time.monotonic()))
        phase_start += duration

    robot.brake()
    final = positions(robot.receive_observation())
    print("[demo] braked", flush=True)

    print(f"\n{'joint':>5} {'commanded':>10} {'measured':>10} {'error':>8}")
    for j in range(n):
        print(f"{j:>5} {stand[j]:>10.4f} {final[j]:>10.4f} {final[j] - stand[j]:>8.4f}")

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
