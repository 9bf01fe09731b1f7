#!/usr/bin/env python3
"""A polling-style controller that stands a legged robot up from the ground, holds, squats,
stands again and brakes.

It drives the robot only through ambulink, so it runs unchanged on a real robot:

    PYTHONPATH=lib python3 examples/physics_demo.py configs/veltra1.yaml

Against the physics simulator (scripts/demo does this) it also reads the simulator's truth
file, the torso's real pose, to judge whether the robot stood:

    scripts/with-simulator --sim-args "--model models/veltra1.xml --start crouch \\
        --truth demo-output/truth.csv" configs/veltra1.yaml env PYTHONPATH=lib \\
        python3 examples/physics_demo.py configs/veltra1.yaml --truth demo-output/truth.csv \\
        --model models/veltra1.xml

Every second it prints the phase, torso height, tilt, tracking error and link health. At the
end it prints a summary and writes a CSV, plots and (with the simulator's model, bin/render_truth
and a display or xvfb-run) pictures of the robot into --output. It exits 1 when the robot fell
before the brake (torso tilt over 20 degrees, or torso height more than 3 cm from the commanded
stance while holding it) and 2 when the robot never moved (no link).
"""

import argparse
import csv
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from pathlib import Path

import ambulink

CONTROL_PERIOD = 0.002  # seconds
MAX_TILT_DEG = 20.0
MAX_HEIGHT_ERROR = 0.03  # metres, while holding the stand pose
HOLD_SETTLE = 0.5  # seconds into a hold phase before its height is judged
BRAKE_WATCH = 1.2  # seconds observed after the brake: over the truth file's one-second flush
ROOT = Path(__file__).resolve().parents[1]


@dataclass
class Phase:
    name: str
    seconds: float
    pose: str  # the pose reached at the phase's end (ramped to from the previous one)
    judge_height: bool = False  # a hold of the stand pose: its torso height is checked
    judge_tilt: bool = True  # False while the robot is still getting hold of itself


@dataclass
class RobotPlan:
    joint_names: list
    poses: dict  # pose name -> virtual joint positions
    kp: list
    kd: list
    phases: list


# Virtual joints of one veltra leg: hip yaw, hip roll, hip pitch, knee, ankle. The sole is level
# when hip pitch + knee + ankle = 0.4332 (the sole's own slope in the serial chain); these poses
# keep it level and the ankle under the hip.
def veltra_leg(hip_pitch, knee):
    return [0.0, 0.0, hip_pitch, knee, 0.4332 - hip_pitch - knee]


VELTRA_LEG_NAMES = ["hip yaw", "hip roll", "hip pitch", "knee", "ankle"]
VELTRA = RobotPlan(
    joint_names=[f"left {j}" for j in VELTRA_LEG_NAMES] + [f"right {j}" for j in VELTRA_LEG_NAMES],
    poses={
        "crouch": veltra_leg(-1.20, 2.00) * 2,
        "stand": veltra_leg(-0.50, 0.90) * 2,
        "squat": veltra_leg(-0.85, 1.50) * 2,
    },
    # A 20 kg robot: the pitch joints carry the weight, yaw and roll only keep the legs aligned.
    kp=[80.0, 150.0, 250.0, 250.0, 200.0] * 2,
    kd=[2.0, 3.0, 5.0, 5.0, 4.0] * 2,
    # The simulator holds the robot in its crouch until the first command; a real robot may have
    # been put down a little off it, so the crouch is taken first, then the robot stood up.
    phases=[
        Phase("crouch", 0.6, "crouch"),
        Phase("stand up", 3.0, "stand"),
        Phase("hold", 2.0, "stand", judge_height=True),
        Phase("squat", 2.0, "squat"),
        Phase("stand again", 2.0, "stand"),
        Phase("hold again", 1.5, "stand", judge_height=True),
    ],
)

# zenthi: six legs (left front, middle, rear, then right) of coxa, hip and knee, all driven
# directly. Hip 0 holds the femur level, knee 0 the tibia in line with it (it folds negative).
ZENTHI_LEGS = [f"{side} {place}" for side in ("left", "right") for place in ("front", "middle", "rear")]


def zenthi_pose(hip, knee):
    return [0.0, hip, knee] * 6


