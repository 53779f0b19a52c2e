"""The studies: Gaussian uncertainty moments and the European call parameter
sweep against the Black-Scholes closed form, from Python and the command line."""

from __future__ import annotations

import json
import math

import pytest

import brisklane
from conftest import SAMPLING_METHODS as SAMPLINGS, summary_fields

moments = brisklane.gaussian_uncertainty_moments
sweep = brisklane.price_european_call_parameter_sweep

SMOKE_WARNING = "moment estimates are noisy below roughly 1024 samples; use as smoke evidence only"
EUROPEAN_DEFAULTS = {
    "s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "n_paths": 100000, "n_steps": 252,
    "seed": 42, "n_threads": 0, "technique": "standard", "sampling": "pseudorandom",
}
UNSET_SCENARIO = {
    "scenario_id": "base", "s0": None, "k": None, "r": None, "sigma": None, "t": None, "n_paths": None,
    "n_steps": None, "seed": None, "sampling": None, "technique": None, "method": None,
}


def inf_warning(scenario_id):
    return f"scenario '{scenario_id}' is inf standard errors from Black-Scholes reference"


# --- Gaussian uncertainty moments ---


def test_moments_default_result():
    result = moments({})
    assert list(result) == ["manifest", "values", "warnings"] and result["warnings"] == []
    assert result["manifest"]["function"] == result["manifest"]["workload"] == "gaussian_uncertainty_moments"
    assert result["manifest"]["config"] == {"n_samples": 100000, "dimensions": 3, "seed": 42, "sampling": "pseudorandom"}
    values = result["values"]
    assert list(values) == sorted(values) and len(values) == 13
    assert (values["samples"], values["dimensions"], values["sampling"], values["warnings"]) == (100000, 3, "pseudorandom", [])
    # f = z0^2 + z1 / 2 + exp(z2 / 10): E f = 1 + e^{0.005}, Var f = 2 + 1/4 + e^{0.02} - e^{0.01}.
    assert values["analytic_mean"] == 2.0050125208594007 == pytest.approx(1.0 + math.exp(0.005), rel=1e-15)
    assert values["analytic_variance"] == 2.260151172942588 == pytest.approx(2.25 + math.exp(0.02) - math.exp(0.01), rel=1e-15)
    assert values["mean_abs_error"] < 4.0 * values["stderr_mean"] and values["variance_abs_error"] < 0.1
    assert values["stderr_mean"] == math.sqrt(values["variance"] / 100000)
    half_width = values["stderr_mean"] * 1.96
    assert (values["mean_ci_95_low"], values["mean_ci_95_high"]) == (values["mean"] - half_width, values["mean"] + half_width)


def test_moments_known_values_and_reading_order(recording_config):
    # From a pure-Python recomputation of f over 500 points of 4 normals, drawn point-major from seed 77.
    config = recording_config({"samples": 50, "n_paths": 500, "dimensions": 4, "seed": 77})
    values = moments(config)["values"]
    assert config.keys == ["n_samples", "n_paths", "dimensions", "seed", "sampling"]
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


@pytest.mark.parametrize("config, error, message", [
    ({"n_samples": 0, "dimensions": 2}, None, "n_samples must be > 0"),
    ({"dimensions": 2}, None, "dimensions must be >= 3"),
    ({"n_samples": 2**62, "dimensions": 8}, MemoryError, "cannot allocate standard normal matrix: 4611686018427387904 x 8 values overflow 64 bits"),
    ({"n_samples": 2**40, "dimensions": 2**21, "sampling": "scrambled_sobol"}, MemoryError,
     "cannot allocate standard normal matrix: 2305843009213693952 values"),
])
def test_moments_validation_and_memory(panic_exception, config, error, message):
    with pytest.raises(error or panic_exception) as info:
        moments(config)
    assert str(info.value) == message


@pytest.mark.parametrize("sampling", SAMPLINGS)
def test_moments_dimension_dependence(sampling):
    # Pseudorandom points are drawn point-major, so more dimensions shift the stream; structured points do not.
    three = moments({"n_samples": 2000, "dimensions": 3, "seed": 5, "sampling": sampling})["values"]
    nine = moments({"n_samples": 2000, "dimensions": 9, "seed": 5, "sampling": sampling})["values"]
    assert ((three["mean"], three["variance"]) == (nine["mean"], nine["variance"])) == (sampling != "pseudorandom")
    assert abs(three["mean_abs_error"]) < max(4.0 * three["stderr_mean"], 1e-3)


def test_moments_sobol_ignores_high_seed_bits():
    low = moments({"n_samples": 3000, "seed": 0x1234, "sampling": "scrambled_sobol"})["values"]
    assert moments({"n_samples": 3000, "seed": (0xABCD << 40) | 0x1234, "sampling": "scrambled_sobol"})["values"] == low
    assert moments({"n_samples": 3000, "seed": 0x1235, "sampling": "scrambled_sobol"})["values"]["mean"] != low["mean"]


# --- Parameter sweep ---


@pytest.fixture(scope="module")
def default_sweep():
    return sweep({})


