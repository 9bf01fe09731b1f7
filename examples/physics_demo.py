#!/usr/bin/env python3
"""A polling-style controller that stands a legged robot up from the ground, holds, takes two
pushes, squats, stands again and brakes.

It drives the robot only through ambulink, so it runs unchanged on a real robot:

    PYTHONPATH=lib python3 examples/physics_demo.py configs/veltra1.yaml

Against the physics simulator (scripts/demo does this) it also reads the simulator's truth
file, the torso's real pose, to judge whether the robot stood:

    scripts/with-simulator --sim-args "--model models/veltra1.xml --start crouch --lockstep \\
        --truth demo-output/truth.csv $(PYTHONPATH=lib python3 examples/physics_demo.py \\
        configs/veltra1.yaml --push-options)" configs/veltra1.yaml env PYTHONPATH=lib \\
        python3 examples/physics_demo.py configs/veltra1.yaml --truth demo-output/truth.csv \\
        --model models/veltra1.xml --lockstep

With --lockstep the controller steps with the link: one command per reply, its time the reply's
sequence number x 2.1 ms, so against the simulator's --lockstep the robot moves the same way on
every run however busy the machine is. The robot's pushes come from the simulator (--push): the
plan's "take pushes" phase is where --push-options puts them.

Every second it prints the phase, torso height, tilt, tracking error and link health. At the
end it prints a summary and writes a CSV, plots and (with the simulator's model, bin/render_truth
and a display or xvfb-run) pictures of the robot into --output. It exits 1 when the robot fell
before the brake (torso tilt over 20 degrees, or torso height more than 3 cm from the commanded
stance while holding it, the second after each push excepted) and 2 when the robot never moved
(no link).
"""

import argparse
import csv
import math
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import ambulink
from physics_report import (aligned_truth, judge, print_summary, push_spans, push_text_of, render_pictures,
                            stand_height_from_model, tilt_deg, torso_from_truth, write_plots)
from truth_file import TruthFile

CONTROL_PERIOD = 0.002  # seconds
LINK_PERIOD = 0.0021  # s: one exchange of the link; in lockstep also one period of simulated time
LOCKSTEP_START = 1.0  # s of link time at which a lockstep run takes hold: the same on every run
REPLY_TIMEOUT = 5.0  # s a lockstep controller waits for the board's next reply
BRAKE_WATCH = 1.2  # seconds observed after the brake: over the truth file's one-second flush
ROOT = Path(__file__).resolve().parents[1]


@dataclass
class Phase:
    name: str
    seconds: float
    pose: str  # the pose reached at the phase's end (ramped to from the previous one)
    judge_height: bool = False  # a hold of the stand pose: its torso height is checked
    judge_tilt: bool = True  # False while the robot is still getting hold of itself
    pushes: tuple = ()  # (s into the phase at speed 1, (FX, FY, FZ) N in world axes, s it lasts)


@dataclass
class RobotPlan:
    family: ambulink.RobotFamily  # joint names, the standing pose and the gains that hold it
    poses: dict  # pose name -> virtual joint positions ("stand" is the family's)
    phases: list

    @property
    def joint_names(self):
        return self.family.joint_names


def family_plan(name, poses, phases):
    family = ambulink.robot_family(name)
    return RobotPlan(family, dict(poses, stand=family.stand), phases)


# Virtual joints of one veltra leg: hip yaw, hip roll, hip pitch, knee, ankle. The sole is level
# when hip pitch + knee + ankle = 0.4332 (the sole's own slope in the serial chain); these poses
# keep it level and the ankle under the hip, as the family's stance does.
def veltra_leg(hip_pitch, knee):
    return [0.0, 0.0, hip_pitch, knee, 0.4332 - hip_pitch - knee]


