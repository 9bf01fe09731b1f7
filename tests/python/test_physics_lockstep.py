"""Lockstep physics: every command frame advances the simulation by one link period, so a
controller that steps with the link moves the robot the same way on every run, however busy
the machine is."""

import sys

from conftest import ROOT, config_path

sys.path.insert(0, str(ROOT / "examples"))
from physics_demo import smooth_step  # noqa: E402
from truth_file import read_truth  # noqa: E402

ROBOT, START_POSE = "veltra1", "crouch"
LINK_PERIOD = 0.0021  # s of simulated time per reply in lockstep
HOLD_SECONDS, RAMP_SECONDS, RUN_SECONDS = 0.3, 1.5, 4.0  # simulated
MIN_COMPARED_SECONDS = 3.0
MAX_HEIGHT_DIFFERENCE = 0.001  # m
MIN_RISE = 0.05  # m: the runs compared must have moved the torso
TRUTH_PERIOD = 0.01  # s of simulated time between truth rows


def stand_up_in_lockstep(start_board, ambulink, truth_path):
    """Ramps to the family's stand pose on a schedule of simulated time taken from the reply
    sequence, one command per observation; returns the torso heights by simulated time, the
    board's output and the number of frames it received."""
    board = start_board(f"{ROBOT}.yaml", "--model", str(ROOT / "models" / f"{ROBOT}.xml"), "--start", START_POSE,
                        "--truth", str(truth_path), "--lockstep")
    with ambulink.Ambulink(config_path(f"{ROBOT}.yaml")) as sdk:
        family = ambulink.robot_family(sdk.robot_type())
        n = sdk.get_motor_num()
        start = sdk.receive_observation()[0:3 * n:3]
        goal = family.standing_pose(start)
        kp, kd = family.gains(n)
        zeros = [0.0] * n
        while True:
            assert sdk.wait_for_observation(5.0), "the board stopped answering"
            sdk.receive_observation()
            sequence, _ = sdk.last_observation_info()
            t = sequence * LINK_PERIOD
            if t >= RUN_SECONDS:
                break
            x = smooth_step((t - HOLD_SECONDS) / RAMP_SECONDS)
            sdk.send_command(kp, kd, [a + (b - a) * x for a, b in zip(start, goal)], zeros, zeros)
    board.stop()
    heights = {round(row["t"], 4): row["base_z"] for row in read_truth(str(truth_path))}
    return heights, board.output(), board.frame_count()


def test_two_lockstep_runs_of_a_controller_stepping_with_the_link_move_the_robot_alike(start_board, ambulink,
                                                                                      tmp_path):
    first, output, frames = stand_up_in_lockstep(start_board, ambulink, tmp_path / "first.csv")
    second, _, _ = stand_up_in_lockstep(start_board, ambulink, tmp_path / "second.csv")

    assert "physics in lockstep" in output
    # Simulated time is frames x link period: the last row is within one row of it.
    assert abs(max(first) - frames * LINK_PERIOD) <= TRUTH_PERIOD + LINK_PERIOD, (
        f"{max(first)} s simulated for {frames} frames")
    common = sorted(set(first) & set(second))
    assert common and common[-1] - common[0] >= MIN_COMPARED_SECONDS, f"truth rows cover {common[-1:]} s only"
    assert max(first[t] for t in common) - first[common[0]] >= MIN_RISE, "the robot never rose"
    worst = max(common, key=lambda t: abs(first[t] - second[t]))
    assert abs(first[worst] - second[worst]) <= MAX_HEIGHT_DIFFERENCE, (
        f"torso heights differ by {1000 * abs(first[worst] - second[worst]):.2f} mm at {worst} s")
