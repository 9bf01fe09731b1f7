"""The Python reader of the simulator's truth file, on a file growing the way the simulator
writes it: a row still without its newline waits for the next poll."""

import sys

from conftest import ROOT

sys.path.insert(0, str(ROOT / "examples"))
from truth_file import TruthFile, motor_column  # noqa: E402

HEADER = "t,base_x,base_y,base_z,base_qw,base_qx,base_qy,base_qz,motor0\n"


def test_a_growing_file_yields_each_row_once_it_is_complete(tmp_path):
    path = tmp_path / "truth.csv"
    truth = TruthFile(str(path))
    assert truth.poll() is None  # the simulator has not created it yet
    # A randomised body's drawn values come first, as comment lines.
    path.write_text("# randomize 7: floor friction factor 1.1745\n" + HEADER + "0.00,0,0,0.13,1,0,0,0,0.5\n0.01,0,0,0.1")
    assert truth.poll()["t"] == 0.0 and len(truth.rows) == 1
    with open(path, "a") as f:
        f.write("2,1,0,0,0,0.6\n")
    newest = truth.poll()
    assert [row["base_z"] for row in truth.rows] == [0.13, 0.12]
    assert newest[motor_column(0)] == 0.6
    assert truth.comments == ["# randomize 7: floor friction factor 1.1745"]
    truth.close()
