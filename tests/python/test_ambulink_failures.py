"""Failing safe from Python: a board that never answers during priming, a lost link reported
as ambulink.LinkError instead of ending the process, a board another controller holds, and a
bad file or a missing address raised instead of ending the interpreter."""

import os
import re
import subprocess
import sys
import textwrap

import pytest

from conftest import LIB_DIR, config_path, joint_table
from test_ambulink_module import run_python


def test_board_silent_during_priming_fails_the_constructor(start_board, ambulink):
    board = start_board("veltra1.yaml", "--silent-between", "0:14")
    threads = len(os.listdir("/proc/self/task"))
    with pytest.raises(RuntimeError) as raised:
        ambulink.Ambulink(config_path("veltra1.yaml"))
    message = str(raised.value)
    for motor in range(10):
        assert f"motor {motor} (id " in message
    assert "imu 0" in message
    # Another test's thread may end meanwhile, so only a thread more than before is a fault.
    assert len(os.listdir("/proc/self/task")) <= threads, "the robot left a thread running"
    assert board.wait_for_frames(10)
    frames = board.frames()
    assert len(frames) == 10
    assert all(record["kp"] == 0 and record["kd"] == 0 for frame in frames for record in frame)


def test_lost_link_brakes_and_raises_link_error_until_resumed(start_board):
    """Through the outage and after the board is back every frame is the damping frame; reads
    raise until a valid reply arrives, commands until resume_after_link_failure() succeeds."""
    # In a child: without a handler the watchdog would end the interpreter.
    board = start_board("zenthi.yaml")
    result = run_python(f"""
        import os, signal, time
        import ambulink
        robot = ambulink.Ambulink({config_path("zenthi.yaml")!r}, exit_on_link_failure=False)
        stiff = [[30.0] * 18, [1.0] * 18, [0.2] * 18, [0.0] * 18, [0.0] * 18]

        def say(*parts):  # one write per line: the SDK's threads print meanwhile
            os.write(1, (" ".join(map(str, parts)) + "\\n").encode())

        def frames():
            with open({str(board.record_file)!r}) as record:
                return sum(1 for line in record if line.strip())

        def refused(call):
            try:
                call()
            except ambulink.LinkError as error:
                return str(error)
            return None

        def until(condition, seconds=10.0):
            end = time.monotonic() + seconds
            while not condition() and time.monotonic() < end:
                time.sleep(0.005)
            return condition()

        robot.resume_after_link_failure()  # nothing to resume: returns at once
        robot.send_command(*stiff)
        time.sleep(0.2)
        os.kill({board.pid}, signal.SIGUSR1)
        say("lost", until(lambda: refused(robot.receive_observation)))
        time.sleep(0.1)  # frames sent before the brake have reached the board's record
        lost_at = frames()
        for name, call in (("observation", robot.receive_observation),
                           ("array", robot.receive_observation_array),
                           ("wait", lambda: robot.wait_for_observation(5.0)),
                           ("command", lambda: robot.send_command(*stiff)),
                           ("resume", robot.resume_after_link_failure)):
            say("refused", name, refused(call) is not None)
        say("silent named", "motor 17 (id" in refused(robot.resume_after_link_failure))
        robot.brake()
        os.kill({board.pid}, signal.SIGUSR2)
        say("reads again", until(lambda: refused(robot.receive_observation) is None))
        time.sleep(0.2)
        say("still refused", refused(lambda: robot.send_command(*stiff)) is not None)
        braked_until = frames()
        say("resumed", until(lambda: refused(robot.resume_after_link_failure) is None))
        robot.send_command(*stiff)
        time.sleep(0.1)
        say("frames", lost_at, braked_until)
    """)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr
    out = result.stdout
    assert re.search(r"^lost \[RobotSDK\] getState: the link to the motor board is lost", out, re.M), out[-3000:]
    for name in ("observation", "array", "wait", "command", "resume"):
        assert f"refused {name} True" in out, out[-3000:]
    for line in ("silent named True", "reads again True", "still refused True", "resumed True"):
        assert line in out, out[-3000:]
    assert "[RobotSDK] watchdog: comm failed, braking until resumeAfterLinkFailure()" in out
    assert "comm failed, EXIT" not in out
    lost_at, braked_until = map(int, re.search(r"^frames (\d+) (\d+)$", out, re.M).groups())
    frames = board.frames()
    table = joint_table(config_path("zenthi.yaml"))
    for frame in frames[lost_at:braked_until]:
        for i, record in enumerate(frame):
            assert record["kp"] == 0.0 and record["kd"] == pytest.approx(0.8 / table["gr"][i] ** 2, rel=1e-5)
    assert frames[-1][0]["kp"] > 0, "the controller's commands never went out again after the resume"