def test_sweep_default_result(default_sweep):
    assert list(default_sweep) == ["manifest", "values", "warnings"] and default_sweep["warnings"] == []
    manifest, values = default_sweep["manifest"], default_sweep["values"]
    assert (manifest["function"], manifest["workload"]) == ("price_european_call_parameter_sweep", "european_call_parameter_sweep")
    assert manifest["config"] == {
        "base_config": EUROPEAN_DEFAULTS, "method": "terminal_distribution", "seed_stride": 10000,
        "scenarios": [dict(UNSET_SCENARIO, scenario_id="atm_base"), dict(UNSET_SCENARIO, scenario_id="down_10pct", s0=90.0),
                      dict(UNSET_SCENARIO, scenario_id="high_vol", sigma=0.35)],
    }
    assert list(values) == sorted(values) and values["warnings"] == []
    assert (values["schema_version"], values["workload"], values["method"]) == ("european-call-sweep.v1", "european_call", "terminal_distribution")
    assert (values["scenario_count"], values["total_paths"], values["base_seed"], values["seed_stride"]) == (3, 300000, 42, 10000)
    rows = values["rows"]
    assert [(row["scenario_index"], row["scenario_id"]) for row in rows] == [(0, "atm_base"), (1, "down_10pct"), (2, "high_vol")]
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


def test_sweep_seeds_and_config_layers():
    result = sweep({"n_paths": 1000, "seed_stride": 7, "seed": 100,
                    "scenarios": [{"scenario_id": "a"}, {"scenario_id": "b", "seed": 5}, {"scenario_id": "c"}]})
    assert [row["config"]["seed"] for row in result["values"]["rows"]] == [100, 5, 114]  # not shifted by b's own seed
    result = sweep({"seed": 2**64 - 1, "seed_stride": 2, "n_paths": 100, "scenarios": [{"scenario_id": "a"}, {"scenario_id": "b"}]})
    assert [row["config"]["seed"] for row in result["values"]["rows"]] == [2**64 - 1, 1]
    rows = sweep({"n_paths": 100, "scenarios": [{"scenario_id": " a"}, {"scenario_id": "a"}]})["values"]["rows"]
    assert [row["scenario_id"] for row in rows] == [" a", "a"]  # ids are compared untrimmed
    # base_config replaces the default base, top-level keys override it, scenario keys override both.
    result = sweep({"base_config": {"spot": 110, "n_paths": 5000, "n_threads": 1, "technique": "antithetic"}, "n_paths": 3000, "n_steps": 8,
                    "scenarios": [{"scenario_id": "x", "strike": 105, "maturity": 0.5, "sampling": "Latin-Hypercube"}]})
    base = result["manifest"]["config"]["base_config"]
    assert base == dict(EUROPEAN_DEFAULTS, s0=110.0, n_paths=3000, n_steps=8, n_threads=1, technique="antithetic")
    assert result["values"]["rows"][0]["config"] == dict(base, k=105.0, t=0.5, sampling="latin_hypercube")
    assert result["manifest"]["config"]["scenarios"] == [dict(UNSET_SCENARIO, scenario_id="x", k=105.0, t=0.5, sampling="latin_hypercube")]


def test_sweep_reads_keys_in_order(recording_config):
    config = recording_config({"scenarios": [recording_config({"scenario_id": "only"})]})
    sweep(config)
    assert config.keys == ["base_config", "n_paths", "n_steps", "seed", "seed_stride", "method", "scenarios"]
    assert config.values["scenarios"][0].keys == [
        "scenario_id", "s0", "spot", "k", "strike", "r", "rate", "sigma", "volatility", "t", "maturity",
        "n_paths", "paths", "n_steps", "steps", "seed", "sampling", "technique", "method",
    ]


@pytest.mark.parametrize("config, message", [
    ({"base_config": {"sigma": 0}, "scenarios": []}, "sigma must be > 0"),
    ({"n_paths": 0, "base_config": {"t": 0}}, "n_paths must be > 0"),
    ({"scenarios": []}, "parameter sweep must contain at least one scenario"),
    ({"scenarios": [{}, {}]}, "scenario_id values must be unique"),
    ({"scenarios": "atm"}, "Can't extract `str` to `Vec`"),
    ({"scenarios": [{"scenario_id": "\u3000\t"}]}, "scenario_id must not be empty"),
    ({"scenarios": [{"scenario_id": "a", "n_steps": 0, "s0": -1}]}, "n_steps must be > 0"),
    ({"scenarios": [{"scenario_id": "a", "k": float("nan")}]}, "k must be > 0"),
    ({"scenarios": [{"scenario_id": "a", "spot": 0, "t": 0}]}, "s0 must be > 0"),
    ({"scenarios": [{"scenario_id": "a", "s0": float("nan")}]}, "s0 must be > 0"),
    ({"scenarios": [{"scenario_id": "a", "k": 0, "sigma": 0}]}, "k must be > 0"),
    ({"scenarios": [{"scenario_id": "a", "sigma": -0.2, "t": 0}]}, "sigma must be > 0"),
    ({"scenarios": [{"scenario_id": "a", "sigma": float("nan")}]}, "sigma must be > 0"),
    ({"scenarios": [{"scenario_id": "a", "t": float("nan")}]}, "t must be > 0"),
    ({"scenarios": [{"scenario_id": "a", "method": "exact"}]}, "unsupported European call method 'exact'"),
])
def test_sweep_validation_and_conversion_messages(panic_exception, config, message):
    with pytest.raises((panic_exception, TypeError, ValueError)) as info:
        sweep(config)
    assert str(info.value) == message


