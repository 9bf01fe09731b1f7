"""Python access to a drivelink robot: observations and commands as flat lists of floats."""

from typing import Sequence, SupportsFloat, overload

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