# ---- One controller per board, and errors that leave the interpreter running ----------------

def test_a_second_ambulink_on_the_board_is_refused_until_the_first_is_closed(start_board, ambulink):
    start_board("veltra1.yaml")
    path = config_path("veltra1.yaml")
    with ambulink.Ambulink(path):
        with pytest.raises(RuntimeError, match=re.escape(
                "the board 192.168.1.5:8880 is held by another Ambulink in this process: close() it first")):
            ambulink.Ambulink(path)
    robot = ambulink.Ambulink(path)  # the end of the with block let the board go
    robot.close()
    ambulink.Ambulink(path).close()


def test_a_holder_in_another_process_is_named_and_its_killing_frees_the_board(start_board, ambulink):
    start_board("veltra1.yaml")
    path = config_path("veltra1.yaml")
    env = dict(os.environ, PYTHONPATH=str(LIB_DIR), PYTHONUNBUFFERED="1")
    holder = subprocess.Popen(
        [sys.executable, "-c", f"import ambulink, time\nrobot = ambulink.Ambulink({path!r})\n"
                               "print('holding', flush=True)\ntime.sleep(60)"],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        output = []
        for line in holder.stdout:
            output.append(line)
            if line.startswith("holding"):
                break
        else:
            pytest.fail("the holder never opened the robot:\n" + "".join(output[-30:]))
        with pytest.raises(RuntimeError, match=re.escape(
                f"the board 192.168.1.5:8880 is held by process {holder.pid} (python3)")):
            ambulink.Ambulink(path)
    finally:
        holder.kill()
        holder.wait()
    ambulink.Ambulink(path).close()


def test_an_unknown_robot_type_raises_value_error_naming_the_value_and_the_valid_names(ambulink, tmp_path):
    config = tmp_path / "typo.yaml"
    config.write_text(re.sub(r"^robot_type:.*$", "robot_type: veltra2",
                             open(config_path("veltra1.yaml")).read(), flags=re.M))
    threads = len(os.listdir("/proc/self/task"))
    with pytest.raises(ValueError, match=re.escape(
            f'robot_type is "veltra2" in {config}; the valid names are veltra1, veltra1L, zenthi, zenthi_v2')):
        ambulink.Ambulink(str(config))
    # Another test's thread may end meanwhile, so only a thread more than before is a fault.
    assert len(os.listdir("/proc/self/task")) <= threads, "the robot left a thread running"


def test_a_bind_failure_raises_os_error_naming_the_missing_address():
    # In a namespace of its own with only loopback, the controller's address does not exist.
    script = textwrap.dedent(f"""
        import ambulink
        try:
            ambulink.Ambulink({config_path("veltra1.yaml")!r})
        except OSError as error:
            print("raised", error.errno, error, flush=True)
        print("alive", flush=True)
    """)
    env = dict(os.environ, PYTHONPATH=str(LIB_DIR), PYTHONUNBUFFERED="1")
    result = subprocess.run(
        ["unshare", "-rn", "sh", "-c", 'ip link set lo up && exec "$@"', "bare", sys.executable, "-c", script],
        env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr
    raised = re.search(r"^raised 99 .*bind failed.*no address 192\.168\.1\.10.*scripts/with-simulator", result.stdout,
                       re.M)
    assert raised, result.stdout[-3000:]
    assert result.stdout.endswith("alive\n")