def test_sweep_validates_everything_before_pricing(panic_exception):
    # The first scenario alone would take hours; the invalid last one must stop the call first.
    with pytest.raises(panic_exception) as info:
        sweep({"scenarios": [{"scenario_id": "huge", "n_paths": 10**13}, {"scenario_id": "flat", "sigma": 0}]})
    assert str(info.value) == "sigma must be > 0"


def test_sweep_single_path_row_is_infinitely_far():
    result = sweep({"base_config": {"n_threads": 1},
                    "scenarios": [{"scenario_id": "lonely", "n_paths": 1}, {"scenario_id": "fine", "n_paths": 2000}]})
    row = result["values"]["rows"][0]
    assert row["result"]["stderr"] == 0.0 and row["abs_error_vs_black_scholes"] > 0.0
    assert row["abs_error_stderr_units"] is None  # +inf is not JSON
    assert result["values"]["warnings"] == [inf_warning("lonely")] and result["warnings"] == []
    values = sweep({"scenarios": [{"scenario_id": f"s{i}", "n_paths": 2} for i in range(100)]})["values"]
    expected = [inf_warning(row["scenario_id"]) if row["abs_error_stderr_units"] is None
                else f"scenario '{row['scenario_id']}' is {row['abs_error_stderr_units']:.3f} standard errors from Black-Scholes reference"
                for row in values["rows"] if row["abs_error_stderr_units"] is None or row["abs_error_stderr_units"] > 4.0]
    assert values["warnings"] == expected and any(" inf " not in warning for warning in expected)


def test_sweep_methods():
    base = {"n_paths": 4000, "n_steps": 16, "seed": 1, "base_config": {"n_threads": 1}}
    rows = sweep(dict(base, scenarios=[{"scenario_id": "terminal"}, {"scenario_id": "stepwise", "method": "stepwise_paths"},
                                       {"scenario_id": "auto", "method": " AUTO "}]))["values"]["rows"]
    assert [row["method"] for row in rows] == ["terminal_distribution", "stepwise_paths", "auto"]
    for row in (rows[0], rows[2]):  # "auto" is priced by the terminal method
        assert row["result"] == brisklane.price_european_call(row["config"])["values"]
    assert rows[1]["result"] != brisklane.price_european_call(rows[1]["config"])["values"]
    assert abs(rows[1]["result"]["price"] - rows[1]["analytic_price"]) < 4.0 * rows[1]["result"]["stderr"]
    auto = sweep(dict(base, method="auto", scenarios=[{"scenario_id": "x"}]))
    assert auto["values"]["method"] == auto["manifest"]["config"]["method"] == auto["values"]["rows"][0]["method"] == "auto"


# --- Command line and the argument frame ---


def table_rows(out):
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("scenario ")) + 2
    rows = []
    for line in lines[start:]:
        if not line.strip():
            break
        rows.append(line.split())
    return rows


def test_cli_moments(cli_run):
    code, out, err = cli_run("moments", "n_samples=500", "sampling=latin_hypercube")
    assert code == 0, err
    values = moments({"n_samples": 500, "sampling": "latin_hypercube"})["values"]
    fields = summary_fields(out)
    assert fields["mean"].startswith(f"{values['mean']:.6f} (exact 2.005013)")
    assert (fields["standard error"], fields["warning"]) == (f"{values['stderr_mean']:.6f}", SMOKE_WARNING)
    assert cli_run("moments", "dimensions=2") == (2, "", "error: dimensions must be >= 3\n")


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
    scenarios = [{"scenario_id": "007"}, {"scenario_id": "low spot", "s0": 90, "method": "stepwise_paths", "n_paths": 2000},
                 {"scenario_id": "one", "n_paths": 1, "seed": 9}]
    (tmp_path / "s.csv").write_text("scenario_id,s0,method,n_paths,seed\n007,,,,\nlow spot,90,stepwise_paths,2000,\none,,,1,9\n")
    (tmp_path / "s.json").write_text(json.dumps(scenarios))
    expected = sweep({"n_paths": 1000, "n_steps": 8, "scenarios": scenarios})
    for name in ("s.csv", "s.json"):
        code, out, err = cli_run("sweep", str(tmp_path / name), "--json", "n_paths=1000", "n_steps=8")
        assert code == 0 and json.loads(out) == expected, err
    code, out, err = cli_run("sweep", str(tmp_path / "s.csv"), "n_paths=1000", "n_steps=8")
    one = table_rows(out)[2]
    assert one[0] == "one" and one[9] == f"{expected['values']['rows'][2]['result']['price']:.6f}" and one[12] in ("+inf", "-inf")
    assert "warning: " + inf_warning("one") in out.splitlines()


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
