"""A flight recording read in the joint space the controller saw, with the robot's own
mapping, and drawn in it; the default reader still needs numpy alone."""

import subprocess
import sys
import time

import numpy as np
import pytest

import ambulink_recording

from conftest import LIB_DIR, ROOT

VELTRA = "veltra1.yaml"
KNEE = 3  # driven through a linkage: its motor joint and its virtual joint read otherwise


def test_a_recording_reads_in_the_controllers_joint_space(start_board, open_robot, ambulink, tmp_path):
    start_board(VELTRA)
    # A link lost on a busy machine fails this test, not the whole run.
    robot = open_robot(VELTRA, exit_on_link_failure=False)
    family = ambulink.robot_family("veltra1")
    joints = robot.get_motor_num()
    kp, kd = family.gains(joints)
    robot.send_command(kp, kd, family.standing_pose([0.0] * joints), [0.0] * joints, [0.0] * joints)
    time.sleep(0.5)  # the joints settle on the stance
    path = tmp_path / "stand.dlrec"
    robot.start_recording(str(path))
    time.sleep(0.3)
    robot.stop_recording()
    seen = robot.receive_observation()
    robot.close()  # the rest needs no link

    rec = ambulink.read_recording(str(path), space="virtual")
    last = np.flatnonzero(rec.outcome == 0)[-1]
    assert rec.virtual.shape == rec.motors.shape
    assert rec.virtual["pos"][last] == pytest.approx(seen[0:3 * joints:3], abs=2e-3)
    assert abs(rec.motors["pos"][last, KNEE] - rec.virtual["pos"][last, KNEE]) > 0.1

    # A knee record that did not arrive valid: the controller saw the knee's previous values.
    header, _ = ambulink_recording.read_header(path)
    with open(path, "rb") as file:
        prologue = file.read(int(header["header_size"]))
    records = np.fromfile(path, ambulink_recording.record_dtype(header), offset=int(header["header_size"]))
    records["motors"]["status"][last, KNEE] = 0
    records["motors"]["pos"][last, KNEE] = 0.0
    lost = tmp_path / "lost.dlrec"
    lost.write_bytes(prologue + records.tobytes())
    held = ambulink.read_recording(str(lost), space="virtual")
    assert held.virtual["pos"][last] == pytest.approx(rec.virtual["pos"][last], abs=2e-3)

    # The default reader leaves the mapping out, and the module with it.
    default = subprocess.run(
        [sys.executable, "-c", "import sys, ambulink_recording as r; rec = r.read_recording(sys.argv[1]); "
                               "print(rec.virtual is None, 'ambulink' in sys.modules)", str(path)],
        env={"PYTHONPATH": str(LIB_DIR)}, capture_output=True, text=True, timeout=60)
    assert default.stdout.split() == ["True", "False"], default.stderr

    out = tmp_path / "virtual"
    plots = subprocess.run([str(ROOT / "scripts" / "plot-recording"), str(path), "--space", "virtual",
                            "--out", str(out)], capture_output=True, text=True, timeout=120)
    assert plots.returncode == 0, plots.stderr
    for name in ("positions", "velocities", "torques"):
        assert (out / f"stand.dlrec.{name}.png").stat().st_size > 0
