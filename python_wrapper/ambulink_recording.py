"""Reader of drivelink flight recordings (Ambulink.start_recording), with numpy only.

    rec = ambulink.read_recording("walk.dlrec")
    rec.time_s              # send time of each exchange, seconds since the recording began
    rec.command["pos"]      # (exchanges, motors) commanded positions, joint side
    rec.motors["pos"]       # (exchanges, motors) measured positions, joint side
    rec.rtt_us, rec.outcome # round trip and outcome (0 complete, 1 none, 2 short, 3 long)

The file is a header followed by fixed-size records; `record_dtype(header)` describes one
record as it lies in the file (motor side, as on the link), so
`numpy.fromfile(path, record_dtype(header), offset=header["header_size"])` reads them all.
"""

import numpy as np

MAGIC = b"DLFLREC"
FORMAT_VERSION = 1
ROBOT_TYPES = {0: "veltra1", 1: "veltra1L", 2: "zenthi", 3: "zenthi_v2"}
OUTCOMES = {0: "complete", 1: "no reply", 2: "short reply", 3: "long reply"}

HEADER = np.dtype([
    ("magic", "S8"), ("version", "<u4"), ("header_size", "<u4"), ("record_size", "<u4"),
    ("robot_type", "<i4"), ("motors", "<u2"), ("imus", "<u2"), ("batteries", "<u2"), ("reserved", "<u2"),
    ("command_length", "<u4"), ("reply_length", "<u4"), ("start_wall_ns", "<i8"),
    ("start_monotonic_ns", "<i8"), ("recorded", "<u8"), ("dropped", "<u8")])
MOTOR_ENTRY = np.dtype([("id", "<u2"), ("type", "u1"), ("reserved", "u1", (5,)), ("gear_ratio", "<f8"),
                        ("offset", "<f8")])

# The wire records, byte-packed exactly as the board exchanges them.
MOTOR_CMD = np.dtype([("id", "u1"), ("motor_type", "u1"), ("mode", "u1"), ("pos", "<f4"), ("vel", "<f4"),
                      ("tau", "<f4"), ("kp", "<f4"), ("kd", "<f4")])
MOTOR_STATE = np.dtype([("status", "u1"), ("id", "u1"), ("reserved0", "u1"), ("reserved1", "u1"),
                        ("mode", "u1"), ("pos", "<f4"), ("vel", "<f4"), ("tau", "<f4"), ("temp", "<f4")])
IMU_STATE = np.dtype([("status", "u1"), ("id", "u1"), ("acc", "<f4", (3,)), ("gyro", "<f4", (3,)),
                      ("quat", "<f4", (4,))])
BAT_STATE = np.dtype([("status", "u1"), ("bms_id", "u1"), ("failure", "<i4"), ("voltage", "<f4"),
                      ("current", "<f4"), ("soc", "<f4"), ("reserved", "u1", (3,))])

JOINT_COMMAND = np.dtype([("mode", "u1"), ("pos", "f8"), ("vel", "f8"), ("tau", "f8"), ("kp", "f8"),
                          ("kd", "f8")])
JOINT_STATE = np.dtype([("status", "u1"), ("id", "u1"), ("mode", "u1"), ("pos", "f8"), ("vel", "f8"),
                        ("tau", "f8"), ("temp", "f8")])


def read_header(path):
    """The header (a record of HEADER) and the motor table (an array of MOTOR_ENTRY)."""
    with open(path, "rb") as file:
        fixed = file.read(HEADER.itemsize)
        if len(fixed) < HEADER.itemsize or not fixed.startswith(MAGIC):
            raise ValueError(f"{path} is not a drivelink flight recording")
        header = np.frombuffer(fixed, HEADER)[0]
        if header["version"] != FORMAT_VERSION:
            raise ValueError(f"{path} has format version {header['version']}, this reader knows {FORMAT_VERSION}")
        table = np.frombuffer(file.read(MOTOR_ENTRY.itemsize * int(header["motors"])), MOTOR_ENTRY)
    return header, table


def record_dtype(header):
    """One record as it lies in the file."""
    m, n, b = int(header["motors"]), int(header["imus"]), int(header["batteries"])
    fields = [("exchange", "<u8"), ("sent_ns", "<i8"), ("replied_ns", "<i8"), ("outcome", "u1"),
              ("reserved", "u1", (3,)), ("reply_bytes", "<u4"), ("command", MOTOR_CMD, (m,)),
              ("motors", MOTOR_STATE, (m,)), ("imus", IMU_STATE, (n,)), ("batteries", BAT_STATE, (b,))]
    packed = np.dtype(fields)
    return np.dtype({"names": packed.names, "formats": [packed.fields[name][0] for name in packed.names],
                     "offsets": [packed.fields[name][1] for name in packed.names],
                     "itemsize": int(header["record_size"])})


class Recording:
    """A whole recording: the robot's description, the raw records and joint-side views."""

    def __init__(self, header, table, records):
        self.header = header
        self.robot_type = ROBOT_TYPES.get(int(header["robot_type"]), str(int(header["robot_type"])))
        self.motor_ids = table["id"].copy()
        self.motor_types = table["type"].copy()
        self.gear_ratios = table["gear_ratio"].copy()
        self.offsets = table["offset"].copy()
        self.records = records
        self.exchange = records["exchange"]
        self.outcome = records["outcome"]
        self.time_s = (records["sent_ns"] - header["start_monotonic_ns"]) / 1e9
        self.rtt_us = (records["replied_ns"] - records["sent_ns"]) / 1e3
        self.command = self._joint_command(records["command"])
        self.motors = self._joint_state(records["motors"])
        self.imus = records["imus"]  # as the board sent them, before the IMU calibration
        self.batteries = records["batteries"]
        # Gaps in the exchange numbers are records the writer had to drop.
        gaps = int(self.exchange[-1] - self.exchange[0] + 1 - len(self.exchange)) if len(self.exchange) else 0
        self.dropped = max(int(header["dropped"]), gaps)

    def _joint_command(self, raw):
        g, o = self.gear_ratios, self.offsets
        out = np.zeros(raw.shape, JOINT_COMMAND)
        out["mode"] = raw["mode"]
        out["pos"] = (raw["pos"] - o) / g
        out["vel"] = raw["vel"] / g
        out["tau"] = raw["tau"] * g
        out["kp"] = raw["kp"] * g * g
        out["kd"] = raw["kd"] * g * g
        return out

    def _joint_state(self, raw):
        g, o = self.gear_ratios, self.offsets
        out = np.zeros(raw.shape, JOINT_STATE)
        for name in ("status", "id", "mode"):
            out[name] = raw[name]
        out["pos"] = (raw["pos"] - o) / g
        out["vel"] = raw["vel"] / g
        out["tau"] = raw["tau"] * g
        out["temp"] = raw["temp"]
        return out

    def __len__(self):
        return len(self.records)


def read_recording(path):
    """Reads the recording at `path`; a record cut off at the end of the file is left out."""
    header, table = read_header(path)
    dtype = record_dtype(header)
    with open(path, "rb") as file:
        file.seek(int(header["header_size"]))
        body = file.read()
    whole = len(body) // dtype.itemsize
    records = np.frombuffer(body, dtype, count=whole)
    return Recording(header, table, records)
