"""The physics demo, shortened, against the simulator running the robot's model in lockstep (a
busy machine slows the run down but cannot change it): the robot gets up from the ground, stands
and takes its pushes, it keeps standing through a short link silence, a limp robot falls and
makes the demo fail, and the judge leaves the height alone just for the second after a push."""

import math
import os
import subprocess
import sys

import pytest

from conftest import BIN_DIR, LIB_DIR, ROOT, SIMULATOR_PRIORITY, config_path, fifo_permitted

SPEED = 2.0  # the demo's motion twice as fast: about 7 s of robot time
MAX_TILT_DEG = 20.0
MAX_HEIGHT_ERROR = 0.03

sys.path.insert(0, str(ROOT / "examples"))
from physics_demo import LOCKSTEP_START, PLANS, Phase, push_options  # noqa: E402
from physics_report import judge, push_spans, stand_height_from_model  # noqa: E402  (the demo's own)
from truth_file import ROWS_PER_SECOND, TIME, TruthFile, read_truth  # noqa: E402

ROBOTS = {"veltra1": "crouch", "zenthi": "lying"}


def run_physics_demo(start_board, tmp_path, robot="veltra1", sim_args=(), demo_args=("--no-pictures",)):
    model = str(ROOT / "models" / f"{robot}.xml")
    truth = tmp_path / "truth.csv"
    board = start_board(f"{robot}.yaml", "--model", model, "--start", ROBOTS[robot], "--truth", str(truth),
                        "--lockstep", *sim_args)
    env = dict(os.environ, PYTHONPATH=str(LIB_DIR))
    # Simulated time runs with the link, so a slow machine only makes the run take longer; the
    # link itself runs at the simulator's priority where granted, as scripts/demo runs it, so
    # that a busy machine does not starve it into the watchdog.
    realtime = ["--realtime-priority", str(SIMULATOR_PRIORITY)] if fifo_permitted(SIMULATOR_PRIORITY) else []
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "physics_demo.py"), config_path(f"{robot}.yaml"),
         "--truth", str(truth), "--model", model, "--output", str(tmp_path), "--speed", str(SPEED), "--lockstep",
         *realtime, *demo_args],
        env=env, capture_output=True, text=True, timeout=240)
    board.stop()  # writes the truth's tail
    return result, truth, model


def standing_seconds(rows, stand_height):
    """Simulator seconds in which the torso was upright at the stance height."""
    upright = 0
    for row in rows:
        tilt = math.degrees(math.acos(min(1.0, 1.0 - 2.0 * (row["base_qx"] ** 2 + row["base_qy"] ** 2))))
        upright += abs(row["base_z"] - stand_height) <= MAX_HEIGHT_ERROR and tilt <= MAX_TILT_DEG
    return upright / ROWS_PER_SECOND


@pytest.mark.parametrize("robot", sorted(ROBOTS))
def test_robot_gets_up_from_the_ground_holds_the_stance_and_takes_its_pushes(start_board, tmp_path, robot):
    result, truth, model = run_physics_demo(start_board, tmp_path, robot, push_options(PLANS[robot], SPEED), ())
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-2000:]
    assert "[demo] done" in result.stdout
    stand_height = stand_height_from_model(model)
    rows = read_truth(truth)
    assert rows[0]["base_z"] < stand_height - 0.05  # started on the ground
    # Stood through the holds: about 4 s of robot time at SPEED.
    assert standing_seconds(rows, stand_height) >= 3.5
    # Both pushes came in the phase that takes them, and the robot was back from each.
    plan = PLANS[robot].phases
    pushes_from = LOCKSTEP_START + sum(p.seconds for p in plan[:3]) / SPEED
    pushes = push_spans(rows)
    assert len(pushes) == 2 and all(pushes_from < start < pushes_from + plan[3].seconds / SPEED
                                    for start, _, _ in pushes), pushes
    assert result.stdout.count(": recovered") == 2, result.stdout[-3000:]
    pictures = ("physics_torso.png", "physics_tracking.png", "robot_push_2.png", "robot_phases.png", "robot.gif")
    assert all((tmp_path / name).exists() for name in pictures), result.stdout[-1000:]


