"""Gaussian uncertainty moments and the European call parameter sweep, from Python and the command line."""

from __future__ import annotations

import itertools
import json
import math

import pytest

import brisklane
from conftest import EUROPEAN_DEFAULTS, PRODUCTS, SAMPLING_METHODS as SAMPLINGS, UNSET_SCENARIO, summary_fields

moments = brisklane.gaussian_uncertainty_moments
sweep = brisklane.price_european_call_parameter_sweep

SMOKE_WARNING = "moment estimates are noisy below roughly 1024 samples; use as smoke evidence only"


def inf_warning(scenario_id):
    return f"scenario '{scenario_id}' is inf standard errors from Black-Scholes reference"


def test_moments_default_result():
    result = moments({})
    assert result["warnings"] == []
    assert result["manifest"]["config"] == PRODUCTS["gaussian_uncertainty_moments"].defaults
    values = result["values"]
    assert list(values) == sorted(values) and len(values) == 13
    assert (values["samples"], values["dimensions"], values["sampling"], values["warnings"]) == (
        100000, 3, "pseudorandom", [])
    # f = z0^2 + z1 / 2 + exp(z2 / 10): E f = 1 + e^{0.005}, Var f = 2 + 1/4 + e^{0.02} - e^{0.01}.
    assert values["analytic_mean"] == 2.0050125208594007 == pytest.approx(1.0 + math.exp(0.005), rel=1e-15)
    assert values["analytic_variance"] == 2.260151172942588 == pytest.approx(
        2.25 + math.exp(0.02) - math.exp(0.01), rel=1e-15)
    assert values["mean_abs_error"] < 4.0 * values["stderr_mean"] and values["variance_abs_error"] < 0.1
    assert values["stderr_mean"] == math.sqrt(values["variance"] / 100000)
    half_width = values["stderr_mean"] * 1.96
    assert (values["mean_ci_95_low"], values["mean_ci_95_high"]) == (
        values["mean"] - half_width, values["mean"] + half_width)


def test_moments_known_values():
    # From a pure-Python recomputation of f over 500 points of 4 normals, drawn point-major from seed 77.
    values = moments({"n_paths": 500, "dimensions": 4, "seed": 77})["values"]
    assert values["mean"] == pytest.approx(2.0175971324838087, rel=1e-13)
    assert values["variance"] == pytest.approx(2.2454433473713182, rel=1e-11)


@pytest.mark.parametrize("sampling", ["pseudorandom", "scrambled_sobol"])
def test_moments_single_sample_and_warning_threshold(sampling):
    values = moments({"n_samples": 1, "sampling": sampling})["values"]
    assert values["variance"] == values["stderr_mean"] == 0.0
    assert values["mean_ci_95_low"] == values["mean"] == values["mean_ci_95_high"]
    assert values["warnings"] == [SMOKE_WARNING]
    below = moments({"n_samples": 1023, "sampling": sampling})
    assert below["values"]["warnings"] == [SMOKE_WARNING] and below["warnings"] == []  # only inside "values"
    assert moments({"n_samples": 1024, "sampling": sampling})["values"]["warnings"] == []


@pytest.mark.parametrize("sampling", SAMPLINGS)
def test_moments_dimension_dependence(sampling):
    # Pseudorandom points are drawn point-major, so more dimensions shift the stream; structured points do not.
    three = moments({"n_samples": 2000, "dimensions": 3, "seed": 5, "sampling": sampling})["values"]
    nine = moments({"n_samples": 2000, "dimensions": 9, "seed": 5, "sampling": sampling})["values"]
    assert ((three["mean"], three["variance"]) == (nine["mean"], nine["variance"])) == (sampling != "pseudorandom")
    assert abs(three["mean_abs_error"]) < max(4.0 * three["stderr_mean"], 1e-3)


def test_moments_sobol_ignores_high_seed_bits():
    def run(seed):
        return moments({"n_samples": 3000, "seed": seed, "sampling": "scrambled_sobol"})["values"]

    assert run((0xABCD << 40) | 0x1234) == run(0x1234) and run(0x1235)["mean"] != run(0x1234)["mean"]


