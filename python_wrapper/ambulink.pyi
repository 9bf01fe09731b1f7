"""Python access to a drivelink robot: observations and commands as flat lists of floats."""

from typing import Sequence, SupportsFloat, overload

class LinkError(RuntimeError):
    """The watchdog gave up on the link to the motor board (about 0.1 s without valid
    feedback) on a robot opened with exit_on_link_failure=False. Raised once, by the next
    receive_observation or send_command; the message says how long the link has been silent. The motors keep the last
    command frame meanwhile, and the link is used again as soon as the board answers."""

class Ambulink:
    """One robot, opened from its YAML configuration file.

    The robot layer's link and watchdog threads run from construction until the object is
    deleted (or the interpreter exits). All arguments are positional.
    """

    @overload
    def __init__(self) -> None:
        """An unconnected object: every method raises RuntimeError."""
    @overload
    def __init__(self, path: str | bytes, /, *, exit_on_link_failure: bool = True) -> None:
        """Opens the robot from the configuration file and starts it.

        Raises RuntimeError when the file cannot be loaded, and when a motor or IMU never
        sent a valid record during the ten priming exchanges (the message names them; nothing
        is left running).

        A lost link (ten failing watchdog checks, about 0.1 s) ends the process with exit
        status 1 by default; the motors keep the last command frame. With
        exit_on_link_failure=False the process goes on: the next receive_observation or
        send_command raises LinkError, the motors keep the last command frame, and
        the link is used again as soon as the board answers.
        """
    def receive_observation(self) -> list[float]:
        """Returns 3n + 10 floats: (pos, vel, tau) for each joint in turn, then acc x y z,
        gyro x y z and the quaternion w x y z of the first IMU.

        Raises LinkError once after the link was lost (exit_on_link_failure=False)."""
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
        and TypeError for an argument that is not a sequence of numbers; LinkError once after
        the link was lost (exit_on_link_failure=False).
        """
    def brake(self) -> None:
        """Commands pure damping on every joint: kp 0, kd 0.5, zero targets. Never raises
        LinkError: after a lost link the brake frame goes out as soon as the board answers."""
    def get_motor_num(self) -> int:
        """Returns the number of joints n."""
    def get_version(self) -> str:
        """Returns the version text of the robot layer."""
