"""The demo controller, shortened, against the simulated robots: it stands up, holds, squats,
brakes and reports success, with its CSV written."""

import csv
import os
import subprocess
import sys

from conftest import LIB_DIR, ROOT, config_path


def run_demo(tmp_path, *args, config="veltra1.yaml"):
    env = dict(os.environ, PYTHONPATH=str(LIB_DIR))
    return subprocess.run(
        [sys.executable, str(ROOT / "examples" / "stand_demo.py"), config_path(config),
         "--output", str(tmp_path), *args],
        env=env, capture_output=True, text=True, timeout=120)


def test_demo_stands_the_biped_up_and_exits_cleanly(start_board, tmp_path):
    start_board("veltra1.yaml")
    result = run_demo(tmp_path, "--speed", "4")
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-2000:]
    assert "[demo] done" in result.stdout
    assert "[demo] braked" in result.stdout
    assert "mean tracking error" in result.stdout

    with open(tmp_path / "run.csv") as f:
        rows = list(csv.DictReader(f))
    phases = [row["phase"] for row in rows]
    assert phases[0] == "stand up" and phases[-1] == "settle"
    assert {"hold", "squat"} <= set(phases)
    last = rows[-1]
    # Holding the stand pose: the left knee ends where it was commanded.
    assert abs(float(last["cmd3"]) - float(last["pos3"])) < 0.05


def test_demo_stands_the_zenthi_robot_on_poses_of_its_own(start_board, tmp_path):
    """The biped's poses lie outside the zenthi limits: the demo must pick the robot's own."""
    start_board("zenthi.yaml")
    result = run_demo(tmp_path, "--speed", "4", config="zenthi.yaml")
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-2000:]
    assert "[demo] done" in result.stdout
    assert "leg 6 knee" in result.stdout

    with open(tmp_path / "run.csv") as f:
        last = list(csv.DictReader(f))[-1]
    # The last leg's knee ends bent where it was commanded, inside its -160..-30 degree range.
    assert -2.79 < float(last["cmd17"]) < -0.52
    assert abs(float(last["cmd17"]) - float(last["pos17"])) < 0.05


def test_demo_fails_when_the_board_never_answers(start_board, tmp_path):
    """A silent board: the controller fails (priming finds no motor answering), never with 0."""
    start_board("veltra1.yaml", "--silent-after", "0")
    result = run_demo(tmp_path, "--speed", "4")
    assert result.returncode != 0
