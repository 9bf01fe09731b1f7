"""Reader of drivelink flight recordings (numpy only)."""

from os import PathLike

import numpy as np
import numpy.typing as npt

MAGIC: bytes
FORMAT_VERSION: int
ROBOT_TYPES: dict[int, str]
OUTCOMES: dict[int, str]
HEADER: np.dtype
MOTOR_ENTRY: np.dtype
MOTOR_CMD: np.dtype
MOTOR_STATE: np.dtype
IMU_STATE: np.dtype
BAT_STATE: np.dtype
JOINT_COMMAND: np.dtype
JOINT_STATE: np.dtype
VIRTUAL_STATE: np.dtype
SPACES: tuple[str, ...]

class Recording:
    header: np.void
    robot_type: str
    motor_ids: npt.NDArray[np.uint16]
    motor_types: npt.NDArray[np.uint8]
    gear_ratios: npt.NDArray[np.float64]
    offsets: npt.NDArray[np.float64]
    records: np.ndarray  # record_dtype(header), motor side as on the link
    exchange: npt.NDArray[np.uint64]
    outcome: npt.NDArray[np.uint8]  # 0 complete, 1 no reply, 2 short, 3 long
    time_s: npt.NDArray[np.float64]  # send time since the recording began
    rtt_us: npt.NDArray[np.float64]
    command: np.ndarray  # (exchanges, motors) of JOINT_COMMAND, joint side
    motors: np.ndarray  # (exchanges, motors) of JOINT_STATE, joint side
    imus: np.ndarray  # (exchanges, imus) of IMU_STATE, as received (before calibration)
    batteries: np.ndarray  # (exchanges, batteries) of BAT_STATE
    dropped: int
    virtual: np.ndarray | None  # (exchanges, motors) of VIRTUAL_STATE, the controller's joint space
    def held_state(self) -> dict[str, npt.NDArray[np.float64]]: ...
    def map_to_virtual(self) -> np.ndarray: ...
    def __len__(self) -> int: ...

def read_header(path: str | PathLike[str]) -> tuple[np.void, np.ndarray]: ...
def record_dtype(header: np.void) -> np.dtype: ...
def read_recording(path: str | PathLike[str], space: str = "real") -> Recording: ...
def check_header(path: str | PathLike[str], header: np.void) -> None: ...
def check_records(path: str | PathLike[str], header: np.void, exchange: npt.NDArray[np.uint64]) -> None: ...