VELTRA = family_plan(
    "veltra1",
    poses={
        "crouch": veltra_leg(-1.20, 2.00) * 2,
        "squat": veltra_leg(-0.85, 1.50) * 2,
    },
    # The simulator holds the robot in its crouch until the first command; a real robot may have
    # been put down a little off it, so the crouch is taken first, then the robot stood up.
    phases=[
        Phase("crouch", 0.6, "crouch"),
        Phase("stand up", 3.0, "stand"),
        Phase("hold", 2.0, "stand", judge_height=True),
        # Sideways: the feet are 8 cm long, so a forward push of this size would topple it.
        Phase("take pushes", 4.5, "stand", judge_height=True,
              pushes=((0.5, (0.0, 25.0, 0.0), 0.2), (3.0, (0.0, -25.0, 0.0), 0.2))),
        Phase("squat", 2.0, "squat"),
        Phase("stand again", 2.0, "stand"),
        Phase("hold again", 1.5, "stand", judge_height=True),
    ],
)

# zenthi: six legs (left front, middle, rear, then right) of abduction, hip and knee, all
# driven directly. Hip 0 holds the femur level, knee 0 the tibia in line with it (it folds
# negative).
def zenthi_pose(hip, knee):
    return [0.0, hip, knee] * 6


ZENTHI = family_plan(
    "zenthi",
    poses={
        "tuck": zenthi_pose(1.30, -2.36),  # feet drawn in under the hips, just off the floor
        "squat": zenthi_pose(0.70, -2.16),
    },
    phases=[
        Phase("tuck legs", 2.0, "tuck", judge_tilt=False),
        Phase("stand up", 3.0, "stand"),
        Phase("hold", 2.0, "stand", judge_height=True),
        Phase("take pushes", 4.5, "stand", judge_height=True,
              pushes=((0.5, (0.0, 150.0, 0.0), 0.2), (3.0, (150.0, 0.0, 0.0), 0.2))),
        Phase("squat", 2.0, "squat"),
        Phase("stand again", 2.0, "stand"),
        Phase("hold again", 1.5, "stand", judge_height=True),
    ],
)

PLANS = {"veltra1": VELTRA, "zenthi": ZENTHI}


def push_options(plan, speed):
    """The simulator's --push options that push the robot where the plan says, in the simulated
    time of a lockstep run (its plan starts at LOCKSTEP_START)."""
    options, phase_start = [], LOCKSTEP_START
    for phase in plan.phases:
        for at, (fx, fy, fz), seconds in phase.pushes:
            options += ["--push", f"{phase_start + at / speed:.3f}:{fx:g},{fy:g},{fz:g}:{seconds:g}"]
        phase_start += phase.seconds / speed
    return options


# Two ways to keep time. The wall clock stays the default: a real robot and a free-running
# simulator move in real time whether or not the link thread keeps its pace, so the motion must
# follow the wall clock. Against a lockstep simulator the link's exchanges are the clock itself,
# and a controller paced by the wall clock would drift from it on a busy machine.
class WallClock:
    """A command every CONTROL_PERIOD of the wall clock; time in seconds since the start."""

    def __init__(self):
        self._start = self._next_tick = time.monotonic()
        self.sim_offset = None  # the simulator's clock is unknown: the truth file is aligned

    def now(self):
        return time.monotonic() - self._start

    def wait(self):
        self._next_tick += CONTROL_PERIOD
        time.sleep(max(0.0, self._next_tick - time.monotonic()))


class LinkClock:
    """Steps with the link: one command per reply, time the reply's sequence x LINK_PERIOD since
    the start. It starts at LOCKSTEP_START s of link time, so every run is the same; the robot
    stays held until then. sim_offset turns its time into the lockstep simulator's."""

    def __init__(self, robot):
        self._robot = robot
        self.sim_offset = 0.0
        while self.now() < LOCKSTEP_START:
            self.wait()
            robot.receive_observation()
        self.sim_offset = self.now()
        if self.sim_offset > LOCKSTEP_START + LINK_PERIOD:
            print(f"[demo] started late, at {self.sim_offset:.3f} s of link time", flush=True)

    def now(self):
        info = self._robot.last_observation_info()
        return (info[0] if info else 0) * LINK_PERIOD - self.sim_offset

    def wait(self):
        if not self._robot.wait_for_observation(REPLY_TIMEOUT):
            raise RuntimeError(f"the board sent no reply for {REPLY_TIMEOUT:g} s")


