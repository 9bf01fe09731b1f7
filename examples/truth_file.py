"""The board simulator's truth file, read from Python: a CSV of the simulated robot's real pose,
one row every 10 ms of simulated time, flushed about once a second.

Columns: `t` (simulated time, s); `base_x`, `base_y`, `base_z` (torso position, m); `base_qw`,
`base_qx`, `base_qy`, `base_qz` (torso orientation, w x y z); `motor<i>` (driven joint i, rad);
for a biped `virtual<k>` (serial-chain joint k, rad); last `push_fx`, `push_fy`, `push_fz` (the
force pushing the torso, N, world axes). Rows are dicts keyed by column. Lines starting with
`#` are comments (a randomised body's drawn values, before the header): `comments` keeps them."""

import os
import time

TIME = "t"
BASE_POSITION = ("base_x", "base_y", "base_z")
BASE_QUATERNION = ("base_qw", "base_qx", "base_qy", "base_qz")
PUSH_FORCE = ("push_fx", "push_fy", "push_fz")
ROWS_PER_SECOND = 100


def motor_column(i):
    return f"motor{i}"


def virtual_column(k):
    return f"virtual{k}"


class TruthFile:
    """The truth file read as it grows: poll() takes in the rows written since the last call.
    A line still without its newline is a row the simulator is writing: it waits for the next
    poll. A file not there yet has no rows."""

    def __init__(self, path):
        self.path = path
        self.rows = []
        self._file = None
        self._columns = None
        self._partial = ""
        self.comments = []

    def poll(self):
        """Reads the rows written since the last call; returns the newest row or None."""
        if self._file is None:
            if not os.path.exists(self.path):
                return None
            self._file = open(self.path)
        self._partial += self._file.read()
        *lines, self._partial = self._partial.split("\n")
        for line in lines:
            if not line.strip():
                continue
            if line.startswith("#"):
                self.comments.append(line)
                continue
            cells = line.split(",")
            if self._columns is None:
                self._columns = cells
            elif len(cells) == len(self._columns):
                self.rows.append({c: float(v) for c, v in zip(self._columns, cells)})
        return self.rows[-1] if self.rows else None

    def covering(self, until, patience=2.0):
        """The rows once they reach simulated time `until`, or all there are after `patience`
        seconds of waiting for the simulator's next flush."""
        deadline = time.monotonic() + patience
        while (not self.rows or self.rows[-1][TIME] < until) and time.monotonic() < deadline:
            time.sleep(0.1)
            self.poll()
        return self.rows

    def close(self):
        if self._file is not None:
            self._file.close()
            self._file = None


def read_truth(path):
    """Every complete row of a truth file the simulator has finished writing."""
    truth = TruthFile(path)
    try:
        truth.poll()
        return truth.rows
    finally:
        truth.close()