@pytest.fixture(scope="module")
def default_sweep():
    return sweep({})


def test_sweep_default_result(default_sweep):
    assert default_sweep["warnings"] == []
    assert default_sweep["manifest"]["config"] == PRODUCTS["price_european_call_parameter_sweep"].defaults
    values = default_sweep["values"]
    assert list(values) == sorted(values) and values["warnings"] == []
    assert (values["schema_version"], values["workload"], values["method"]) == (
        "european-call-sweep.v1", "european_call", "terminal_distribution")
    assert (values["scenario_count"], values["total_paths"], values["base_seed"], values["seed_stride"]) == (
        3, 300000, 42, 10000)
    rows = values["rows"]
    assert [(row["scenario_index"], row["scenario_id"]) for row in rows] == [
        (0, "atm_base"), (1, "down_10pct"), (2, "high_vol")]
    assert [row["config"]["seed"] for row in rows] == [42, 10042, 20042]
    assert [round(row["analytic_price"], 5) for row in rows] == [9.41339, 4.44794, 15.21421]
    for row in rows:
        assert list(row) == sorted(row) and row["method"] == "terminal_distribution"
        assert row["result"] == brisklane.price_european_call(row["config"])["values"]
        assert row["signed_error_vs_black_scholes"] == row["result"]["price"] - row["analytic_price"]
        assert row["abs_error_vs_black_scholes"] == abs(row["signed_error_vs_black_scholes"])
        assert row["abs_error_stderr_units"] == row["abs_error_vs_black_scholes"] / row["result"]["stderr"] < 4.0


def test_sweep_closed_form_without_rate():
    result = sweep({"base_config": {"r": 0.0, "n_paths": 1000}, "scenarios": [{"scenario_id": "atm"}]})
    assert round(result["values"]["rows"][0]["analytic_price"], 5) == 7.96558


def seeds(config):
    return [row["config"]["seed"] for row in sweep(config)["values"]["rows"]]


def test_sweep_seeds_and_config_layers():
    three = [{"scenario_id": "a"}, {"scenario_id": "b", "seed": 5}, {"scenario_id": "c"}]
    assert seeds({"n_paths": 1000, "seed_stride": 7, "seed": 100, "scenarios": three}) == [100, 5, 114]  # c not shifted
    two = [{"scenario_id": "a"}, {"scenario_id": "b"}]
    assert seeds({"seed": 2**64 - 1, "seed_stride": 2, "n_paths": 100, "scenarios": two}) == [2**64 - 1, 1]
    rows = sweep({"n_paths": 100, "scenarios": [{"scenario_id": " a"}, {"scenario_id": "a"}]})["values"]["rows"]
    assert [row["scenario_id"] for row in rows] == [" a", "a"]  # ids are compared untrimmed
    # base_config replaces the default base, top-level keys override it, scenario keys override both.
    result = sweep({"base_config": {"spot": 110, "n_paths": 5000, "n_threads": 1, "technique": "antithetic"},
                    "n_paths": 3000, "n_steps": 8,
                    "scenarios": [{"scenario_id": "x", "strike": 105, "maturity": 0.5, "sampling": "Latin-Hypercube"}]})
    base = result["manifest"]["config"]["base_config"]
    assert base == dict(EUROPEAN_DEFAULTS, s0=110.0, n_paths=3000, n_steps=8, n_threads=1, technique="antithetic")
    assert result["values"]["rows"][0]["config"] == dict(base, k=105.0, t=0.5, sampling="latin_hypercube")
    assert result["manifest"]["config"]["scenarios"] == [
        dict(UNSET_SCENARIO, scenario_id="x", k=105.0, t=0.5, sampling="latin_hypercube")]