def smooth_step(x):
    x = min(max(x, 0.0), 1.0)
    return 0.5 - 0.5 * math.cos(math.pi * x)


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
        self.sim_offset = None  # s from controller to simulator time, when the clock knows it

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


def drive(robot, plan, args, truth):
    """Runs the phases and the brake; returns the Run."""
    n = robot.get_motor_num()
    run = Run(plan)
    family, scale = plan.family, args.gain_scale
    legs = min(n, len(family.stand))
    kp, kd = family.gains(n)
    kp = [k * scale for k in kp[:legs]] + [family.other_kp if args.other_kp is None else args.other_kp] * (n - legs)
    kd = [k * scale for k in kd[:legs]] + [family.other_kd if args.other_kd is None else args.other_kd] * (n - legs)
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

    clock = LinkClock(robot) if args.lockstep else WallClock()
    run.sim_offset = clock.sim_offset
    observation, start_pose, _ = observe()
    previous_target = list(start_pose)
    next_status = 1.0
    window_errors, fresh, polls, stats = [], 0, 0, None
    phase_start, pushes_seen = 0.0, 0
    for phase in plan.phases + [Phase("brake", BRAKE_WATCH, "")]:
        duration = phase.seconds / args.speed if phase.name != "brake" else phase.seconds
        goal = goal_of(phase)
        if phase.name == "brake":
            robot.brake()
            run.braked_at = clock.now()
        while (t := clock.now()) < phase_start + duration:
            if goal is not None:
                x = smooth_step((t - phase_start) / duration)
                target = [a + (b - a) * x for a, b in zip(previous_target, goal)]
                robot.send_command(kp, kd, target, zeros, zeros)
            else:
                target = previous_target
            clock.wait()
            latest, measured, imu_tilt = observe()
            polls += 1
            fresh += latest != observation
            observation = latest
            window_errors.append(sum(abs(a - b) for a, b in zip(target, measured)) / n)
            run.add(t, phase.name, target, measured, imu_tilt)
            if t >= next_status:
                health, stats = link_health(robot, stats, fresh, polls)
                row = truth.poll() if truth else None
                height, tilt = torso_from_truth(row) if row else (None, imu_tilt)
                height_text = f"torso {height:5.3f} m" if height is not None else "torso   -    "
                pushes = push_spans(truth.rows) if truth else []
                push_text = "".join(f"  push {push_text_of(p)}" for p in pushes[pushes_seen:])
                pushes_seen = len(pushes)
                print(f"[demo] t={t:5.1f}s  {phase.name:<11} {height_text}  tilt {tilt:5.1f} deg  "
                      f"tracking {sum(window_errors) / len(window_errors):.4f} rad  {health}{push_text}",
                      flush=True)
                window_errors, fresh, polls = [], 0, 0
                next_status += 1.0
        phase_start += duration
        if goal is not None:
            previous_target = goal
    print("[demo] braked", flush=True)
    return run


