"""The benchmark report: figures of one run paired with their floors, ratios judged against the
targets, and the JSON that commits are compared by. Runs on made-up results; no benchmark runs."""

import importlib.util
import json
from pathlib import Path

import pytest

REPORT = Path(__file__).resolve().parents[2] / "bench" / "report.py"


@pytest.fixture(scope="module")
def report():
    loader_spec = importlib.util.spec_from_file_location("bench_report", REPORT)
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


def figures(**values):
    return [{"name": name.replace("__", "."), "value": value, "unit": "us"} for name, value in values.items()]


def gbench(*runs):
    return {"benchmarks": [dict(run, time_unit=run.get("time_unit", "ns")) for run in runs]}


@pytest.fixture
def results(tmp_path):
    (tmp_path / "exchange.json").write_text(json.dumps(figures(
        exchange__sdk__back_to_back__median=13.0, exchange__floor__back_to_back__median=10.0,
        exchange__floor__paced__cpu_per_exchange=21.0, exchange__bare_vs_simulator__back_to_back__median=12.0)))
    (tmp_path / "link_loop.json").write_text(json.dumps(figures(
        link_loop__sdk__thread_cpu=12.0, link_loop__floor__thread_cpu=2.0, link_loop__sdk__start_late__p99=100.0,
        link_loop__sdk__cycles=30000, link_loop__sdk__missed_cycles=0.0,
        link_loop__sdk__allocations_per_exchange=0.0)))
    # Under load: 30 missed of 30,000 grid points is 0.1 % exactly; the link thread's CPU
    # against the unloaded SDK's 12 ms/s.
    (tmp_path / "loaded.json").write_text(json.dumps(figures(
        link_loaded__sdk__cycles=29000, link_loaded__sdk__missed_cycles=1000.0,
        link_loaded__sdk__start_late__p99=5000.0)))
    (tmp_path / "loaded_rt.json").write_text(json.dumps(figures(
        link_loaded_rt__sdk__cycles=29970, link_loaded_rt__sdk__missed_cycles=30.0,
        link_loaded_rt__sdk__start_late__p99=250.0, link_loaded_rt__sdk__thread_cpu=17.0)))
    (tmp_path / "stalls.json").write_text(json.dumps(figures(
        stalls_loaded__over_0_9_period_share=0.05, stalls_loaded__longest=3800.0)))
    (tmp_path / "python.json").write_text(json.dumps(figures(
        python__sdk__pair_n10=1500.0, python__floor__pair_n10=1000.0)))
    (tmp_path / "physics.json").write_text(json.dumps(figures(physics__wall_per_sim_second__zenthi=0.1)))
    (tmp_path / "black_box.json").write_text(json.dumps(figures(
        black_box__cpu_per_exchange__on=10.2, black_box__cpu_per_exchange__off=10.0)))
    (tmp_path / "remote.json").write_text(json.dumps(figures(
        remote__floor__dds_one_way__median=100.0, remote__local__command_to_wire__median=1000.0,
        remote__sdk__command_to_wire__median=1700.0, remote__sdk__periods_reached_share=99.5,
        remote__python__state_age__median=300.0)))
    (tmp_path / "conversion.json").write_text(json.dumps(gbench(
        {"name": "BM_KdlFkJacobian_median", "run_name": "BM_KdlFkJacobian", "aggregate_name": "median",
         "cpu_time": 1.2, "time_unit": "us"},
        {"name": "BM_KdlFkJacobian_mean", "run_name": "BM_KdlFkJacobian", "aggregate_name": "mean",
         "cpu_time": 9.9, "time_unit": "us"},
        {"name": "BM_SetCommand/veltra1", "cpu_time": 1300.0, "allocs_per_call": 1.0})))
    (tmp_path / "kinematics.json").write_text(json.dumps(gbench(
        {"name": "BM_SwitchLegJointWithJacobian", "cpu_time": 400.0})))
    return tmp_path


def rows_by_name(report, results_dir):
    f = report.Figures(results_dir)
    rows = (report.exchange_rows(f) + report.link_loop_rows(f) + report.loaded_rows(f) + report.conversion_rows(f)
            + report.python_rows(f) + report.allocation_rows(f) + report.physics_rows(f) + report.black_box_rows(f)
            + report.remote_rows(f))
    return {r["name"]: r for r in rows}