@pytest.mark.parametrize("study, config, error, message", [
    (moments, {"n_samples": 0, "dimensions": 2}, None, "n_samples must be > 0"),
    (moments, {"dimensions": 2}, None, "dimensions must be >= 3"),
    (sweep, {"base_config": {"sigma": 0}, "scenarios": []}, None, "sigma must be > 0"),
    (sweep, {"n_paths": 0, "base_config": {"t": 0}}, None, "n_paths must be > 0"),
    (sweep, {"scenarios": []}, None, "parameter sweep must contain at least one scenario"),
    (sweep, {"scenarios": [{}, {}]}, None, "scenario_id values must be unique"),
    (sweep, {"scenarios": "atm"}, TypeError, "Can't extract `str` to `Vec`"),
    (sweep, {"scenarios": [{"scenario_id": "\u3000\t"}]}, None, "scenario_id must not be empty"),
    (sweep, {"scenarios": [{"scenario_id": "a", "n_steps": 0, "s0": -1}]}, None, "n_steps must be > 0"),
    (sweep, {"scenarios": [{"scenario_id": "a", "k": float("nan")}]}, None, "k must be > 0"),
    (sweep, {"scenarios": [{"scenario_id": "a", "spot": 0, "t": 0}]}, None, "s0 must be > 0"),
    (sweep, {"scenarios": [{"scenario_id": "a", "s0": float("nan")}]}, None, "s0 must be > 0"),
    (sweep, {"scenarios": [{"scenario_id": "a", "k": 0, "sigma": 0}]}, None, "k must be > 0"),
    (sweep, {"scenarios": [{"scenario_id": "a", "sigma": -0.2, "t": 0}]}, None, "sigma must be > 0"),
    (sweep, {"scenarios": [{"scenario_id": "a", "sigma": float("nan")}]}, None, "sigma must be > 0"),
    (sweep, {"scenarios": [{"scenario_id": "a", "t": float("nan")}]}, None, "t must be > 0"),
    (sweep, {"scenarios": [{"scenario_id": "a", "method": "exact"}]}, ValueError,
     "unsupported European call method 'exact'"),
    # The first scenario alone would take hours; the invalid last one must stop the call first.
    (sweep, {"scenarios": [{"scenario_id": "huge", "n_paths": 10**13}, {"scenario_id": "flat", "sigma": 0}]}, None,
     "sigma must be > 0"),
])
def test_study_errors(panic_exception, study, config, error, message):
    with pytest.raises(BaseException) as info:
        study(config)
    assert (type(info.value), str(info.value)) == (error or panic_exception, message)


def test_sweep_single_path_row_is_infinitely_far():
    result = sweep({"base_config": {"n_threads": 1},
                    "scenarios": [{"scenario_id": "lonely", "n_paths": 1}, {"scenario_id": "fine", "n_paths": 2000}]})
    row = result["values"]["rows"][0]
    assert row["result"]["stderr"] == 0.0 and row["abs_error_vs_black_scholes"] > 0.0
    assert row["abs_error_stderr_units"] is None  # +inf is not JSON
    assert result["values"]["warnings"] == [inf_warning("lonely")] and result["warnings"] == []
    values = sweep({"scenarios": [{"scenario_id": f"s{i}", "n_paths": 2} for i in range(100)]})["values"]
    units = {row["scenario_id"]: row["abs_error_stderr_units"] for row in values["rows"]}
    expected = [inf_warning(name) if far is None else f"scenario '{name}' is {far:.3f} standard errors from "
                "Black-Scholes reference" for name, far in units.items() if far is None or far > 4.0]
    assert values["warnings"] == expected and any(" inf " not in warning for warning in expected)


