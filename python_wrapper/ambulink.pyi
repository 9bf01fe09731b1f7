"""Python access to a drivelink robot: observations and commands as flat lists of floats."""

from os import PathLike
from types import TracebackType
from typing import Callable, Sequence, SupportsFloat, TypedDict, overload

import numpy as np
import numpy.typing as npt

from ambulink_recording import Recording

class LinkStats(TypedDict):
    """The link's health since start or the last reset_link_stats()."""

    exchanges: int  # command frames sent
    replies: int  # complete replies (a long one, cut to length, counts)
    timeouts: int  # exchanges that received nothing
    short_replies: int
    long_replies: int
    stale_skipped: int  # replies to earlier frames passed over
    foreign_dropped: int  # datagrams from an address other than the board's
    invalid_motor_records: int  # received records whose status is not 9
    invalid_imu_records: int
    invalid_battery_records: int
    longest_failure_run: int  # most exchanges in a row without a complete reply
    rtt_median_us: float  # round trips of complete replies, last 1000 exchanges
    rtt_p99_us: float
    rtt_max_us: float
    reply_age_us: float  # since the latest complete reply; -1 before the first
    command_expiries: int  # times the commands stopped for longer than command_timeout

class RobotFamily:
    """One robot family's table: its joints' names, what a positive angle does at each, a
    standing pose and the gains that hold it. The per-joint lists cover the legs, in joint
    order; joints past them keep their start position with other_kp and other_kd. Ramped to
    from the start pose over a few seconds, the pose stands the robot."""

    @property
    def name(self) -> str:
        """The family: "veltra1" (the biped) or "zenthi" (six legs)."""
    @property
    def robot_types(self) -> list[str]:
        """The robot_type names of the family."""
    @property
    def joint_names(self) -> list[str]:
        """The legs' joints: "left knee", "leg 3 hip", ..."""
    @property
    def positive(self) -> list[str]:
        """What a positive angle does at each joint (x forward, y left, z up)."""
    @property
    def stand(self) -> list[float]:
        """The standing pose, rad, in the controller's (virtual) joint space."""
    @property
    def kp(self) -> list[float]:
        """Position gains that hold the stance, N·m/rad."""
    @property
    def kd(self) -> list[float]:
        """Velocity gains that hold the stance, N·m·s/rad."""
    @property
    def other_kp(self) -> float:
        """Position gain of the joints past the table, N·m/rad."""
    @property
    def other_kd(self) -> float:
        """Velocity gain of the joints past the table, N·m·s/rad."""
    def standing_pose(self, start: Sequence[SupportsFloat]) -> list[float]:
        """The standing pose of a robot whose joints are at `start` (rad): the table's angles,
        then `start`'s."""
    def gains(self, joints: int) -> tuple[list[float], list[float]]:
        """(kp, kd) lists for `joints` joints: the table's gains, then other_kp and other_kd."""
    def joint_name(self, joint: int) -> str:
        """Joint `joint`'s name: the table's, "joint N" past it."""

class RecordingCounts(TypedDict):
    recorded: int  # exchanges written to the file
    dropped: int  # exchanges not in the file: the writer fell behind, or the file took no more

def read_recording(path: str | PathLike[str], *, space: str = "real") -> Recording:
    """Reads a flight recording into numpy arrays in joint-side units (needs numpy). With
    space="virtual" the recording also holds `virtual`: the measured positions, velocities and
    torques in the controller's joint space, mapped as the robot maps them."""

