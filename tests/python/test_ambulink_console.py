"""The SDK's console taken by a Python log handler instead of standard output."""

import pytest

from conftest import config_path
from test_ambulink_module import run_python

ZENTHI = "zenthi.yaml"
BATTERY_WARNING = "[WARNNING] battery 1 sendRecv status error 3 "


def test_handler_takes_the_lines_and_stdout_stays_quiet(start_board, ambulink, capfd, tmp_path):
    start_board(ZENTHI, "--battery-error", "0:3")
    lines = []
    ambulink.set_log_handler(lines.append)
    try:
        robot = ambulink.Ambulink(config_path(ZENTHI))
        robot.receive_observation()
        del robot
    finally:
        ambulink.set_log_handler(None)  # hands over the queued lines before it returns
    assert capfd.readouterr().out == ""
    assert BATTERY_WARNING in lines
    assert "[RobotSDK] comm init ... 9" in lines
    assert "[PeriodicFunction] motor_comm has stopped!" in lines
    assert not any("\n" in line for line in lines)

    missing = str(tmp_path / "missing.yaml")
    with pytest.raises(RuntimeError):
        ambulink.Ambulink(missing)
    assert capfd.readouterr().out == f"[robot sdk] config path is {missing}\n"
    assert ambulink.dropped_log_lines() == 0


def test_raising_handler_is_reported_once_and_keeps_getting_lines():
    result = run_python("""
        import ambulink
        seen = []
        def handler(line):
            seen.append(line)
            raise RuntimeError("handler broke")
        ambulink.set_log_handler(handler)
        for _ in range(3):
            try:
                ambulink.Ambulink("/no/such/robot.yaml")
            except RuntimeError:
                pass
        ambulink.set_log_handler(None)
        print("delivered", len(seen), flush=True)
    """)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == "delivered 3\n"
    assert result.stderr.count("handler broke") == 1


def test_exit_with_a_handler_set_delivers_the_last_lines(start_board):
    start_board(ZENTHI)
    result = run_python(f"""
        import ambulink
        ambulink.set_log_handler(lambda line: print("handled:", line, flush=True))
        robot = ambulink.Ambulink({config_path(ZENTHI)!r})
    """)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines and all(line.startswith("handled: ") for line in lines)
    assert "handled: [PeriodicFunction] watch_dog has stopped!" in lines
    assert result.stderr == ""
