"""Where Ambulink finds its board: the configuration's link section, the board=/local= and
device= keywords, and two simulated robots on loopback at once, each with its own controller
process."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import CONFIG_DIR, LIB_DIR, ROOT

# A controller process: opens the robot, reports its observation's length. Priming over a
# terminal on a busy machine may miss every reply of its ten exchanges, so it tries again.
CONTROLLER = r"""
import os, sys, time, ambulink
keywords = eval(sys.argv[2])
deadline = time.monotonic() + 20
while True:
    try:
        robot = ambulink.Ambulink(sys.argv[1], **keywords)
        break
    except RuntimeError:
        if time.monotonic() > deadline:
            raise
        time.sleep(0.2)
# One write: a line the SDK's threads print meanwhile cannot land inside it.
os.write(1, b"observation %d\n" % len(robot.receive_observation()))
del robot
"""


def start_controller(config, keywords=None, preload=None):
    env = dict(os.environ, PYTHONPATH=str(LIB_DIR))
    if preload:
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(preload)]))
    return subprocess.Popen([sys.executable, "-c", CONTROLLER, str(config), repr(keywords or {})],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def observation_length(controller):
    output, _ = controller.communicate(timeout=60)
    assert controller.returncode == 0, output
    return int(re.search(r"observation (\d+)\n", output).group(1))


def test_a_biped_and_a_zenthi_run_at_once_on_loopback(start_board):
    biped_board = start_board(str(CONFIG_DIR / "local" / "veltra1.yaml"))
    zenthi_board = start_board(str(CONFIG_DIR / "local" / "zenthi.yaml"))
    assert "ready udp 127.0.0.2:8880," in biped_board.output()
    assert "ready udp 127.0.0.2:8890," in zenthi_board.output()
    biped = start_controller(CONFIG_DIR / "local" / "veltra1.yaml")
    zenthi = start_controller(CONFIG_DIR / "local" / "zenthi.yaml")
    assert observation_length(biped) == 3 * 10 + 10
    assert observation_length(zenthi) == 3 * 18 + 10
    assert len(biped_board.frames()[0]) == 10
    assert len(zenthi_board.frames()[0]) == 18


def test_board_and_local_keywords_win_over_the_file(start_board, ambulink):
    board = start_board("veltra1.yaml", "--bind", "127.0.0.1:0")
    port = int(re.search(r"ready udp 127\.0\.0\.1:(\d+)", board.output()).group(1))
    # The shipped file names the robot's own addresses; the keywords replace them.
    robot = ambulink.Ambulink(str(CONFIG_DIR / "veltra1.yaml"), board=f"127.0.0.1:{port}", local="127.0.0.1:0")
    try:
        assert len(robot.receive_observation()) == 40
        assert board.frame_count() >= 10
    finally:
        del robot


@pytest.mark.parametrize("keywords, named", [
    ({"board": "127.0.0.1"}, "board"),
    ({"board": "127.0.0.1:65536"}, "board"),
    ({"local": "controller:0"}, "local"),
    ({"board": "127.0.0.1:8880", "device": "/dev/ttyUSB0"}, "one kind"),
    ({"device": "/dev/ttyUSB0", "baud": 0}, "baud"),
])
def test_malformed_link_keywords_are_value_errors(ambulink, keywords, named):
    with pytest.raises(ValueError, match=named):
        ambulink.Ambulink(str(CONFIG_DIR / "veltra1.yaml"), **keywords)


def serial_driver_preload():
    """The serial-driver stand-in built beside the library's build tree."""
    for directory in (LIB_DIR.parent / "preload", ROOT / "build" / "preload"):
        candidate = directory / "libserial_driver_preload.so"
        if candidate.exists():
            return candidate
    pytest.skip("the serial-driver stand-in is not built")


def test_the_usb_link_runs_on_the_device_given(start_board):
    board = start_board("veltra1.yaml", "--serial")
    device = board.output().splitlines()[0]
    assert device.startswith("/dev/pts/")
    controller = start_controller(CONFIG_DIR / "veltra1.yaml", {"device": device}, serial_driver_preload())
    assert observation_length(controller) == 40
    assert len(board.frames()[0]) == 10
