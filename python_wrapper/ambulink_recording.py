"""Reader of drivelink flight recordings (Ambulink.start_recording), with numpy only.

    rec = ambulink.read_recording("walk.dlrec")
    rec.time_s              # send time of each exchange, seconds since the recording began
    rec.command["pos"]      # (exchanges, motors) commanded positions, joint side
    rec.motors["pos"]       # (exchanges, motors) measured positions, joint side
    rec.rtt_us, rec.outcome # round trip and outcome (0 complete, 1 none, 2 short, 3 long)

    rec = ambulink.read_recording("walk.dlrec", space="virtual")
    rec.virtual["pos"]      # (exchanges, joints) measured positions in the controller's joint
                            # space (also "vel", "tau"), mapped as the robot maps them

The default path needs numpy alone; space="virtual" imports the ambulink module for the
robot's own mapping.

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
VIRTUAL_STATE = np.dtype([("pos", "f8"), ("vel", "f8"), ("tau", "f8")])
SPACES = ("real", "virtual")
JOINT_STATE = np.dtype([("status", "u1"), ("id", "u1"), ("mode", "u1"), ("pos", "f8"), ("vel", "f8"),
                        ("tau", "f8"), ("temp", "f8")])


FIXED_HEADER_SIZE = 72
RECORD_PREFIX_SIZE = 32


def _disagree(path, field, value, expected):
    raise ValueError(f"{path}: header field {field} is {value}, but the rest of the header makes it {expected}")


def check_header(path, header):
    """Raises ValueError naming the field when the header's sizes do not agree with each other:
    a reader trusting them would cut the records in the wrong places."""
    m, n, b = (int(header[name]) for name in ("motors", "imus", "batteries"))
    expected = {
        "header_size": FIXED_HEADER_SIZE + MOTOR_ENTRY.itemsize * m,
        "command_length": MOTOR_CMD.itemsize * m,
        "reply_length": MOTOR_STATE.itemsize * m + IMU_STATE.itemsize * n + BAT_STATE.itemsize * b,
    }
    expected["record_size"] = (RECORD_PREFIX_SIZE + expected["command_length"] + expected["reply_length"] + 7) // 8 * 8
    for field in ("header_size", "command_length", "reply_length", "record_size"):
        if int(header[field]) != expected[field]:
            _disagree(path, field, int(header[field]), expected[field])


def read_header(path):
    """The header (a record of HEADER) and the motor table (an array of MOTOR_ENTRY). Raises
    ValueError for a file that is not a recording, or whose header does not agree with itself."""
    with open(path, "rb") as file:
        fixed = file.read(HEADER.itemsize)
        if len(fixed) < HEADER.itemsize or not fixed.startswith(MAGIC):
            raise ValueError(f"{path} is not a drivelink flight recording")
        header = np.frombuffer(fixed, HEADER)[0]
        if header["version"] != FORMAT_VERSION:
            raise ValueError(f"{path} has format version {header['version']}, this reader knows {FORMAT_VERSION}")
        check_header(path, header)
        table_bytes = file.read(MOTOR_ENTRY.itemsize * int(header["motors"]))
        if len(table_bytes) < MOTOR_ENTRY.itemsize * int(header["motors"]):
            raise ValueError(f"{path} ends inside its motor table")
        table = np.frombuffer(table_bytes, MOTOR_ENTRY)
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
        # Exchanges are numbered from 0 when the recording starts: gaps are records the writer
        # had to drop. The header's count also holds those after the last record.
        gaps = int(self.exchange[-1]) + 1 - len(self.exchange) if len(self.exchange) else 0
        self.dropped = max(int(header["dropped"]), gaps)
        self.virtual = None  # filled by read_recording(..., space="virtual")

    def held_state(self):
        """The measured state as the controller read it: a motor record that did not arrive
        valid keeps that motor's previous valid values, as the robot keeps them."""
        rows = np.arange(len(self))[:, None]
        latest = np.where(self.motors["status"] == 9, rows, 0)
        np.maximum.accumulate(latest, axis=0, out=latest)
        return {name: np.take_along_axis(self.motors[name], latest, axis=0) for name in VIRTUAL_STATE.names}

    def map_to_virtual(self):
        """Fills `virtual` with the measured state in the controller's joint space, through the
        ambulink module's real_to_virtual (the robot's own mapping for this robot type)."""
        import ambulink  # only here: reading the real space needs numpy alone

        out = np.zeros(self.motors.shape, VIRTUAL_STATE)
        if len(self):
            held = self.held_state()
            mapped = ambulink.real_to_virtual(self.robot_type, held["pos"], held["vel"], held["tau"])
            for name, values in zip(VIRTUAL_STATE.names, mapped):
                out[name] = values
        self.virtual = out
        return out

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


def check_records(path, header, exchange):
    """Raises ValueError naming the field when the exchange numbers or the header's counts
    (filled in when the recording stopped; both 0 in a pipe's copy) do not agree with the
    records."""
    backwards = np.flatnonzero(np.diff(exchange.astype(np.int64)) <= 0) if len(exchange) > 1 else []
    if len(backwards):
        i = int(backwards[0])
        raise ValueError(f"{path}: exchange numbers go backwards: record {i + 1} has exchange "
                         f"{int(exchange[i + 1])} after {int(exchange[i])}")
    recorded, dropped = int(header["recorded"]), int(header["dropped"])
    if recorded == 0 and dropped == 0:
        return
    if recorded != len(exchange):
        _disagree(path, "recorded", recorded, f"{len(exchange)} (the whole records in the file)")
    gaps = int(exchange[-1]) + 1 - len(exchange) if len(exchange) else 0
    if dropped < gaps:
        _disagree(path, "dropped", dropped, f"at least {gaps} (the gaps in the exchange numbers)")


def read_recording(path, space="real"):
    """Reads the recording at `path`; a record cut off at the end of the file is left out.
    space="virtual" also maps the measured state into the controller's joint space
    (Recording.virtual). Raises ValueError naming the field when the header or the records
    do not agree, or for a space that is neither "real" nor "virtual"."""
    if space not in SPACES:
        raise ValueError(f"space must be one of {SPACES}, not {space!r}")
    header, table = read_header(path)
    dtype = record_dtype(header)
    with open(path, "rb") as file:
        file.seek(int(header["header_size"]))
        body = file.read()
    whole = len(body) // dtype.itemsize
    records = np.frombuffer(body, dtype, count=whole)
    check_records(path, header, records["exchange"])
    recording = Recording(header, table, records)
    if space == "virtual":
        recording.map_to_virtual()
    return recording