def real_to_virtual(
    robot_type: str, pos: npt.ArrayLike, vel: npt.ArrayLike, tau: npt.ArrayLike
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Maps measured joint values (rad, rad/s, N·m; arrays of one shape, (joints,) or
    (samples, joints)) from the motors' joint space to the controller's, as the robot does for
    every observation. Raises ValueError for an unknown robot type, arrays of different shapes
    or a joint count the robot type does not have."""

class LinkError(RuntimeError):
    """The link to the motor board is lost (ten failing watchdog checks, about 0.1 s without
    complete valid replies) on a robot opened with exit_on_link_failure=False, or its brake
    still holds. Every motor is held in the damping brake frame (kd 0.8) from the loss until
    resume_after_link_failure() succeeds. receive_observation, receive_observation_array and
    wait_for_observation raise it until a valid reply arrives again; send_command until the
    resume."""

class Ambulink:
    """One robot, opened from its YAML configuration file.

    The robot layer's link thread (one exchange every 2.1 ms) and watchdog run from
    construction until the object is deleted (or the interpreter exits). Joint values are on
    the joint side of each gear, in the controller's joint space: rad, rad/s, N·m. One object
    must not be used from two threads at once.
    """

    @overload
    def __init__(self) -> None:
        """An unconnected object: every method raises RuntimeError."""
    @overload
    def __init__(
        self,
        path: str | bytes,
        /,
        *,
        exit_on_link_failure: bool = True,
        board: str | None = None,
        local: str | None = None,
        device: str | None = None,
        baud: int | None = None,
        realtime_priority: int = 0,
        link_cpu: int = -1,
        lock_memory: bool = False,
        command_timeout: float = 0.0,
        black_box_folder: str = "",
    ) -> None:
        """Opens the robot from the configuration file and starts it.

        Raises RuntimeError when the file cannot be loaded, when another controller holds
        the robot's board (another Ambulink: close() it first; another process: the message
        gives its id), when the board's replies do not fit the configured counts, and when a
        motor or IMU never sent a valid record during the ten priming exchanges (the message
        names them; nothing is left running). Raises ValueError for an unknown robot_type and
        OSError when the link cannot be opened.

        A lost link (ten failing watchdog checks, about 0.1 s, whatever the program reads)
        ends the process with exit status 1 by default; the motors keep the last command
        frame. With exit_on_link_failure=False the process goes on and every motor is held
        in the damping brake frame: see LinkError and resume_after_link_failure.

        The link is the configuration's (its optional link: section, else UDP to the board at
        192.168.1.5:8880). board="ADDR:PORT" and local="ADDR:PORT" (port 0: any free one)
        choose other UDP endpoints, device= (and baud=) the USB serial link; each wins over
        the file's. A malformed one, or UDP and USB asked for together, raises ValueError.

        realtime_priority (SCHED_FIFO 1-99, 0 = off) goes to the link and watchdog threads,
        link_cpu (-1 = none) pins the link thread, lock_memory locks the process's memory;
        the interpreter's threads keep their scheduling. A refused setting raises
        RuntimeError saying what was refused and how to allow it; nothing is left running.

        command_timeout (s, 0 = off): when no send_command came for that long, every motor is
        held in the damping brake frame until the next one (counted in command_expiries);
        ValueError for a negative or non-finite value. black_box_folder: where the last 2 s
        of exchanges are written by themselves when the link is lost or the commands expire
        ("" = nowhere; see dump_black_box).
        """
    def receive_observation(self) -> list[float]:
        """Returns 3n + 10 floats: (pos, vel, tau) for each joint in turn, then acc x y z,
        gyro x y z and the quaternion w x y z of the first IMU.

        Raises LinkError while the link is lost (exit_on_link_failure=False)."""
    def send_command(
        self,
        kp: Sequence[SupportsFloat],
        kd: Sequence[SupportsFloat],
        pos: Sequence[SupportsFloat],
        vel: Sequence[SupportsFloat],
        tau: Sequence[SupportsFloat],
    ) -> None:
        """Commands every joint, positionally in this order or by keyword: kp (N·m/rad),
        kd (N·m·s/rad), pos (rad), vel (rad/s), tau (N·m), joint side. Each argument is a 1-D
        sequence of numbers (numpy arrays included) with at least n entries; entries past n
        are ignored.

        Raises, sending nothing, TypeError naming the argument for one that is not a 1-D
        sequence of numbers, and ValueError for a list shorter than n or a non-finite value;
        LinkError from the loss of the link until resume_after_link_failure() succeeds.
        """
    def brake(self) -> None:
        """Commands pure damping on every joint: kp 0, kd 0.5, zero targets. Never raises
        LinkError: while the link is lost, or without an IMU, the robot layer's own damping
        frame (kd 0.8) is stored instead."""
    def resume_after_link_failure(self) -> None:
        """Ends the damping brake of a lost link once every motor answers again; commands are
        accepted again. Returns at once when no link failure is in force. Raises LinkError
        naming the motors that still send no valid record (the brake stays)."""
    def get_motor_num(self) -> int:
        """Returns the number of joints n."""
    def get_version(self) -> str:
        """Returns the version text of the robot layer."""
    def robot_type(self) -> str:
        """The configuration's robot_type: "veltra1", "veltra1L", "zenthi" or "zenthi_v2"
        (robot_family of it gives its joints and standing pose)."""
    def motor_states(self) -> dict[str, npt.NDArray[np.uint8] | npt.NDArray[np.float32]]:
        """The latest reply's motor records as the board sent them: a dict of numpy arrays,
        one entry per motor: status, id, mode (uint8; status 9 = valid), pos, vel, tau
        (float32, motor side: before gear ratio and offset), temp (float32). A record whose
        status is not 9 carries only status and id."""
    def battery_states(
        self,
    ) -> dict[str, npt.NDArray[np.uint8] | npt.NDArray[np.int32] | npt.NDArray[np.float32]]:
        """The latest reply's battery records: a dict of numpy arrays, one entry per
        battery: status, bms_id (uint8; status 9 = valid), failure (int32), voltage, current,
        soc (float32)."""
    def wait_for_observation(self, timeout: float) -> bool:
        """Blocks, letting other Python threads run, until a reply newer than any this object
        has read or waited for has arrived: True then, False after `timeout` seconds (0
        polls) or once the robot is closed. Raises LinkError while the link is lost (at once,
        or within 0.1 s of the loss); Ctrl-C ends the wait within 0.1 s. Raises ValueError for
        a negative timeout."""

    def receive_observation_array(
        self, out: npt.NDArray[np.float64] | None = None
    ) -> npt.NDArray[np.float64]:
        """The observation of receive_observation() as a float64 array of 3n + 10 values.

        With `out` (a writable one-dimensional float64 array of exactly 3n + 10 values) the
        values are written into it, nothing is allocated, and `out` is returned. Raises
        ValueError for an array of another shape or type, TypeError for a read-only buffer.
        """
    def last_observation_info(self) -> tuple[int, float] | None:
        """(sequence, receive_time) of the reply the last receive_observation() or
        receive_observation_array() was decoded from: its sequence number (every exchange of
        the link counts, 1 for the first) and its receive time in seconds of CLOCK_MONOTONIC,
        as time.monotonic() reads it. The same sequence means the same reply. None before the
        first observation."""
    def link_stats(self) -> LinkStats:
        """The link's health; reading it never makes the link thread wait."""
    def reset_link_stats(self) -> None:
        """Starts a new window: every count starts again from 0."""
    def start_recording(self, path: str, buffer_records: int = 4096) -> None:
        """Records every exchange with the board into the file at `path` (a pipe works too).

        The link thread copies each exchange into a ring of `buffer_records` entries and a
        writer thread writes the file; when the writer falls behind, exchanges are dropped
        and counted, never the link delayed. When the file takes no more (a full disk, a
        pipe whose reader left) the rest is counted dropped and a regular file ends at its
        last whole record; the process never gets SIGPIPE. Raises ValueError when a ring of
        `buffer_records` cannot be sized, RuntimeError when the file cannot be written or a
        recording already runs.
        """
    def stop_recording(self) -> RecordingCounts:
        """Ends the recording and closes the file; returns its counts, which together cover
        every exchange. A pipe's reader that takes nothing is given about 1 s."""
    def dump_black_box(self, path: str) -> RecordingCounts:
        """Writes the last 2 s of exchanges (always kept in memory) to `path` as a recording
        that read_recording reads; returns its counts. The link never waits for it. Raises
        RuntimeError when the file cannot be written."""
    def close(self) -> None:
        """Stops the robot's threads and lets its board go (another Ambulink may open it);
        every later call raises RuntimeError. Closing again does nothing."""
    def __enter__(self) -> Ambulink: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Stops the robot's threads; every later call raises RuntimeError. Leaving the block
        on an exception first stores the damping brake frame (kd 0.8) and lets it leave, with
        one line saying so."""

def config_robot_type(path: str) -> str:
    """The robot_type of the configuration file at `path`, read as the robot reads it, without
    opening any robot. Raises ValueError for a name that is not a robot type, RuntimeError when
    the file or the key cannot be read."""

def robot_family(robot_type: str) -> RobotFamily:
    """The RobotFamily of `robot_type` ("veltra1", "veltra1L", "zenthi" or "zenthi_v2").
    Raises ValueError for any other name."""

def set_log_handler(handler: Callable[[str], object] | None) -> None:
    """Sends the SDK's console lines to `handler` (one str per line, no line end), called on
    an SDK thread with the interpreter lock held, instead of standard output; None hands the
    queued lines over (waiting at most about 1 s for a handler that blocks; the rest goes to
    standard output) and returns to standard output. Beyond 256 waiting lines the oldest are
    dropped and counted, and the handler gets one line "N log lines dropped" once it caught
    up; an exception from the handler is reported once. The handler must not call
    set_log_handler. A child of fork() starts without a handler; during interpreter shutdown
    a handler is refused with RuntimeError."""

def dropped_log_lines() -> int:
    """Console lines dropped since the process started because the handler fell behind."""

class RemoteRobotError(RuntimeError):
    """No robot service publishes the name on the domain in time, or two do."""

class SessionRefused(RuntimeError):
    """Another session is in charge of the robot; nothing was sent."""

class RemoteStatus(TypedDict):
    """What the robot service last said on its status topic."""

    service_id: int
    robot_type: str
    motor_count: int
    session_in_charge: int  # 0 while the robot is free
    lease: float  # s, of the session in charge
    foreign_dropped: int  # commands of other sessions while one was in charge
    expired_dropped: int  # commands older than their lease
    lease_expiries: int  # times the session in charge fell silent and the robot braked
    brakes: int
    brake_bits: int  # 1 link lost, 2 controller failed, 4 command expired
    link_lost: bool

class RemoteRobot:
    """The robot served by bin/drivelink_dds, reached over DDS with Ambulink's polling methods.

    One session of its own; the service obeys the first session to command while the robot is
    free, applies its commands only while younger than `lease`, and brakes when they stop for
    longer. DDS uses the interface DRIVELINK_DDS_INTERFACE names (default "lo").
    """

    def __init__(self, name: str, *, domain: int = 0, lease: float = 0.05,
                 discovery_timeout: float = 5.0) -> None: ...
    def receive_observation(self) -> list[float]: ...
    def receive_observation_array(self, out: npt.NDArray[np.float64] | None = None) -> npt.NDArray[np.float64]: ...
    def last_observation_info(self) -> tuple[int, float] | None:
        """(sequence, receive_time) on the service's clock."""
    def wait_for_observation(self, timeout: float) -> bool: ...
    def send_command(
        self,
        kp: Sequence[SupportsFloat],
        kd: Sequence[SupportsFloat],
        pos: Sequence[SupportsFloat],
        vel: Sequence[SupportsFloat],
        tau: Sequence[SupportsFloat],
    ) -> None:
        """Raises SessionRefused once the status names another session in charge."""
    def brake(self) -> None: ...
    def link_stats(self) -> LinkStats: ...
    def status(self) -> RemoteStatus: ...
    def get_motor_num(self) -> int: ...
    def get_version(self) -> str: ...
    def robot_type(self) -> str: ...
    @property
    def session_id(self) -> int: ...
    @property
    def lease(self) -> float: ...
    @property
    def name(self) -> str: ...
    def close(self) -> None: ...
    def __enter__(self) -> RemoteRobot: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