def test_sweep_methods():
    base = {"n_paths": 4000, "n_steps": 16, "seed": 1, "base_config": {"n_threads": 1}}
    scenarios = [{"scenario_id": "terminal"}, {"scenario_id": "stepwise", "method": "stepwise_paths"},
                 {"scenario_id": "auto", "method": " AUTO "}]
    rows = sweep(dict(base, scenarios=scenarios))["values"]["rows"]
    assert [row["method"] for row in rows] == ["terminal_distribution", "stepwise_paths", "auto"]
    for row in (rows[0], rows[2]):  # "auto" is priced by the terminal method
        assert row["result"] == brisklane.price_european_call(row["config"])["values"]
    assert rows[1]["result"] != brisklane.price_european_call(rows[1]["config"])["values"]
    assert abs(rows[1]["result"]["price"] - rows[1]["analytic_price"]) < 4.0 * rows[1]["result"]["stderr"]
    auto = sweep(dict(base, method="auto", scenarios=[{"scenario_id": "x"}]))
    assert auto["values"]["method"] == auto["manifest"]["config"]["method"] == auto["values"]["rows"][0]["method"]
    assert auto["values"]["method"] == "auto"


def table_rows(out):
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("scenario ")) + 2
    return [line.split() for line in itertools.takewhile(str.strip, lines[start:])]


def test_cli_moments(cli_run):
    code, out, err = cli_run("moments", "n_samples=500", "sampling=latin_hypercube")
    assert code == 0, err
    values = moments({"n_samples": 500, "sampling": "latin_hypercube"})["values"]
    fields = summary_fields(out)
    assert fields["mean"].startswith(f"{values['mean']:.6f} (exact 2.005013)")
    assert (fields["standard error"], fields["warning"]) == (f"{values['stderr_mean']:.6f}", SMOKE_WARNING)


def test_cli_sweep_defaults(cli_run, default_sweep):
    code, out, err = cli_run("sweep")
    assert code == 0, err
    rows = table_rows(out)
    assert [row[0] for row in rows] == ["atm_base", "down_10pct", "high_vol"]
    for cells, row in zip(rows, default_sweep["values"]["rows"]):
        price, stderr = row["result"]["price"], row["result"]["stderr"]
        assert cells[8:10] == [str(row["config"]["seed"]), f"{price:.6f}"]
        assert cells[11:13] == [f"{row['analytic_price']:.6f}", f"{(price - row['analytic_price']) / stderr:+.2f}"]
    assert "3 scenarios, 300,000 paths" in out


def test_cli_sweep_files(cli_run, tmp_path):
    scenarios = [{"scenario_id": "007"}, {"scenario_id": "low spot", "s0": 90, "method": "stepwise_paths",
                                          "n_paths": 2000}, {"scenario_id": "one", "n_paths": 1, "seed": 9}]
    (tmp_path / "s.csv").write_text(
        "scenario_id,s0,method,n_paths,seed\n007,,,,\nlow spot,90,stepwise_paths,2000,\none,,,1,9\n")
    (tmp_path / "s.json").write_text(json.dumps(scenarios))
    expected = sweep({"n_paths": 1000, "n_steps": 8, "scenarios": scenarios})
    for name in ("s.csv", "s.json"):
        code, out, err = cli_run("sweep", str(tmp_path / name), "--json", "n_paths=1000", "n_steps=8")
        assert code == 0 and json.loads(out) == expected, err
    code, out, err = cli_run("sweep", str(tmp_path / "s.csv"), "n_paths=1000", "n_steps=8")
    one = table_rows(out)[2]
    assert one[0] == "one" and one[9] == f"{expected['values']['rows'][2]['result']['price']:.6f}"
    assert one[12] in ("+inf", "-inf") and "warning: " + inf_warning("one") in out.splitlines()


@pytest.mark.parametrize("content, suffix, expected", [
    ("[1, 2", ".json", "is not valid JSON"),
    ('"text"', ".json", "must hold a list of scenarios or a sweep configuration object"),
    ("scenario_id,s0\na,1,2\n", ".csv", "line 2 has more cells than the header"),
    (None, ".json", "No such file or directory"),
])
def test_cli_sweep_bad_files(cli_run, tmp_path, content, suffix, expected):
    path = tmp_path / f"scenarios{suffix}"
    if content is not None:
        path.write_text(content)
    code, out, err = cli_run("sweep", str(path))
    assert code == 2 and out == ""
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: ") and expected in lines[0]