def test_biped_keeps_standing_through_a_50_ms_link_silence(start_board, tmp_path):
    # At SPEED the first hold runs from about 2.8 s to 3.8 s after the robot's first frame.
    result, _, _ = run_physics_demo(start_board, tmp_path, sim_args=("--silent-window", "3200:50"))
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-2000:]
    assert "wait time out" in result.stdout  # the silence reached the SDK


def test_limp_robot_falls_and_the_demo_fails(start_board, tmp_path):
    # Without gains the demo never takes hold, so the simulator must not wait for it.
    result, _, _ = run_physics_demo(start_board, tmp_path, sim_args=("--release-at-start",),
                                    demo_args=("--no-pictures", "--gain-scale", "0"))
    assert result.returncode == 1, result.stdout[-3000:] + result.stderr[-2000:]
    assert "[demo] FAILED: the robot fell" in result.stdout


def test_a_push_shows_in_the_truth_and_moves_the_torso_its_way(start_board, tmp_path):
    # The robot lies released, unpowered; a forward push of 0.2 s at 0.5 s slides it along x.
    truth_path = tmp_path / "truth.csv"
    board = start_board("zenthi.yaml", "--model", str(ROOT / "models" / "zenthi.xml"), "--start", "lying",
                        "--release-at-start", "--truth", str(truth_path), "--push", "0.5:800,0,0:0.2")
    truth = TruthFile(str(truth_path))
    truth.covering(1.5, patience=60)
    truth.close()
    board.stop()
    rows = read_truth(truth_path)
    pushed = [row for row in rows if 0.52 <= row[TIME] <= 0.68]
    assert pushed and all(row["push_fx"] == 800 and row["push_fy"] == row["push_fz"] == 0 for row in pushed)
    assert all(row["push_fx"] == 0 for row in rows if row[TIME] < 0.49 or row[TIME] > 0.71)
    before = next(row for row in rows if row[TIME] >= 0.45)
    after = next(row for row in rows if row[TIME] >= 1.2)
    assert after["base_x"] - before["base_x"] > 0.05
    assert abs(after["base_y"] - before["base_y"]) < after["base_x"] - before["base_x"]


def test_a_bad_push_is_a_usage_error_naming_its_option():
    for option, value in (("--push", "0.5:800,0"), ("--random-pushes", "1:0:50"), ("--board-timeout-ms", "0")):
        result = subprocess.run([str(BIN_DIR / "board_sim"), "--config", config_path("veltra1.yaml"),
                                 "--model", str(ROOT / "models" / "veltra1.xml"), option, value],
                                capture_output=True, text=True, timeout=30)
        assert result.returncode == 2 and option in result.stderr, (option, result.stderr)


class _HeldRun:
    """A run that only holds the stance for four seconds, as judge() reads a Run."""

    class plan:
        phases = [Phase("hold", 4.0, "stand", judge_height=True)]

    def phase_spans(self):
        return [("hold", 0.0, 4.0)]


def test_the_judge_leaves_the_height_alone_for_a_second_after_a_push_and_no_longer():
    def rows(dip_from, push_at=1.0):
        """A stance at 0.5 m dipping 5 cm for 0.3 s, pushed for 0.2 s at push_at."""
        return [{TIME: k / ROWS_PER_SECOND, "base_z": 0.45 if dip_from <= k / ROWS_PER_SECOND < dip_from + 0.3 else 0.5,
                 "base_qw": 1.0, "base_qx": 0.0, "base_qy": 0.0, "base_qz": 0.0, "push_fx": 0.0,
                 "push_fy": 20.0 if push_at <= k / ROWS_PER_SECOND < push_at + 0.2 else 0.0, "push_fz": 0.0}
                for k in range(4 * ROWS_PER_SECOND)]

    fell, reasons, _ = judge(_HeldRun(), rows(dip_from=1.8), 0.5, 0.0)
    assert not fell, reasons
    fell, reasons, _ = judge(_HeldRun(), rows(dip_from=2.4), 0.5, 0.0)
    assert fell and "hold: torso at 0.450 m" in reasons[0], reasons