ZENTHI = RobotPlan(
    joint_names=[f"{leg} {j}" for leg in ZENTHI_LEGS for j in ("coxa", "hip", "knee")],
    poses={
        "tuck": zenthi_pose(1.30, -2.36),  # feet drawn in under the hips, just off the floor
        "stand": zenthi_pose(0.35, -1.95),
        "squat": zenthi_pose(0.70, -2.16),
    },
    kp=[60.0, 80.0, 80.0] * 6,
    kd=[2.0, 2.0, 2.0] * 6,
    phases=[
        Phase("tuck legs", 2.0, "tuck", judge_tilt=False),
        Phase("stand up", 3.0, "stand"),
        Phase("hold", 2.0, "stand", judge_height=True),
        Phase("squat", 2.0, "squat"),
        Phase("stand again", 2.0, "stand"),
        Phase("hold again", 1.5, "stand", judge_height=True),
    ],
)

PLANS = {"veltra1": VELTRA, "zenthi": ZENTHI}


def smooth_step(x):
    x = min(max(x, 0.0), 1.0)
    return 0.5 - 0.5 * math.cos(math.pi * x)


def tilt_deg(qw, qx, qy, qz):
    """Angle between the body's up axis and the world's up axis, from a w x y z quaternion."""
    norm = qw * qw + qx * qx + qy * qy + qz * qz
    if norm <= 0.0:
        return float("nan")
    up_z = 1.0 - 2.0 * (qx * qx + qy * qy) / norm
    return math.degrees(math.acos(min(max(up_z, -1.0), 1.0)))


class TruthFile:
    """The simulator's truth CSV, read as it grows (it is flushed about once a second)."""

    def __init__(self, path):
        self.path = path
        self.rows = []
        self._file = None
        self._columns = None
        self._partial = ""

    def poll(self):
        """Reads the rows written since the last call; returns the newest row or None."""
        if self._file is None:
            if not os.path.exists(self.path):
                return None
            self._file = open(self.path)
        self._partial += self._file.read()
        *lines, self._partial = self._partial.split("\n")
        for line in lines:
            if not line.strip():
                continue
            cells = line.split(",")
            if self._columns is None:
                self._columns = cells
            elif len(cells) == len(self._columns):
                self.rows.append({c: float(v) for c, v in zip(self._columns, cells)})
        return self.rows[-1] if self.rows else None

    def close(self):
        if self._file is not None:
            self._file.close()


def truth_covering(truth, until, patience=2.0):
    """The truth's rows once they reach simulator time `until` (the file is flushed about
    once a second), or all there are after `patience` seconds."""
    deadline = time.monotonic() + patience
    while (not truth.rows or truth.rows[-1]["t"] < until) and time.monotonic() < deadline:
        time.sleep(0.1)
        truth.poll()
    return truth.rows


def torso_from_truth(row):
    return row["base_z"], tilt_deg(row["base_qw"], row["base_qx"], row["base_qy"], row["base_qz"])


def parse_mjcf(path):
    """An MJCF file's root element. Comments are dropped first: MuJoCo's parser accepts "--"
    inside them, Python's does not."""
    return ElementTree.fromstring(re.sub(r"<!--.*?-->", "", Path(path).read_text(), flags=re.S))


def stand_height_from_model(model_path, key="stand"):
    """The torso height of the model's `stand` keyframe, or None when the model does not say.

    The keyframe's qpos starts with the torso's free joint when `root` is the first joint of
    the world body in document order (the model convention), so its third entry is the height."""
    def expanded(element, folder):
        for child in list(element):
            if child.tag == "include":
                included = parse_mjcf(folder / child.get("file"))
                yield from expanded(included, folder)
            else:
                yield child, folder

    def walk(element, folder):
        for child, where in expanded(element, folder):
            yield child
            yield from walk(child, where)

    path = Path(model_path)
    elements = list(walk(parse_mjcf(path), path.parent))
    bodies = next((e for e in elements if e.tag == "worldbody"), None)
    joints = [e for e in (walk(bodies, path.parent) if bodies is not None else []) if e.tag in ("joint", "freejoint")]
    keys = [e for e in elements if e.tag == "key" and e.get("name") == key]
    if not joints or joints[0].get("name") != "root" or not keys or not keys[0].get("qpos"):
        return None
    return float(keys[0].get("qpos").split()[2])