class TestPairing:
    def test_value_and_floor_come_from_the_same_run(self, report, results):
        row = rows_by_name(report, results)["exchange.back_to_back.median"]
        assert (row["value"], row["floor"]) == (13.0, 10.0)
        assert row["ratio"] == pytest.approx(1.3)
        assert report.verdict(row) == "MISSED"

    def test_the_sdk_is_also_judged_against_the_bare_client_on_the_simulator(self, report, results):
        row = rows_by_name(report, results)["exchange.vs_bare_on_simulator.back_to_back.median"]
        assert (row["value"], row["floor"]) == (13.0, 12.0)
        assert report.verdict(row) == "met"

    def test_benchmark_median_wins_over_other_aggregates_and_units_become_ns(self, report, results):
        row = rows_by_name(report, results)["conversion.switch_leg_joint_jacobian"]
        assert row["floor"] == pytest.approx(1200.0)
        assert row["ratio"] == pytest.approx(400.0 / 1200.0)
        assert report.verdict(row) == "met"

    def test_link_thread_cpu_floor_adds_one_bare_exchange_per_period(self, report, results):
        row = rows_by_name(report, results)["link_loop.cpu.link_thread"]
        assert row["floor"] == pytest.approx(2.0 + 21.0 / 1000.0 / 0.0021)

    def test_allocation_target_is_an_absolute_count(self, report, results):
        rows = rows_by_name(report, results)
        assert report.verdict(rows["allocations.link_thread_per_exchange"]) == "met"
        assert rows["allocations.setCommand.veltra1"]["value"] == 1.0
        assert rows["allocations.setCommand.veltra1"]["ratio"] is None

    def test_figures_not_measured_stay_empty_and_are_not_judged(self, report, results):
        row = rows_by_name(report, results)["python.observation_command.n18"]
        assert row["value"] is None and row["ratio"] is None
        assert report.verdict(row) == ""


class TestRemote:
    def test_command_to_wire_floor_is_the_dds_trip_plus_the_local_path(self, report, results):
        rows = rows_by_name(report, results)
        wire = rows["remote.command_to_wire.median"]
        assert wire["floor"] == pytest.approx(1100.0)
        assert report.verdict(wire) == "MISSED"  # 1700 / 1100 > 1.5
        missed = rows["remote.periods_missed_share"]
        assert missed["value"] == pytest.approx(0.5) and report.verdict(missed) == "met"

    def test_python_reader_is_shown_against_the_dds_trip_but_not_judged(self, report, results):
        python = rows_by_name(report, results)["remote.python.state_age.median"]
        assert python["ratio"] == pytest.approx(3.0) and report.verdict(python) == ""


class TestUnderLoad:
    def test_real_time_rows_are_judged_against_the_unloaded_sdk_of_the_same_run(self, report, results):
        rows = rows_by_name(report, results)
        missed = rows["link_loaded_rt.missed_share"]
        assert missed["value"] == pytest.approx(0.1) and missed["floor"] == 0.0
        assert report.verdict(missed) == "met" and report.target_text(missed) == "<= 0.1"
        late = rows["link_loaded_rt.start_late.p99"]
        assert (late["floor"], late["ratio"]) == (100.0, 2.5)
        assert report.verdict(late) == "MISSED" and report.target_text(late) == "<= 2x"
        assert report.verdict(rows["link_loaded_rt.cpu.link_thread"]) == "met"  # 17 / 12 < 1.5

    def test_ordinary_scheduling_under_load_is_shown_without_a_target(self, report, results):
        rows = rows_by_name(report, results)
        assert rows["link_loaded.missed_share"]["value"] == pytest.approx(100.0 * 1000 / 30000)
        assert all(report.verdict(rows[name]) == "" for name in
                   ("link_loaded.missed_share", "link_loaded.start_late.p99", "link_loaded.cpu.link_thread",
                    "stalls_loaded.over_period_share"))
        assert rows["stalls_loaded.over_period_share"]["value"] == pytest.approx(0.05)


class TestCommandLine:
    def test_physics_speed_is_judged_by_wall_time_per_simulated_second(self, report, results):
        rows = rows_by_name(report, results)
        assert report.verdict(rows["physics.wall_per_sim_second.zenthi"]) == "met"
        assert rows["physics.wall_per_sim_second.veltra1"]["value"] is None

    def test_json_has_exactly_the_agreed_keys(self, report, results, tmp_path, monkeypatch, capsys):
        out = tmp_path / "figures.json"
        monkeypatch.setattr("sys.argv", ["report.py", str(results), "--json", str(out)])
        assert report.main() == 0
        records = json.loads(out.read_text())
        assert records and all(set(r) == {"name", "value", "floor", "ratio", "target", "unit"} for r in records)
        assert len({r["name"] for r in records}) == len(records)
        assert "figure" in capsys.readouterr().out

    def test_a_missing_result_file_fails_the_run(self, report, results, monkeypatch, capsys):
        (results / "python.json").unlink()
        monkeypatch.setattr("sys.argv", ["report.py", str(results)])
        assert report.main() == 1
        assert "python.json" in capsys.readouterr().err
