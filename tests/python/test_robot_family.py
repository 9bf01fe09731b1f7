"""The robot families' tables: which robot types share one, the README's copy of them, and
that a family's standing pose and gains, ramped to from the ground, stand its robot in physics."""

import re
import sys

import pytest

from conftest import ROOT, config_path

sys.path.insert(0, str(ROOT / "examples"))
from physics_demo import LINK_PERIOD, smooth_step  # noqa: E402
from physics_report import stand_height_from_model, torso_from_truth  # noqa: E402
from truth_file import TruthFile  # noqa: E402

START_POSES = {"veltra1": "crouch", "zenthi": "lying"}  # the model keyframes the robots start in
RAMP_SECONDS = 1.5
UPRIGHT_SECONDS = 0.5  # of simulated time, at the stance height and upright, to count as standing
MAX_HEIGHT_ERROR = 0.03  # metres from the model's stand keyframe
MAX_TILT_DEG = 10.0
PATIENCE_SECONDS = 4.0  # of simulated time after the ramp: the truth file is flushed once a simulated second


def test_each_robot_type_belongs_to_one_family(ambulink):
    members = {"veltra1": "veltra1", "veltra1L": "veltra1", "zenthi": "zenthi", "zenthi_v2": "zenthi"}
    for robot_type, family in members.items():
        table = ambulink.robot_family(robot_type)
        assert table.name == family and robot_type in table.robot_types, robot_type
    with pytest.raises(ValueError, match="Veltra1.*the valid names are veltra1, veltra1L, zenthi, zenthi_v2"):
        ambulink.robot_family("Veltra1")


def test_joints_past_the_table_keep_their_start_with_the_other_gains(ambulink):
    biped = ambulink.robot_family("veltra1")
    start = [0.1 * j for j in range(12)]  # a biped with two joints past its legs
    assert biped.standing_pose(start) == biped.stand + start[10:]
    kp, kd = biped.gains(12)
    assert (kp, kd) == (biped.kp + [biped.other_kp] * 2, biped.kd + [biped.other_kd] * 2)
    assert [biped.joint_name(j) for j in (9, 10)] == ["right ankle", "joint 10"]
    # A robot with fewer joints than the table takes the table's first ones.
    assert ambulink.robot_family("zenthi").standing_pose([0.0] * 6) == ambulink.robot_family("zenthi").stand[:6]


def readme_family_tables():
    """The README's family tables: family name -> (rows of joint, name, positive, stand, kp, kd,
    and the other joints' kp, kd)."""
    text = (ROOT / "README.md").read_text()
    section = text.split("\n## Robot families\n", 1)[1].split("\n## ", 1)[0]
    tables = {}
    for block in section.split("\n### ")[1:]:
        name = block.split()[0]
        rows = [[cell.strip() for cell in line.strip("|").split("|")]
                for line in block.splitlines() if re.match(r"\| \d+ \|", line)]
        other = re.search(r"kp ([\d.]+) N·m/rad and kd ([\d.]+) N·m·s/rad", block)
        tables[name] = (rows, (float(other.group(1)), float(other.group(2))) if other else None)
    return tables


def test_readme_prints_each_family_table_as_the_code_has_it(ambulink):
    tables = readme_family_tables()
    assert sorted(tables) == ["veltra1", "zenthi"]
    for name, (rows, other) in tables.items():
        family = ambulink.robot_family(name)
        assert [int(r[0]) for r in rows] == list(range(len(family.joint_names))), name
        assert [r[1] for r in rows] == family.joint_names
        assert [r[2] for r in rows] == family.positive
        for column, key in ((3, "stand"), (4, "kp"), (5, "kd")):
            printed = [float(r[column].replace("−", "-")) for r in rows]
            assert printed == pytest.approx(getattr(family, key), abs=5e-5), key
        assert other == (family.other_kp, family.other_kd), name


def upright_seconds(rows, stand_height):
    """The longest run of simulated time spent at the stance height and upright."""
    longest = run_start = None
    for row in rows:
        height, tilt = torso_from_truth(row)
        if abs(height - stand_height) <= MAX_HEIGHT_ERROR and tilt <= MAX_TILT_DEG:
            run_start = row["t"] if run_start is None else run_start
            longest = max(longest or 0.0, row["t"] - run_start)
        else:
            run_start = None
    return longest or 0.0


@pytest.mark.parametrize("robot", sorted(START_POSES))
def test_family_standing_pose_stands_the_robot_up_from_the_ground(start_board, open_robot, ambulink, tmp_path,
                                                                  robot):
    model = str(ROOT / "models" / f"{robot}.xml")
    truth = TruthFile(str(tmp_path / "truth.csv"))
    start_board(config_path(f"{robot}.yaml"), "--model", model, "--start", START_POSES[robot], "--truth", truth.path,
                "--lockstep")
    stand_height = stand_height_from_model(model)
    sdk = open_robot(f"{robot}.yaml")
    family = ambulink.robot_family(sdk.robot_type())
    assert family.name == robot

    n = sdk.get_motor_num()
    start = sdk.receive_observation()[0:3 * n:3]
    goal = family.standing_pose(start)
    kp, kd = family.gains(n)
    zeros = [0.0] * n

    # Stepped with the lockstep simulator as the demo steps: one command per reply, the ramp
    # timed by the reply's sequence, so a busy machine cannot fail it. The pose is held until
    # the truth shows the robot standing, or patience runs out.
    began, next_check = None, RAMP_SECONDS
    while True:
        assert sdk.wait_for_observation(5.0), "the board stopped answering"
        sdk.receive_observation()
        t = sdk.last_observation_info()[0] * LINK_PERIOD
        began = t if began is None else began
        if (elapsed := t - began) >= RAMP_SECONDS + PATIENCE_SECONDS:
            break
        x = smooth_step(elapsed / RAMP_SECONDS)
        sdk.send_command(kp, kd, [a + (b - a) * x for a, b in zip(start, goal)], zeros, zeros)
        if elapsed >= next_check:
            truth.poll()
            if upright_seconds(truth.rows, stand_height) >= UPRIGHT_SECONDS:
                break
            next_check += 0.2
    truth.close()

    assert truth.rows and truth.rows[0]["base_z"] < stand_height - 0.05, "the robot did not start on the ground"
    last_height, last_tilt = torso_from_truth(truth.rows[-1])
    assert upright_seconds(truth.rows, stand_height) >= UPRIGHT_SECONDS, (
        f"never stood: torso at {last_height:.3f} m (stance {stand_height:.3f} m), tilt {last_tilt:.1f} deg")