def link_health(robot, previous, fresh, polls):
    """One phrase about the link over the last second, and the counters to compare next time.

    Uses the SDK's link statistics where the module has them, otherwise the share of
    observations that changed since the previous poll."""
    stats_of = getattr(robot, "link_stats", None)
    if stats_of is None:
        return f"link {100.0 * fresh / max(polls, 1):5.1f}% fresh", previous
    stats = stats_of()
    last = previous or {k: 0 for k in stats}
    exchanges = stats["exchanges"] - last.get("exchanges", 0)
    replies = stats["replies"] - last.get("replies", 0)
    timeouts = stats["timeouts"] - last.get("timeouts", 0)
    return (f"link {replies}/{exchanges} replies, {timeouts} timeouts, "
            f"rtt p99 {stats['rtt_p99_us'] / 1000.0:.2f} ms"), stats


class Run:
    """Everything the controller saw, for the summary, the CSV and the plots."""

    def __init__(self, plan):
        self.plan = plan
        self.samples = []  # (t, phase, target, measured, imu tilt)
        self.braked_at = None

    def add(self, t, phase, target, measured, imu_tilt):
        self.samples.append((t, phase, list(target), list(measured), imu_tilt))

    def write_csv(self, path):
        n = len(self.plan.joint_names)
        with open(path, "w", newline="") as f:
            out = csv.writer(f)
            out.writerow(["time", "phase", "imu_tilt_deg"] + [f"cmd{i}" for i in range(n)] +
                         [f"pos{i}" for i in range(n)])
            for t, phase, target, measured, imu_tilt in self.samples:
                out.writerow([f"{t:.4f}", phase, f"{imu_tilt:.3f}"] + [f"{v:.5f}" for v in target] +
                             [f"{v:.5f}" for v in measured])

    def phase_spans(self):
        """(name, start, end) of every phase in controller time, brake included."""
        spans = []
        for t, phase, *_ in self.samples:
            if spans and spans[-1][0] == phase:
                spans[-1][2] = t
            else:
                spans.append([phase, t, t])
        return [tuple(s) for s in spans]


