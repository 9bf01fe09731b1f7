#!/usr/bin/env python3
"""A polling-style controller: from the rest pose to standing, hold, a short squat, brake.

It talks to the robot only through ambulink, so the same script drives the board simulator
(scripts/demo) and a real robot:

    PYTHONPATH=lib python3 examples/stand_demo.py configs/veltra1.yaml   # or configs/zenthi.yaml

The poses follow the configuration's robot family (the biped's two legs of five joints, or the
zenthi robot's six legs of three). About every second it prints one status line for the time
span since the previous one: the phases in it, the mean tracking error and the link's health in
that span (replies received of the exchanges sent, timeouts, the median round trip). At the end a per-joint table of commanded against measured positions. It writes a CSV
of the run (and a PNG plot where matplotlib is installed) and exits non-zero when tracking or
the link failed.
"""

import argparse
import csv
import math
import os
import re
import sys
import time

import ambulink

CONTROL_PERIOD = 0.002  # seconds
SQUAT_DEPTH = 0.25  # extra knee bend at the bottom of the squat, radians


class Family:
    """One robot family's legs: joint names, the standing pose and the squat, per leg."""

    def __init__(self, leg_names, joint_names, stand_leg, squat_leg):
        self.leg_names = leg_names      # in joint order
        self.joint_names = joint_names  # of one leg, in joint order
        self.stand_leg = stand_leg      # radians, virtual joints, inside every limit
        self.squat_leg = squat_leg      # change per radian of squat depth

    @property
    def leg_joints(self):
        return len(self.joint_names) * len(self.leg_names)

    def joint_name(self, joint):
        if joint >= self.leg_joints:
            return f"joint {joint}"
        leg, within = divmod(joint, len(self.joint_names))
        return f"{self.leg_names[leg]} {self.joint_names[within]}"

    def standing_pose(self, rest):
        """Legs stand as above; joints past the legs keep their rest value."""
        legs = min(len(rest), self.leg_joints) // len(self.stand_leg)
        return self.stand_leg * legs + list(rest[legs * len(self.stand_leg):])

    def squat_offset(self, joint, depth):
        return self.squat_leg[joint % len(self.squat_leg)] * depth if joint < self.leg_joints else 0.0


FAMILIES = {
    # Biped: joints 0-4 left leg, 5-9 right leg. Standing, the ankle keeps the sole level:
    # hip pitch + knee + ankle = 0.4332 (the sole's own slope). In the squat the knee bends by
    # the depth, hip pitch and ankle take half each back so the foot stays level.
    "veltra": Family(["left", "right"], ["hip yaw", "hip roll", "hip pitch", "knee", "ankle"],
                     [0.0, 0.0, -0.35, 0.85, -0.0668], [0.0, 0.0, -0.5, 1.0, -0.5]),
    # Six legs of three directly driven joints; the knee is always bent (-160 to -30 degrees).
    "zenthi": Family([f"leg {k}" for k in range(1, 7)], ["abduction", "hip", "knee"],
                     [0.0, 0.8, -1.5], [0.0, 0.5, -1.0]),
}


def robot_family(config):
    """The family named by the configuration's robot_type (veltra1, veltra1L, zenthi, zenthi_v2)."""
    with open(config) as f:
        match = re.search(r"^robot_type:\s*(\w+)", f.read(), re.M)
    name = match.group(1) if match else ""
    for family in FAMILIES:
        if name.startswith(family):
            return FAMILIES[family]
    raise SystemExit(f"[demo] unknown robot_type {name!r} in {config}")


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
    parser.add_argument("--kp", type=float, default=80.0, help="position gain of every joint")
    parser.add_argument("--kd", type=float, default=2.0, help="velocity gain of every joint")
    parser.add_argument("--max-error", type=float, default=0.05, help="allowed mean tracking error while holding [rad]")
    parser.add_argument("--realtime-priority", type=int, default=0,
                        help="SCHED_FIFO priority of the link and watchdog threads (0: off)")
    args = parser.parse_args()

    family = robot_family(args.config)
    robot = ambulink.Ambulink(args.config, realtime_priority=args.realtime_priority)
    n = robot.get_motor_num()
    names = [family.joint_name(j) for j in range(n)]
    print(f"[demo] {n} joints, SDK {robot.get_version()}", flush=True)

    def positions(observation):
        return observation[0:3 * n:3]

    rest = positions(robot.receive_observation())
    stand = family.standing_pose(rest)
    phases = [("stand up", 2.0 / args.speed), ("hold", 1.0 / args.speed), ("squat", 3.0 / args.speed), ("settle", 0.5)]
    kp, kd, zeros = [args.kp] * n, [args.kd] * n, [0.0] * n
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
                target = [s + family.squat_offset(j, depth) for j, s in enumerate(stand)]
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
