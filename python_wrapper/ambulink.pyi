"""Python access to a drivelink robot: observations and commands as flat lists of floats."""

from os import PathLike
from types import TracebackType
from typing import Sequence, SupportsFloat, TypedDict, overload

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

class RecordingCounts(TypedDict):
    recorded: int  # exchanges written to the file
    dropped: int  # exchanges lost because the writer had fallen behind

def read_recording(path: str | PathLike[str]) -> Recording:
    """Reads a flight recording into numpy arrays in joint-side units (needs numpy)."""

class Ambulink:
    """One robot, opened from its YAML configuration file.

    The robot layer's link and watchdog threads run from construction until the object is
    deleted (or the interpreter exits). All arguments are positional.
    """

    @overload
    def __init__(self) -> None:
        """An unconnected object: every method raises RuntimeError."""
    @overload
    def __init__(self, path: str | bytes, /) -> None:
        """Opens the robot from the configuration file and starts it.

        Raises RuntimeError when the file cannot be loaded.
        """
    def receive_observation(self) -> list[float]:
        """Returns 3n + 10 floats: (pos, vel, tau) for each joint in turn, then acc x y z,
        gyro x y z and the quaternion w x y z of the first IMU."""
    def send_command(
        self,
        kp: Sequence[SupportsFloat],
        kd: Sequence[SupportsFloat],
        pos: Sequence[SupportsFloat],
        vel: Sequence[SupportsFloat],
        tau: Sequence[SupportsFloat],
        /,
    ) -> None:
        """Commands every joint. Each argument is any sequence of numbers (numpy arrays
        included) with at least n entries; entries past n are ignored.

        Raises ValueError, sending nothing, for a list shorter than n or a non-finite value,
        and TypeError for an argument that is not a sequence of numbers.
        """
    def brake(self) -> None:
        """Commands pure damping on every joint: kp 0, kd 0.5, zero targets."""
    def get_motor_num(self) -> int:
        """Returns the number of joints n."""
    def get_version(self) -> str:
        """Returns the version text of the robot layer."""
    def receive_observation_array(
        self, out: npt.NDArray[np.float64] | None = None
    ) -> npt.NDArray[np.float64]:
        """The observation of receive_observation() as a float64 array of 3n + 10 values.

        With `out` (a writable one-dimensional float64 array of exactly 3n + 10 values) the
        values are written into it, nothing is allocated, and `out` is returned. Raises
        ValueError for an array of another shape or type, TypeError for a read-only buffer.
        """
    def link_stats(self) -> LinkStats:
        """The link's health; reading it never makes the link thread wait."""
    def reset_link_stats(self) -> None:
        """Starts a new window: every count starts again from 0."""
    def start_recording(self, path: str, buffer_records: int = 4096) -> None:
        """Records every exchange with the board into the file at `path` (a pipe works too).

        The link thread copies each exchange into a ring of `buffer_records` entries and a
        writer thread writes the file; when the writer falls behind, exchanges are dropped
        and counted, never the link delayed. Raises RuntimeError when the file cannot be
        written or a recording already runs.
        """
    def stop_recording(self) -> RecordingCounts:
        """Ends the recording and closes the file; returns its counts."""
    def __enter__(self) -> Ambulink: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Stops the robot's threads; every later call raises RuntimeError."""