def align_truth(run, truth_rows, joint_column, joint_index):
    """Seconds to add to controller time to get simulator time.

    The simulator's clock started before the controller's, by any time: it holds the robot
    still until the first command. The offset is found by matching a moving joint's measured
    angle (the controller's observation) against the truth's, over the part of the run the
    truth already holds: first on a coarse grid, then finely around the best."""
    import numpy as np

    times = np.array([s[0] for s in run.samples])
    angles = np.array([s[3][joint_index] for s in run.samples])
    keep = slice(None, None, max(1, len(times) // 400))
    times, angles = times[keep], angles[keep]
    truth_t = np.array([r["t"] for r in truth_rows])
    truth_q = np.array([r[joint_column] for r in truth_rows])

    def mismatch(c):
        inside = times + c <= truth_t[-1]
        if inside.sum() < len(times) // 2:
            return float("inf")
        return np.mean(np.abs(np.interp(times[inside] + c, truth_t, truth_q) - angles[inside]))

    coarse = np.arange(0.0, max(0.0, truth_t[-1] - times[0]) + 0.05, 0.05)
    best = min(coarse, key=mismatch, default=0.0)
    fine = np.arange(max(0.0, best - 0.05), best + 0.05, 0.005)
    return float(min(fine, key=mismatch, default=best))


def judge(run, truth_rows, stand_height, offset):
    """Returns (fell, reasons, per-phase figures) from the torso's pose before the brake. A
    phase the truth file does not cover counts as a fall: the demo never claims what it did
    not see."""
    fell, reasons, figures = False, [], []
    for name, start, end in run.phase_spans():
        if name == "brake":
            continue
        phase = next((p for p in run.plan.phases if p.name == name), None)
        if truth_rows is not None:
            rows = [r for r in truth_rows if start + offset <= r["t"] <= end + offset]
            poses = [torso_from_truth(r) for r in rows]
        else:
            poses = [(float("nan"), s[4]) for s in run.samples if start <= s[0] <= end]
        if not poses:
            fell = True
            reasons.append(f"{name}: no truth recorded for it")
            continue
        heights = [h for h, _ in poses]
        max_tilt = max(tilt for _, tilt in poses)
        figures.append((name, sum(heights) / len(heights), max_tilt))
        if (phase is None or phase.judge_tilt) and max_tilt > MAX_TILT_DEG:
            fell = True
            reasons.append(f"{name}: torso tilted {max_tilt:.1f} deg (over {MAX_TILT_DEG:.0f})")
        if phase is not None and phase.judge_height and stand_height is not None and truth_rows is not None:
            judged = [h for r, (h, _) in zip(rows, poses) if r["t"] >= start + offset + HOLD_SETTLE]
            worst = max(judged, key=lambda h: abs(h - stand_height), default=None)
            if worst is not None and abs(worst - stand_height) > MAX_HEIGHT_ERROR:
                fell = True
                reasons.append(f"{name}: torso at {worst:.3f} m, stance {stand_height:.3f} m "
                               f"(off by more than {MAX_HEIGHT_ERROR * 100:.0f} cm)")
    return fell, reasons, figures


def write_plots(run, truth_rows, offset, stand_height, folder):
    """physics_torso.png (torso height and tilt) and physics_tracking.png (moving joints)."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return []
    written = []
    spans = run.phase_spans()

    def shade(ax):
        for k, (name, start, end) in enumerate(spans):
            if k % 2:
                ax.axvspan(start, end, color="0.92", zorder=0)

    fig, (height_ax, tilt_ax) = plt.subplots(2, 1, figsize=(9, 5), sharex=True)
    if truth_rows:
        t = [r["t"] - offset for r in truth_rows]
        poses = [torso_from_truth(r) for r in truth_rows]
        height_ax.plot(t, [h for h, _ in poses], label="torso height (simulator)")
        tilt_ax.plot(t, [a for _, a in poses], label="tilt (simulator)")
        if stand_height is not None:
            height_ax.axhspan(stand_height - MAX_HEIGHT_ERROR, stand_height + MAX_HEIGHT_ERROR, color="tab:green",
                              alpha=0.15, label="stance ± 3 cm")
    tilt_ax.plot([s[0] for s in run.samples], [s[4] for s in run.samples], "--", label="tilt (IMU)")
    tilt_ax.axhline(MAX_TILT_DEG, color="tab:red", lw=0.8, label="fall limit")
    for ax in (height_ax, tilt_ax):
        shade(ax)
    for name, start, end in spans:
        height_ax.text((start + end) / 2, 1.01, name, transform=height_ax.get_xaxis_transform(), ha="center",
                       fontsize=7)
    height_ax.set_ylabel("torso height [m]")
    tilt_ax.set_ylabel("tilt [deg]")
    tilt_ax.set_xlabel("time [s]")
    if truth_rows:
        height_ax.legend(loc="lower right", fontsize=7)
    tilt_ax.legend(loc="upper left", fontsize=7)
    fig.tight_layout()
    fig.savefig(folder / "physics_torso.png", dpi=90)
    plt.close(fig)
    written.append("physics_torso.png")

    names = run.plan.joint_names
    first = run.samples[0][2]
    moving = [j for j in range(len(names)) if any(abs(s[2][j] - first[j]) > 1e-3 for s in run.samples)]
    shown = [j for j in moving if j < len(names) // 2] or moving or [0]  # one leg (or side) is enough
    fig, axes = plt.subplots(len(shown), 1, figsize=(9, 1.6 * len(shown) + 0.6), sharex=True, squeeze=False)
    for ax, j in zip(axes[:, 0], shown):
        ax.plot([s[0] for s in run.samples], [s[2][j] for s in run.samples], label="commanded")
        ax.plot([s[0] for s in run.samples], [s[3][j] for s in run.samples], "--", label="measured")
        ax.set_ylabel(f"{names[j]}\n[rad]", fontsize=8)
        shade(ax)
    axes[0, 0].legend(loc="upper right", fontsize=7)
    axes[-1, 0].set_xlabel("time [s]")
    fig.tight_layout()
    fig.savefig(folder / "physics_tracking.png", dpi=90)
    plt.close(fig)
    written.append("physics_tracking.png")
    return written


def render_pictures(run, truth_path, model, offset, folder, tool):
    """PNG snapshots at the end of each phase and an animated GIF, from the truth replayed
    through the model by render_truth. Returns the files written (none without the tool)."""
    if not tool or not Path(tool).exists():
        print(f"[demo] no pictures: {tool} is missing (build the render_truth target)")
        return []
    spans = run.phase_spans()
    snapshots = [(name, end) for name, _, end in spans]
    movie = [spans[0][1] + 0.1 * k for k in range(int((spans[-1][2] - spans[0][1]) / 0.1))]
    times = [t + offset for _, t in snapshots] + [t + offset for t in movie]
    command = [str(tool), "--model", str(model), "--truth", str(truth_path), "--size", "480x400"]
    if not os.environ.get("DISPLAY"):
        if not shutil.which("xvfb-run"):
            print("[demo] no pictures: no display and no xvfb-run")
            return []
        command = ["xvfb-run", "-a"] + command
    with tempfile.TemporaryDirectory() as scratch:
        result = subprocess.run(command + ["--out", scratch] + [f"{t:.3f}" for t in times],
                                capture_output=True, text=True, timeout=300)
        if result.returncode != 0:
            print(f"[demo] no pictures: render_truth failed: {result.stderr.strip()}")
            return []
        from PIL import Image

        frames = [Image.open(os.path.join(scratch, f"frame_{k:03d}.ppm")).convert("RGB") for k in range(len(times))]
    written = []
    for (name, _), frame in zip(snapshots, frames):
        file = f"robot_{name.replace(' ', '_')}.png"
        frame.save(folder / file)
        written.append(file)
    strip = Image.new("RGB", (frames[0].width * len(snapshots), frames[0].height))
    for k in range(len(snapshots)):
        strip.paste(frames[k], (k * frames[0].width, 0))
    strip.save(folder / "robot_phases.png")
    written.append("robot_phases.png")
    movie_frames = [f.resize((f.width // 2, f.height // 2)) for f in frames[len(snapshots):]]
    if movie_frames:
        movie_frames[0].save(folder / "robot.gif", save_all=True, append_images=movie_frames[1:], duration=100,
                             loop=0)
        written.append("robot.gif")
    return written


def drive(robot, plan, args, truth):
    """Runs the phases and the brake; returns the Run."""
    n = robot.get_motor_num()
    run = Run(plan)
    scale = args.gain_scale
    kp = [k * scale for k in plan.kp[:n]] + [args.other_kp] * (n - len(plan.kp))
    kd = [k * scale for k in plan.kd[:n]] + [args.other_kd] * (n - len(plan.kd))
    zeros = [0.0] * n

    def observe():
        obs = robot.receive_observation()
        return obs, obs[0:3 * n:3], tilt_deg(*obs[3 * n + 6:3 * n + 10])

    def goal_of(phase):
        """The phase's pose for every joint; joints the plan does not name keep their start."""
        if not phase.pose:
            return None
        pose = plan.poses[phase.pose][:n]
        return pose + list(start_pose[len(pose):])

    observation, start_pose, _ = observe()
    previous_target = list(start_pose)
    start = time.monotonic()
    next_tick, next_status = start, start + 1.0
    window_errors, fresh, polls, stats = [], 0, 0, None
    phase_start = 0.0
    for phase in plan.phases + [Phase("brake", BRAKE_WATCH, "")]:
        duration = phase.seconds / args.speed if phase.name != "brake" else phase.seconds
        goal = goal_of(phase)
        if phase.name == "brake":
            robot.brake()
            run.braked_at = time.monotonic() - start
        while (t := time.monotonic() - start) < phase_start + duration:
            if goal is not None:
                x = smooth_step((t - phase_start) / duration)
                target = [a + (b - a) * x for a, b in zip(previous_target, goal)]
                robot.send_command(kp, kd, target, zeros, zeros)
            else:
                target = previous_target
            latest, measured, imu_tilt = observe()
            polls += 1
            fresh += latest != observation
            observation = latest
            window_errors.append(sum(abs(a - b) for a, b in zip(target, measured)) / n)
            run.add(t, phase.name, target, measured, imu_tilt)
            if time.monotonic() >= next_status:
                health, stats = link_health(robot, stats, fresh, polls)
                row = truth.poll() if truth else None
                height, tilt = torso_from_truth(row) if row else (None, imu_tilt)
                height_text = f"torso {height:5.3f} m" if height is not None else "torso   -    "
                print(f"[demo] t={t:5.1f}s  {phase.name:<11} {height_text}  tilt {tilt:5.1f} deg  "
                      f"tracking {sum(window_errors) / len(window_errors):.4f} rad  {health}", flush=True)
                window_errors, fresh, polls = [], 0, 0
                next_status += 1.0
            next_tick += CONTROL_PERIOD
            time.sleep(max(0.0, next_tick - time.monotonic()))
        phase_start += duration
        if goal is not None:
            previous_target = goal
    print("[demo] braked", flush=True)
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("config", help="robot configuration file (YAML)")
    parser.add_argument("--robot", choices=sorted(PLANS), help="robot family (default: from the joint count)")
    parser.add_argument("--truth", help="the simulator's truth CSV (torso pose); absent on a real robot")
    parser.add_argument("--model", help="the simulator's model (MJCF): stance height and pictures")
    parser.add_argument("--output", default="demo-output", help="folder for the CSV, plots and pictures")
    parser.add_argument("--speed", type=float, default=1.0, help="time scale of the motion (2 = twice as fast)")
    parser.add_argument("--gain-scale", type=float, default=1.0, help="multiplies every gain (0: limp robot)")
    parser.add_argument("--other-kp", type=float, default=20.0, help="position gain of joints outside the legs")
    parser.add_argument("--other-kd", type=float, default=1.0, help="velocity gain of joints outside the legs")
    parser.add_argument("--no-pictures", action="store_true", help="skip the rendered pictures")
    parser.add_argument("--render-tool", default=str(Path(os.environ.get("DRIVELINK_BIN_DIR", ROOT / "bin"))
                                                     / "render_truth"), help="the render_truth program")
    parser.add_argument("--realtime-priority", type=int, default=0,
                        help="SCHED_FIFO priority of the link and watchdog threads (0: off)")
    args = parser.parse_args()
    if not args.speed > 0:
        parser.error("--speed must be positive")

    robot = ambulink.Ambulink(args.config, realtime_priority=args.realtime_priority)
    n = robot.get_motor_num()
    family = args.robot or ("veltra1" if n <= 14 else "zenthi")
    plan = PLANS[family]
    print(f"[demo] {family}: {n} joints, SDK {robot.get_version()}, gains x{args.gain_scale:g}", flush=True)
    truth = TruthFile(args.truth) if args.truth else None

    run = drive(robot, plan, args, truth)
    del robot  # stops the link: the simulator may be stopped from here on

    folder = Path(args.output)
    folder.mkdir(parents=True, exist_ok=True)
    run.write_csv(folder / "physics_run.csv")
    truth_rows, offset, stand_height = None, 0.0, None
    if args.model:
        stand_height = stand_height_from_model(args.model)
    if truth:
        truth.poll()
        if truth.rows:
            # The joint that moves most on the way up tells the two clocks apart best.
            stand = plan.poses["stand"]
            moving = max(range(min(n, len(stand))), key=lambda j: abs(stand[j] - run.samples[0][3][j]))
            column = f"virtual{moving}" if f"virtual{moving}" in truth.rows[0] else f"motor{moving}"
            offset = align_truth(run, truth.rows, column, moving)
            truth_rows = truth_covering(truth, offset + run.braked_at)
        truth.close()

    fell, reasons, figures = judge(run, truth_rows, stand_height, offset)
    print("\n[demo] summary (torso " + ("from the simulator" if truth_rows else "tilt from the IMU") + ")")
    print(f"{'phase':<12} {'height [m]':>10} {'max tilt [deg]':>15}")
    for name, height, max_tilt in figures:
        height_text = f"{height:10.3f}" if not math.isnan(height) else f"{'-':>10}"
        print(f"{name:<12} {height_text} {max_tilt:15.1f}")
    if stand_height is not None and truth_rows:
        print(f"[demo] stance height {stand_height:.3f} m (the model's stand keyframe)")
    elif truth_rows:
        print("[demo] stance height unknown (no --model with a stand keyframe): height not judged")

    written = ["physics_run.csv"] + write_plots(run, truth_rows, offset, stand_height, folder)
    if truth_rows and args.model and not args.no_pictures:
        written += render_pictures(run, args.truth, args.model, offset, folder, args.render_tool)
    print(f"[demo] wrote {', '.join(str(folder / w) for w in written)}")

    first, last = run.samples[0][3], run.samples[-1][3]
    if all(abs(a - b) < 1e-6 for a, b in zip(first, last)):
        print("[demo] FAILED: the robot never moved; is the board answering?")
        return 2
    if fell:
        print("[demo] FAILED: the robot fell: " + "; ".join(reasons))
        return 1
    print("[demo] done: the robot stood, squatted and stood again")
    return 0


if __name__ == "__main__":
    sys.exit(main())
