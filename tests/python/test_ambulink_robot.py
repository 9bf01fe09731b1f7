"""Ambulink end to end against the board simulator: observations read from the board and the
command frames the board receives."""

import math
import time

import numpy as np
import pytest

from conftest import config_path, joint_table

ZENTHI = "zenthi.yaml"
VELTRA = "veltra1.yaml"
ZENTHI_JOINTS = 18
VELTRA_JOINTS = 10
# Veltra joints that no linkage drives: hip yaw and hip roll of both legs.
VELTRA_HIP_JOINTS = (0, 1, 5, 6)


def approx32(value):
    """What survives narrowing to a float32 on the wire."""
    return pytest.approx(value, rel=1e-6, abs=1e-6)


def zenthi_command(n=ZENTHI_JOINTS):
    """Distinct values per joint and per quantity, positions inside every joint's range."""
    group_positions = (0.1, 0.5, -1.0)
    kp = [10.0 + i for i in range(n)]
    kd = [0.5 + 0.1 * i for i in range(n)]
    pos = [group_positions[i % 3] + 0.01 * (i // 3) for i in range(n)]
    vel = [0.2 * i - 1.0 for i in range(n)]
    tau = [0.3 * i - 2.0 for i in range(n)]
    return kp, kd, pos, vel, tau


def assert_scaled_frame(frame, config, command, joints):
    """The board's records for `joints` carry the joint-side command on the motor side:
    pos*g + o, vel*g, tau/g, kp/g², kd/g²."""
    table = joint_table(config)
    kp, kd, pos, vel, tau = command
    for i in joints:
        g, o = table["gr"][i], table["offset"][i]
        record = frame[i]
        assert record["id"] == table["motor_id"][i] & 0xFF
        assert record["type"] == table["motor_type"][i]
        assert record["mode"] == 10
        assert record["pos"] == approx32(pos[i] * g + o), f"pos of joint {i}"
        assert record["vel"] == approx32(vel[i] * g), f"vel of joint {i}"
        assert record["tau"] == approx32(tau[i] / g), f"tau of joint {i}"
        assert record["kp"] == approx32(kp[i] / g**2), f"kp of joint {i}"
        assert record["kd"] == approx32(kd[i] / g**2), f"kd of joint {i}"


@pytest.fixture
def zenthi(start_board, open_robot):
    board = start_board(ZENTHI)
    return board, open_robot(ZENTHI)


@pytest.fixture
def veltra(start_board, open_robot):
    board = start_board(VELTRA)
    return board, open_robot(VELTRA)


class TestObservation:
    def test_biped_layout(self, veltra):
        _, robot = veltra
        observation = robot.receive_observation()
        assert len(observation) == 3 * VELTRA_JOINTS + 10 == 40
        assert all(isinstance(value, float) for value in observation)
        assert robot.get_motor_num() == (len(observation) - 10) // 3 == VELTRA_JOINTS
        acc, gyro, quat = observation[30:33], observation[33:36], observation[36:40]
        assert acc == pytest.approx([0.0, 0.0, 9.81], abs=1e-4)  # a level board feels gravity on z
        assert gyro == pytest.approx([0.0, 0.0, 0.0], abs=1e-6)
        assert quat == pytest.approx([1.0, 0.0, 0.0, 0.0], abs=1e-6)  # w first

    def test_joints_interleave_pos_vel_tau(self, zenthi):
        board, robot = zenthi
        n = ZENTHI_JOINTS
        targets = zenthi_command()[2]
        robot.send_command([60.0] * n, [2.0] * n, targets, [0.0] * n, [0.0] * n)
        observation = _settled_observation(robot, targets)
        assert len(observation) == 3 * n + 10
        assert observation[0:3 * n:3] == pytest.approx(targets, abs=0.02)
        assert observation[1:3 * n:3] == pytest.approx([0.0] * n, abs=0.1)
        # Held against no load, the torque stays small compared with the positions' spread.
        assert observation[2:3 * n:3] == pytest.approx([0.0] * n, abs=1.0)

    def test_tilted_board_imu_fields(self, start_board, open_robot):
        start_board(ZENTHI, "--imu-tilt", "0.2:-0.1")
        robot = open_robot(ZENTHI)
        observation = robot.receive_observation()
        n = robot.get_motor_num()
        acc, gyro, quat = observation[3 * n:3 * n + 3], observation[3 * n + 3:3 * n + 6], observation[3 * n + 6:]
        assert math.fsum(a * a for a in acc) == pytest.approx(9.81**2, rel=1e-4)
        assert abs(acc[1]) > 0.5 and abs(acc[0]) > 0.5  # roll and pitch both show in gravity
        assert gyro == pytest.approx([0.0, 0.0, 0.0], abs=1e-6)
        assert math.fsum(q * q for q in quat) == pytest.approx(1.0, abs=1e-5)
        assert quat[0] == pytest.approx(math.cos(0.1) * math.cos(0.05), abs=1e-3)  # w leads


def _settled_observation(robot, targets, timeout_s=5.0):
    """Polls until every joint rests at its target (the simulated joints need a moment)."""
    deadline = time.monotonic() + timeout_s
    n = len(targets)
    while True:
        observation = robot.receive_observation()
        positions, velocities = observation[0:3 * n:3], observation[1:3 * n:3]
        at_rest = all(abs(p - t) < 0.01 for p, t in zip(positions, targets)) and all(
            abs(v) < 0.05 for v in velocities)
        if at_rest or time.monotonic() > deadline:
            return observation
        time.sleep(0.02)


class TestCommandFrames:
    def test_zenthi_scaled_by_gear_and_offset(self, zenthi):
        board, robot = zenthi
        command = zenthi_command()
        robot.send_command(*command)
        assert_scaled_frame(board.frame_after_now(), config_path(ZENTHI), command, range(ZENTHI_JOINTS))

    def test_keywords_in_any_order(self, zenthi):
        board, robot = zenthi
        kp, kd, pos, vel, tau = command = zenthi_command()
        robot.send_command(tau=tau, vel=vel, pos=pos, kd=kd, kp=kp)
        assert_scaled_frame(board.frame_after_now(), config_path(ZENTHI), command, range(ZENTHI_JOINTS))

    def test_veltra_hips_pass_one_to_one_and_gains_everywhere(self, veltra):
        board, robot = veltra
        n = VELTRA_JOINTS
        kp = [20.0 + i for i in range(n)]
        kd = [0.3 + 0.05 * i for i in range(n)]
        # Hip yaw and roll inside their ranges; pitch, knee and ankle a reachable leg pose.
        leg = [0.1, 0.05, -0.2, 1.0, -0.3]
        pos = leg + [-0.15, -0.1, -0.2, 1.0, -0.3]
        vel = [0.1 * (i + 1) for i in range(n)]
        tau = [0.5 * (i + 1) for i in range(n)]
        robot.send_command(kp, kd, pos, vel, tau)
        frame = board.frame_after_now()
        assert_scaled_frame(frame, config_path(VELTRA), (kp, kd, pos, vel, tau), VELTRA_HIP_JOINTS)
        table = joint_table(config_path(VELTRA))
        for i in range(n):  # the gains of a virtual joint go to the motor of the same index
            g = table["gr"][i]
            assert frame[i]["kp"] == approx32(kp[i] / g**2)
            assert frame[i]["kd"] == approx32(kd[i] / g**2)

    # Joints whose target 0 lies inside their range, so the wire carries just the offset.
    @pytest.mark.parametrize("config, zero_target_joints", [
        (ZENTHI, (0, 1, 3, 4, 15, 16)), (VELTRA, VELTRA_HIP_JOINTS)])
    def test_brake_is_pure_damping(self, start_board, open_robot, config, zero_target_joints):
        board = start_board(config)
        robot = open_robot(config)
        n = robot.get_motor_num()
        robot.send_command([30.0] * n, [1.0] * n, [0.1] * n, [0.5] * n, [1.0] * n)
        board.frame_after_now()
        robot.brake()
        frame = board.frame_after_now()
        table = joint_table(config_path(config))
        for i, record in enumerate(frame):
            g = table["gr"][i]
            assert record["mode"] == 10
            assert record["kp"] == 0.0
            assert record["kd"] == approx32(0.5 / g**2), f"kd of joint {i}"
            assert record["vel"] == approx32(0.0)
            assert record["tau"] == approx32(0.0)
        for i in zero_target_joints:
            assert frame[i]["pos"] == approx32(table["offset"][i])

    def test_longer_lists_use_the_first_n(self, zenthi):
        board, robot = zenthi
        command = zenthi_command()
        # The entries past n are never read, not even checked.
        longer = [values + [1e6, math.nan] for values in command]
        robot.send_command(*longer)
        assert_scaled_frame(board.frame_after_now(), config_path(ZENTHI), command, range(ZENTHI_JOINTS))

    @pytest.mark.parametrize("convert", [
        pytest.param(lambda v: np.asarray(v, dtype=np.float64), id="float64"),
        pytest.param(lambda v: np.repeat(np.asarray(v), 2)[::2], id="strided-view"),
        pytest.param(lambda v: np.asarray(v, dtype=">f8"), id="big-endian"),
        pytest.param(tuple, id="tuple"),
    ])
    def test_other_sequences_send_the_same_frame(self, zenthi, convert):
        board, robot = zenthi
        command = zenthi_command()
        robot.send_command(*(convert(values) for values in command))
        assert_scaled_frame(board.frame_after_now(), config_path(ZENTHI), command, range(ZENTHI_JOINTS))

    def test_float32_arrays(self, zenthi):
        board, robot = zenthi
        arrays = [np.asarray(values, dtype=np.float32) for values in zenthi_command()]
        robot.send_command(*arrays)
        expected = [[float(v) for v in array] for array in arrays]
        assert_scaled_frame(board.frame_after_now(), config_path(ZENTHI), expected, range(ZENTHI_JOINTS))

    def test_integer_sequences_are_converted(self, zenthi):
        board, robot = zenthi
        n = ZENTHI_JOINTS
        kp, kd = list(range(1, n + 1)), np.arange(n, dtype=np.int64) % 3
        pos = [0] * n
        pos[2::3] = [-1] * 6  # keep the third joint of each group inside its range
        robot.send_command(kp, kd, pos, np.zeros(n, dtype=np.int32), [0] * n)
        expected = (kp, [float(k) for k in kd], pos, [0.0] * n, [0.0] * n)
        assert_scaled_frame(board.frame_after_now(), config_path(ZENTHI), expected, range(n))


class TestRejectedCommands:
    """A rejected call raises before anything reaches the link: the board keeps receiving
    the last good command."""

    @staticmethod
    def _send_good_command(board, robot):
        command = zenthi_command()
        robot.send_command(*command)
        board.frame_after_now()
        return command

    def _assert_still_good(self, board, command):
        assert_scaled_frame(board.frame_after_now(), config_path(ZENTHI), command, range(ZENTHI_JOINTS))

    @pytest.mark.parametrize("argument", range(5))
    def test_short_list_names_argument_length_and_joint_count(self, zenthi, argument):
        board, robot = zenthi
        good = self._send_good_command(board, robot)
        lists = [list(values) for values in zenthi_command()]
        lists[argument] = lists[argument][:7]
        name = ("kp", "kd", "pos", "vel", "tau")[argument]
        with pytest.raises(ValueError, match=rf"^{name} has 7 values but the robot has 18 joints$"):
            robot.send_command(*lists)
        self._assert_still_good(board, good)

    @pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
    def test_non_finite_value_names_argument_and_joint(self, zenthi, bad):
        board, robot = zenthi
        good = self._send_good_command(board, robot)
        lists = [list(values) for values in zenthi_command()]
        lists[3][4] = bad
        with pytest.raises(ValueError, match=r"^vel\[4\] is -?(nan|inf): joint 4 needs a finite value$"):
            robot.send_command(*lists)
        self._assert_still_good(board, good)

    def test_value_beyond_the_links_floats_is_refused(self, zenthi):
        """1e39 is a finite double but would narrow to an infinite float on the link."""
        board, robot = zenthi
        good = self._send_good_command(board, robot)
        lists = [list(values) for values in zenthi_command()]
        lists[4][2] = -1e39
        with pytest.raises(ValueError, match=r"^tau\[2\] is -1e\+39: joint 2 needs a value that fits"):
            robot.send_command(*lists)
        self._assert_still_good(board, good)

    def test_non_finite_in_numpy_array(self, zenthi):
        board, robot = zenthi
        good = self._send_good_command(board, robot)
        arrays = [np.asarray(values) for values in zenthi_command()]
        arrays[0][17] = np.nan
        with pytest.raises(ValueError, match=r"kp\[17\]"):
            robot.send_command(*arrays)
        self._assert_still_good(board, good)

    @pytest.mark.parametrize("bad", [
        pytest.param("0123456789abcdefgh", id="str"),
        pytest.param(b"\x00" * 18, id="bytes"),
        pytest.param(["x"] * 18, id="list-of-str"),
        pytest.param({1.0, 2.0}, id="set"),
        pytest.param(3.0, id="number"),
        pytest.param(np.zeros((18, 2)), id="2d-array"),
        pytest.param(None, id="None"),
    ])
    def test_non_numeric_argument_is_a_type_error(self, zenthi, bad):
        board, robot = zenthi
        good = self._send_good_command(board, robot)
        lists = [list(values) for values in zenthi_command()]
        lists[1] = bad
        # One message naming the argument, not the binding's list of signatures.
        with pytest.raises(TypeError, match=r"^send_command\(\): kd(\[0\])? (must be a 1-D sequence|is str)") as raised:
            robot.send_command(*lists)
        assert "\n" not in str(raised.value)
        self._assert_still_good(board, good)


def test_configuration_without_imu_raises_index_error(start_board, open_robot, tmp_path):
    """The robot layer's range error for a missing IMU reaches Python as IndexError."""
    source = open(config_path(ZENTHI)).read()
    assert "imu_num: 1 " in source
    config = tmp_path / "zenthi-no-imu.yaml"
    config.write_text(source.replace("imu_num: 1 ", "imu_num: 0 "))
    board = start_board(str(config))
    robot = open_robot(str(config))
    with pytest.raises(IndexError):
        robot.receive_observation()
    robot.brake()  # the command path cannot read the state: the robot layer's own frame goes out
    table = joint_table(str(config))
    for i, record in enumerate(board.frame_after_now()):
        assert record["kp"] == 0.0 and record["kd"] == approx32(0.8 / table["gr"][i] ** 2)