def demo_arguments(parser):
    """The demo's options other than how the robot is reached (shared by remote_stand_demo.py)."""
    parser.add_argument("--robot", choices=sorted(PLANS), help="robot family (default: the robot's robot_type's)")
    parser.add_argument("--truth", help="the simulator's truth CSV (torso pose); absent on a real robot")
    parser.add_argument("--model", help="the simulator's model (MJCF): stance height and pictures")
    parser.add_argument("--output", default="demo-output", help="folder for the CSV, plots and pictures")
    parser.add_argument("--speed", type=float, default=1.0, help="time scale of the motion (2 = twice as fast)")
    parser.add_argument("--gain-scale", type=float, default=1.0, help="multiplies every gain (0: limp robot)")
    parser.add_argument("--other-kp", type=float,
                        help="position gain of joints outside the legs (default: the family's)")
    parser.add_argument("--other-kd", type=float,
                        help="velocity gain of joints outside the legs (default: the family's)")
    parser.add_argument("--no-pictures", action="store_true", help="skip the rendered pictures")
    parser.add_argument("--render-tool", default=str(Path(os.environ.get("DRIVELINK_BIN_DIR", ROOT / "bin"))
                                                     / "render_truth"), help="the render_truth program")
    parser.add_argument("--lockstep", action="store_true",
                        help="step with the link (the simulator's --lockstep): one command per reply, time from "
                             f"its sequence number, the plan starting at {LOCKSTEP_START:g} s of link time")
    return parser


def run_demo(robot, args):
    """Stands `robot` up, holds, takes the pushes, squats, brakes, then judges and reports; the exit status."""
    n = robot.get_motor_num()
    family = args.robot or ambulink.robot_family(robot.robot_type()).name
    plan = PLANS[family]
    print(f"[demo] {family}: {n} joints, SDK {robot.get_version()}, gains x{args.gain_scale:g}", flush=True)
    truth = TruthFile(args.truth) if args.truth else None

    run = drive(robot, plan, args, truth)
    robot.close()  # stops the link: the simulator may be stopped from here on

    folder = Path(args.output)
    folder.mkdir(parents=True, exist_ok=True)
    run.write_csv(folder / "physics_run.csv")
    truth_rows, offset, stand_height = None, 0.0, None
    if args.model:
        stand_height = stand_height_from_model(args.model)
    if truth:
        truth_rows, offset = aligned_truth(run, truth, plan.poses["stand"])
        truth.close()
        for comment in truth.comments:  # a randomised body's drawn values, to repeat the run
            print(f"[demo] simulator: {comment.lstrip('#').strip()}")

    fell, reasons, figures = judge(run, truth_rows, stand_height, offset)
    print_summary(figures, truth_rows, stand_height, offset)

    written = ["physics_run.csv"] + write_plots(run, truth_rows, offset, stand_height, folder)
    if truth_rows and args.model and not args.no_pictures:
        written += render_pictures(run, args.truth, args.model, offset, folder, args.render_tool,
                                   push_spans(truth_rows))
    print(f"[demo] wrote {', '.join(str(folder / w) for w in written)}")

    first, last = run.samples[0][3], run.samples[-1][3]
    if all(abs(a - b) < 1e-6 for a, b in zip(first, last)):
        print("[demo] FAILED: the robot never moved; is the board answering?")
        return 2
    if fell:
        print("[demo] FAILED: the robot fell: " + "; ".join(reasons))
        return 1
    pushed = " and took its pushes" if truth_rows and push_spans(truth_rows) else ""
    print(f"[demo] done: the robot stood{pushed}, squatted and stood again")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("config", help="robot configuration file (YAML)")
    demo_arguments(parser)
    parser.add_argument("--realtime-priority", type=int, default=0,
                        help="SCHED_FIFO priority of the link and watchdog threads (0: off)")
    parser.add_argument("--push-options", action="store_true",
                        help="print the simulator's --push options for the plan's pushes in a lockstep run "
                             "(at this --speed) and exit")
    args = parser.parse_args()
    if not args.speed > 0:
        parser.error("--speed must be positive")
    if args.push_options:
        family = args.robot or ambulink.robot_family(ambulink.config_robot_type(args.config)).name
        print(" ".join(push_options(PLANS[family], args.speed)))
        return 0

    return run_demo(ambulink.Ambulink(args.config, realtime_priority=args.realtime_priority), args)


if __name__ == "__main__":
    sys.exit(main())
