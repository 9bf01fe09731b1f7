"""The SDK's console taken by a Python log handler instead of standard output."""

import re

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
        print(f"delivered {len(seen)}", flush=True)
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


def test_the_lines_that_explain_an_exit_outlast_a_flood(start_board):
    # A handler slower than the battery warnings of every exchange: the queue overflows, and
    # the watchdog's last lines must still reach the handler or standard output.
    board = start_board(ZENTHI, "--battery-error", "0:3")
    result = run_python(f"""
        import os, signal, time
        import ambulink
        def slow(line):
            time.sleep(0.004)
            print("handled:", line, flush=True)
        ambulink.set_log_handler(slow)
        robot = ambulink.Ambulink({config_path(ZENTHI)!r})
        time.sleep(0.5)
        os.kill({board.pid}, signal.SIGUSR1)
        end = time.monotonic() + 30
        while time.monotonic() < end:  # the watchdog judges the replies read
            robot.receive_observation()
            time.sleep(0.002)
    """)
    assert result.returncode == 1, result.stdout[-3000:] + result.stderr
    out = result.stdout
    assert "[RobotSDK] watchdog: comm failure count 10" in out, out[-3000:]
    assert "[RobotSDK] watchdog: comm failed, EXIT " in out, out[-3000:]
    assert " log lines dropped" in out


def test_a_blocking_handler_holds_up_neither_its_removal_nor_the_exit():
    result = run_python("""
        import threading
        import ambulink
        never = threading.Event()
        ambulink.set_log_handler(lambda line: never.wait())
        for path in ("/no/such/first.yaml", "/no/such/second.yaml"):
            try:
                ambulink.Ambulink(path)
            except RuntimeError:
                pass
        ambulink.set_log_handler(None)
        print("removed", flush=True)
        ambulink.set_log_handler(lambda line: never.wait())
        try:
            ambulink.Ambulink("/no/such/third.yaml")
        except RuntimeError:
            pass
    """)
    assert result.returncode == 0, result.stdout + result.stderr
    # The first line is the one the handler holds; the second it never took.
    assert result.stdout == "[robot sdk] config path is /no/such/second.yaml\nremoved\n"


def test_a_handler_set_during_shutdown_is_refused_and_the_exit_is_clean():
    result = run_python("""
        import atexit

        def late():  # registered first, so it runs after the module's own exit hooks
            import ambulink
            try:
                ambulink.set_log_handler(print)
            except RuntimeError as error:
                print(f"refused: {error}", flush=True)
            try:
                ambulink.Ambulink("/no/such/late.yaml")
            except RuntimeError:
                pass

        atexit.register(late)
        import ambulink

        class SetsOneWhenCollected:
            def __del__(self):
                ambulink.set_log_handler(print)

        keeper = SetsOneWhenCollected()
    """)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == ("refused: set_log_handler(): the interpreter is shutting down; the lines stay on "
                             "standard output\n[robot sdk] config path is /no/such/late.yaml\n")


def test_a_forked_child_cannot_use_the_robot_and_ends_normally(start_board):
    start_board(ZENTHI)
    result = run_python(f"""
        import os, sys, time
        import ambulink
        lines = []
        ambulink.set_log_handler(lines.append)
        robot = ambulink.Ambulink({config_path(ZENTHI)!r})
        child = os.fork()
        if child == 0:
            try:
                robot.receive_observation()
            except RuntimeError as error:
                print(f"child: {{error}}", flush=True)
            sys.exit(0)  # the exit hooks run, as does the robot's destructor
        for _ in range(2000):
            ended, status = os.waitpid(child, os.WNOHANG)
            if ended:
                break
            time.sleep(0.01)
        else:
            os.kill(child, 9)
            ended, status = os.waitpid(child, 0)
        print(f"child status {{os.waitstatus_to_exitcode(status)}}", flush=True)
        robot.receive_observation()
        print("parent goes on", flush=True)
    """)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert any(re.fullmatch(r"child: Ambulink belongs to process \d+, which opened it; a child of fork\(\) "
                            r"cannot use it", line) for line in lines), result.stdout
    assert "child status 0" in lines and "parent goes on" in lines
