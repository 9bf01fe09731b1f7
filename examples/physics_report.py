"""What the physics demo makes of a run: the truth file's torso pose laid over the controller's
own record, the verdict whether the robot stood, the summary, the plots and the pictures.

Its functions take the demo's Run: `samples` (t, phase, target, measured, IMU tilt),
`phase_spans()`, `braked_at`, `sim_offset` (None unless the controller knows the simulator's
time) and `plan` (`phases`, `joint_names`). Pushes are read from the truth file's push_f*
columns, so the verdict holds whoever scheduled them."""

import math
import os
import re
import shutil
import subprocess
import tempfile
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from truth_file import BASE_POSITION, BASE_QUATERNION, PUSH_FORCE, ROWS_PER_SECOND, TIME, motor_column, virtual_column

MAX_TILT_DEG = 20.0
MAX_HEIGHT_ERROR = 0.03  # metres, while holding the stand pose
HOLD_SETTLE = 0.5  # seconds into a hold phase before its height is judged
PUSH_RECOVERY = 1.0  # seconds after a push's end before the height is judged again
PUSH_SNAPSHOT_DELAY = 0.1  # s after a push's end its picture is taken: about the widest sway


def tilt_deg(qw, qx, qy, qz):
    """Angle between the body's up axis and the world's up axis, from a w x y z quaternion."""
    norm = qw * qw + qx * qx + qy * qy + qz * qz
    if norm <= 0.0:
        return float("nan")
    up_z = 1.0 - 2.0 * (qx * qx + qy * qy) / norm
    return math.degrees(math.acos(min(max(up_z, -1.0), 1.0)))


def torso_from_truth(row):
    """(height in m, tilt in degrees) of the torso in one truth row."""
    return row[BASE_POSITION[2]], tilt_deg(*(row[c] for c in BASE_QUATERNION))


def push_spans(truth_rows):
    """(start, end, (fx, fy, fz)) in simulator seconds of every push in the truth rows: a run of
    consecutive rows with the same force other than zero. A row is the force at its time, so a
    push ends one row period after its last row."""
    spans = []
    for row in truth_rows:
        force = tuple(row.get(column, 0.0) for column in PUSH_FORCE)
        if not any(force):
            continue
        if spans and spans[-1][2] == force and row[TIME] <= spans[-1][1] + 0.5 / ROWS_PER_SECOND:
            spans[-1][1] = row[TIME] + 1.0 / ROWS_PER_SECOND
        else:
            spans.append([row[TIME], row[TIME] + 1.0 / ROWS_PER_SECOND, force])
    return [tuple(span) for span in spans]


def push_text_of(push):
    """A push as the status lines and the summary name it: "30 N (+0, +30, +0) for 0.20 s"."""
    start, end, force = push
    magnitude = math.sqrt(sum(f * f for f in force))
    return f"{magnitude:.0f} N ({', '.join(f'{f:+.0f}' for f in force)}) for {end - start:.2f} s"


def after_a_push(t, pushes):
    """Whether simulator time t lies within a push or the PUSH_RECOVERY after it."""
    return any(start <= t <= end + PUSH_RECOVERY for start, end, _ in pushes)


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
    truth_t = np.array([r[TIME] for r in truth_rows])
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


def aligned_truth(run, truth, stand_pose):
    """(truth rows up to the brake, seconds from controller to simulator time), or (None, 0.0)
    when the truth file holds no rows."""
    truth.poll()
    if not truth.rows:
        return None, 0.0
    if run.sim_offset is not None:
        return truth.covering(run.sim_offset + run.braked_at), run.sim_offset
    # The joint that moves most on the way up tells the two clocks apart best.
    n = len(run.samples[0][3])
    moving = max(range(min(n, len(stand_pose))), key=lambda j: abs(stand_pose[j] - run.samples[0][3][j]))
    column = virtual_column(moving) if virtual_column(moving) in truth.rows[0] else motor_column(moving)
    offset = align_truth(run, truth.rows, column, moving)
    return truth.covering(offset + run.braked_at), offset


def judge(run, truth_rows, stand_height, offset):
    """Returns (fell, reasons, per-phase figures) from the torso's pose before the brake. A
    phase the truth file does not cover counts as a fall: the demo never claims what it did
    not see. The height is left alone during a push and for PUSH_RECOVERY after it (the
    tilt is not)."""
    fell, reasons, figures = False, [], []
    pushes = push_spans(truth_rows) if truth_rows else []
    for name, start, end in run.phase_spans():
        if name == "brake":
            continue
        phase = next((p for p in run.plan.phases if p.name == name), None)
        if truth_rows is not None:
            rows = [r for r in truth_rows if start + offset <= r[TIME] <= end + offset]
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
            judged = [h for r, (h, _) in zip(rows, poses)
                      if r[TIME] >= start + offset + HOLD_SETTLE and not after_a_push(r[TIME], pushes)]
            worst = max(judged, key=lambda h: abs(h - stand_height), default=None)
            if worst is not None and abs(worst - stand_height) > MAX_HEIGHT_ERROR:
                fell = True
                reasons.append(f"{name}: torso at {worst:.3f} m, stance {stand_height:.3f} m "
                               f"(off by more than {MAX_HEIGHT_ERROR * 100:.0f} cm)")
    return fell, reasons, figures


