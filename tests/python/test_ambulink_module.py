"""The module itself: import, interpreter-version check, construction failures, the
unconnected object, and clean shutdown of the robot's threads."""

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from conftest import LIB_DIR, config_path

COMPILED_FOR = f"{sys.version_info.major}.{sys.version_info.minor}"
NOT_CONNECTED = "Ambulink is not connected: construct it with a configuration path"
STOP_LINES = ("[PeriodicFunction] watch_dog has stopped!", "[PeriodicFunction] motor_comm has stopped!")


def run_python(script, timeout_s=60):
    """Runs a script in a fresh interpreter (inside this run's network namespace)."""
    env = dict(os.environ, PYTHONPATH=str(LIB_DIR), PYTHONUNBUFFERED="1")
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], env=env,
                          capture_output=True, text=True, timeout=timeout_s)


class TestImport:
    def test_module_and_stub_sit_beside_the_library(self, ambulink):
        module_dir = os.path.dirname(ambulink.__file__)
        assert os.path.samefile(module_dir, LIB_DIR)
        assert os.path.exists(os.path.join(module_dir, "libdrivelink_Linux64.so"))
        stub = open(os.path.join(module_dir, "ambulink.pyi")).read()
        for name in ("receive_observation", "send_command", "brake", "get_motor_num", "get_version", "motor_states",
                     "battery_states", "wait_for_observation", "set_log_handler", "dropped_log_lines"):
            assert f"def {name}(" in stub

    def test_imports_from_the_project_root_with_no_library_path(self):
        env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
        env["PYTHONPATH"] = str(LIB_DIR)
        result = subprocess.run([sys.executable, "-c", "import ambulink; print(ambulink.Ambulink.__name__)"],
                                env=env, capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "Ambulink"


# An interpreter that claims another version: its own Py_GetVersion takes the place of the
# library's for the module, so the import-time check sees the claimed text.
VERSION_HARNESS = r"""
#include <Python.h>
#include <stdio.h>
static const char* claimed_version;
const char* Py_GetVersion(void) { return claimed_version; }
int main(int argc, char** argv) {
  if (argc != 2) return 2;
  claimed_version = argv[1];
  Py_Initialize();
  PyObject* module = PyImport_ImportModule("ambulink");
  if (!module) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* text = PyObject_Str(value);
    printf("%s: %s\n", ((PyTypeObject*)type)->tp_name, PyUnicode_AsUTF8(text));
    return 3;
  }
  printf("imported\n");
  Py_DECREF(module);
  return Py_FinalizeEx() == 0 ? 0 : 4;
}
"""


@pytest.fixture(scope="module")
def version_harness(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the version harness")
    folder = tmp_path_factory.mktemp("harness")
    source = folder / "harness.c"
    source.write_text(VERSION_HARNESS)
    program = folder / "harness"
    config = sysconfig.get_config_vars()
    command = [compiler, str(source), "-o", str(program), "-rdynamic",
               "-I" + sysconfig.get_paths()["include"], "-L" + config["LIBDIR"],
               "-lpython" + config["LDVERSION"]]
    subprocess.run(command, check=True, capture_output=True, timeout=120)

    def run(claimed):
        env = dict(os.environ, PYTHONPATH=str(LIB_DIR))
        result = subprocess.run([str(program), claimed], env=env, capture_output=True, text=True,
                                timeout=60)
        return result.returncode, result.stdout.strip()

    return run


class TestVersionCheck:
    @pytest.mark.parametrize("claimed", [
        "3.10.12 (main, Nov 20 2023) [GCC 11.4.0]",
        COMPILED_FOR + "0.1 (main)",  # a digit after the compiled version: 3.110 is not 3.11
        "4." + COMPILED_FOR,
    ])
    def test_other_interpreter_versions_fail_the_import(self, version_harness, claimed):
        code, output = version_harness(claimed)
        assert code == 3
        assert output == (f"ImportError: Python version mismatch: module was compiled for Python "
                          f"{COMPILED_FOR}, but the interpreter version is incompatible: {claimed}.")

    @pytest.mark.parametrize("claimed", [COMPILED_FOR + ".2 (main)", COMPILED_FOR, COMPILED_FOR + "rc1"])
    def test_same_minor_version_imports(self, version_harness, claimed):
        assert version_harness(claimed) == (0, "imported")


class TestUnconnected:
    @pytest.mark.parametrize("call", [
        lambda robot: robot.receive_observation(),
        lambda robot: robot.send_command([0.0], [0.0], [0.0], [0.0], [0.0]),
        lambda robot: robot.brake(),
        lambda robot: robot.get_motor_num(),
        lambda robot: robot.get_version(),
        lambda robot: robot.motor_states(),
        lambda robot: robot.battery_states(),
        lambda robot: robot.wait_for_observation(0.0),
    ], ids=["receive_observation", "send_command", "brake", "get_motor_num", "get_version", "motor_states",
            "battery_states", "wait_for_observation"])
    def test_every_method_raises(self, ambulink, call):
        robot = ambulink.Ambulink()
        with pytest.raises(RuntimeError, match=f"^{NOT_CONNECTED}$"):
            call(robot)


class TestConstruction:
    def test_missing_configuration_file(self, ambulink, tmp_path):
        missing = tmp_path / "no-such-robot.yaml"
        with pytest.raises(RuntimeError, match="bad file: .*no-such-robot.yaml: the file does not exist"):
            ambulink.Ambulink(str(missing))

    @pytest.mark.parametrize("bad", [42, None, ["configs/zenthi.yaml"]])
    def test_path_must_be_text(self, ambulink, bad):
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            ambulink.Ambulink(bad)

    def test_bytes_path_is_taken_as_raw_bytes(self, start_board, ambulink):
        start_board("zenthi.yaml")
        robot = ambulink.Ambulink(os.fsencode(config_path("zenthi.yaml")))
        assert robot.get_motor_num() == 18
        assert robot.get_version() == "1.0.0"
        del robot


class TestShutdown:
    def test_del_stops_threads_before_release_and_exits_clean(self, start_board):
        board = start_board("zenthi.yaml")
        result = run_python(f"""
            import ambulink
            robot = ambulink.Ambulink({config_path("zenthi.yaml")!r})
            robot.brake()
            del robot
            print("after del", flush=True)
        """)
        assert result.returncode == 0, result.stdout + result.stderr
        out = result.stdout
        assert out.rstrip().endswith("after del")
        for line in STOP_LINES:
            assert line in out and out.index(line) < out.index("after del")
        assert board.frame_count() >= 10  # the priming exchanges reached the board

    def test_exit_with_a_live_object_stops_its_threads_early(self, start_board):
        start_board("zenthi.yaml")
        # A hook registered before the import runs after the module's own (last in, first out):
        # by then the robot's threads must already be stopped.
        result = run_python(f"""
            import atexit
            atexit.register(lambda: print("late exit hook", flush=True))
            import ambulink
            robot = ambulink.Ambulink({config_path("zenthi.yaml")!r})
            cycle = [robot]
            cycle.append(cycle)  # kept alive past the module's clean-up
            robot.send_command(*([[0.0] * 18] * 5))
        """)
        assert result.returncode == 0, result.stdout + result.stderr
        out = result.stdout
        for line in STOP_LINES:
            assert out.count(line) == 1
            assert out.index(line) < out.index("late exit hook")
        assert result.stderr == ""

    def test_use_after_the_shutdown_hook_raises(self, start_board):
        start_board("zenthi.yaml")
        result = run_python(f"""
            import atexit

            def late_use():
                try:
                    robot.get_motor_num()
                except RuntimeError as error:
                    print(f"raised: {{error}}", flush=True)
            atexit.register(late_use)  # runs after the module's hook has released the robot
            import ambulink
            robot = ambulink.Ambulink({config_path("zenthi.yaml")!r})
        """)
        assert result.returncode == 0, result.stdout + result.stderr
        assert "raised: Ambulink is closed: the interpreter is shutting down" in result.stdout