def push_recovery(truth_rows, push, stand_height):
    """How the torso took a push, from the push's start to PUSH_RECOVERY after its end: its
    largest sideways sway from where it was (m), its largest height change (m, from the stance
    when that is known) and tilt (degrees), its (height, tilt) at that end and whether it is
    back (upright, and within MAX_HEIGHT_ERROR of the stance when that is known)."""
    start, end, _ = push
    rows = [r for r in truth_rows if start <= r[TIME] <= end + PUSH_RECOVERY]
    poses = [torso_from_truth(r) for r in rows]
    x, y = (rows[0][BASE_POSITION[0]], rows[0][BASE_POSITION[1]])
    sway = max(math.hypot(r[BASE_POSITION[0]] - x, r[BASE_POSITION[1]] - y) for r in rows)
    reference = stand_height if stand_height is not None else poses[0][0]
    height, tilt = poses[-1]
    back = tilt <= MAX_TILT_DEG and (stand_height is None or abs(height - stand_height) <= MAX_HEIGHT_ERROR)
    return sway, max(abs(h - reference) for h, _ in poses), max(a for _, a in poses), (height, tilt), back


def print_summary(figures, truth_rows, stand_height, offset=0.0):
    """The per-phase table of torso height and tilt, a line per push (at controller time: the
    truth's time less `offset`) and where the stance height came from."""
    print("\n[demo] summary (torso " + ("from the simulator" if truth_rows else "tilt from the IMU") + ")")
    print(f"{'phase':<12} {'height [m]':>10} {'max tilt [deg]':>15}")
    for name, height, max_tilt in figures:
        height_text = f"{height:10.3f}" if not math.isnan(height) else f"{'-':>10}"
        print(f"{name:<12} {height_text} {max_tilt:15.1f}")
    for push in push_spans(truth_rows or []):
        sway, dip, tilted, (height, tilt), back = push_recovery(truth_rows, push, stand_height)
        print(f"[demo] push at {push[0] - offset:.2f} s: {push_text_of(push)}; torso swayed {100 * sway:.1f} cm, "
              f"height off by up to {100 * dip:.1f} cm, tilted up to {tilted:.1f} deg; {PUSH_RECOVERY:g} s after it "
              f"at {height:.3f} m, {tilt:.1f} deg: {'recovered' if back else 'NOT recovered'}")
    if stand_height is not None and truth_rows:
        print(f"[demo] stance height {stand_height:.3f} m (the model's stand keyframe)")
    elif truth_rows:
        print("[demo] stance height unknown (no --model with a stand keyframe): height not judged")


def write_plots(run, truth_rows, offset, stand_height, folder):
    """physics_torso.png (torso height and tilt, the pushes marked with the second after each
    that the judge leaves alone) and physics_tracking.png (moving joints)."""
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
        t = [r[TIME] - offset for r in truth_rows]
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
    for k, push in enumerate(push_spans(truth_rows or [])):
        for ax in (height_ax, tilt_ax):
            ax.axvspan(push[0] - offset, push[1] - offset, color="tab:orange", alpha=0.6, zorder=1,
                       label="push" if k == 0 else None)
            ax.axvspan(push[1] - offset, push[1] - offset + PUSH_RECOVERY, color="tab:orange", alpha=0.12, zorder=0)
        height_ax.annotate(push_text_of(push).split(" for ")[0], (push[0] - offset, 0.02), fontsize=6,
                           xycoords=height_ax.get_xaxis_transform(), color="tab:orange")
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


def render_pictures(run, truth_path, model, offset, folder, tool, pushes=()):
    """PNG snapshots at the end of each phase and just after each of `pushes` (push_spans(),
    simulator time), and an animated GIF, from the truth replayed through the model by
    render_truth. Returns the files written (none without the tool)."""
    if not tool or not Path(tool).exists():
        print(f"[demo] no pictures: {tool} is missing (build the render_truth target)")
        return []
    spans = run.phase_spans()
    snapshots = sorted([(name, end) for name, _, end in spans] +
                       [(f"push {k + 1}", end - offset + PUSH_SNAPSHOT_DELAY) for k, (_, end, _) in enumerate(pushes)],
                       key=lambda snapshot: snapshot[1])
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
