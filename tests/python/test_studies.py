"""The studies: Gaussian uncertainty moments and the European call parameter
sweep against the Black-Scholes closed form, from Python and the command line."""

from __future__ import annotations

import json
import math
import time

import pytest

import brisklane
from brisklane import cli
from test_european import NormalStream

moments = brisklane.gaussian_uncertainty_moments
sweep = brisklane.price_european_call_parameter_sweep

SMOKE_WARNING = "moment estimates are noisy below roughly 1024 samples; use as smoke evidence only"
ANALYTIC_MEAN = 2.0050125208594007
ANALYTIC_VARIANCE = 2.260151172942588
SAMPLINGS = ("pseudorandom", "randomized_halton", "latin_hypercube", "scrambled_sobol", "scrambled_sobol_brownian_bridge")

EUROPEAN_DEFAULTS = {
    "s0": 100.0, "k": 100.0, "r": 0.03, "sigma": 0.2, "t": 1.0, "n_paths": 100000, "n_steps": 252,
    "seed": 42, "n_threads": 0, "technique": "standard", "sampling": "pseudorandom",
}
UNSET_SCENARIO = {
    "scenario_id": "base", "s0": None, "k": None, "r": None, "sigma": None, "t": None, "n_paths": None,
    "n_steps": None, "seed": None, "sampling": None, "technique": None, "method": None,
}


# ---------------------------------------------------------------------------
# Gaussian uncertainty moments
# ---------------------------------------------------------------------------


def test_moments_default_result():
    result = moments({})
    assert list(result) == ["manifest", "values", "warnings"]
    assert result["warnings"] == []
    manifest = result["manifest"]
    assert manifest["function"] == manifest["workload"] == "gaussian_uncertainty_moments"
    assert manifest["config"] == {"n_samples": 100000, "dimensions": 3, "seed": 42, "sampling": "pseudorandom"}
    values = result["values"]
    assert list(values) == sorted(values)
    assert set(values) == {
        "samples", "dimensions", "sampling", "mean", "variance", "stderr_mean", "analytic_mean",
        "analytic_variance", "mean_abs_error", "variance_abs_error", "mean_ci_95_low", "mean_ci_95_high", "warnings",
    }
    assert values["samples"] == 100000 and values["dimensions"] == 3 and values["sampling"] == "pseudorandom"
    assert values["analytic_mean"] == ANALYTIC_MEAN == pytest.approx(1.0 + math.exp(0.005), rel=1e-15)
    assert values["analytic_variance"] == ANALYTIC_VARIANCE
    assert ANALYTIC_VARIANCE == pytest.approx(2.25 + math.exp(0.02) - math.exp(0.01), rel=1e-15)
    assert values["warnings"] == []
    assert values["mean_abs_error"] < 4.0 * values["stderr_mean"]
    assert values["variance_abs_error"] < 0.1
    assert values["stderr_mean"] == math.sqrt(values["variance"] / 100000)
    assert values["mean_ci_95_low"] == values["mean"] - values["stderr_mean"] * 1.96
    assert values["mean_ci_95_high"] == values["mean"] + values["stderr_mean"] * 1.96


def test_moments_match_a_recomputation_from_the_stream():
    n, dims, seed = 500, 4, 77
    stream = NormalStream(seed)
    s1 = s2 = 0.0
    for _ in range(n):
        z = [stream.next_normal() for _ in range(dims)]
        f = (z[0] * z[0] + z[1] * 0.5) + math.exp(z[2] * 0.1)
        s1 += f
        s2 += f * f
    values = moments({"n_samples": n, "dimensions": dims, "seed": seed})["values"]
    assert values["mean"] == pytest.approx(s1 / n, rel=1e-13)
    assert values["variance"] == pytest.approx((s2 - s1 * s1 / n) / (n - 1), rel=1e-11)
    assert values["warnings"] == [SMOKE_WARNING]


@pytest.mark.parametrize("key", ["n_samples", "n_paths", "samples"])
def test_moments_sample_count_aliases(key):
    assert moments({key: 2000})["values"]["samples"] == 2000


def test_moments_aliases_in_order(recording_config):
    config = recording_config({"samples": 50, "n_paths": 60})
    assert moments(config)["values"]["samples"] == 60
    assert config.keys == ["n_samples", "n_paths", "dimensions", "seed", "sampling"]


@pytest.mark.parametrize("sampling", SAMPLINGS)
def test_moments_single_sample(sampling):
    values = moments({"n_samples": 1, "sampling": sampling})["values"]
    assert values["variance"] == 0.0
    assert values["stderr_mean"] == 0.0
    assert values["mean_ci_95_low"] == values["mean"] == values["mean_ci_95_high"]
    assert values["warnings"] == [SMOKE_WARNING]


def test_moments_warning_below_1024_samples():
    assert moments({"n_samples": 1023})["values"]["warnings"] == [SMOKE_WARNING]
    assert moments({"n_samples": 1024})["values"]["warnings"] == []
    assert moments({"n_samples": 1023})["warnings"] == []  # only inside "values"


@pytest.mark.parametrize(
    "config, message",
    [
        ({"n_samples": 0, "dimensions": 2}, "n_samples must be > 0"),
        ({"dimensions": 2}, "dimensions must be >= 3"),
        ({"dimensions": 0}, "dimensions must be >= 3"),
    ],
)
def test_moments_validation(panic_exception, config, message):
    with pytest.raises(panic_exception) as info:
        moments(config)
    assert str(info.value) == message


def test_moments_matrix_that_cannot_exist_is_a_memory_error():
    with pytest.raises(MemoryError) as info:
        moments({"n_samples": 2**62, "dimensions": 8})
    assert str(info.value) == "cannot allocate standard normal matrix: 4611686018427387904 x 8 values overflow 64 bits"
    with pytest.raises(MemoryError) as info:
        moments({"n_samples": 2**40, "dimensions": 2**21, "sampling": "scrambled_sobol"})
    assert str(info.value) == "cannot allocate standard normal matrix: 2305843009213693952 values"


def test_moments_pseudorandom_depend_on_dimensions():
    three = moments({"n_samples": 2000, "dimensions": 3, "seed": 5})["values"]
    four = moments({"n_samples": 2000, "dimensions": 4, "seed": 5})["values"]
    assert three["mean"] != four["mean"]


@pytest.mark.parametrize("sampling", ["scrambled_sobol", "scrambled_sobol_brownian_bridge", "randomized_halton"])
def test_moments_structured_points_do_not_depend_on_dimensions(sampling):
    three = moments({"n_samples": 2000, "dimensions": 3, "seed": 5, "sampling": sampling})["values"]
    nine = moments({"n_samples": 2000, "dimensions": 9, "seed": 5, "sampling": sampling})["values"]
    assert (three["mean"], three["variance"]) == (nine["mean"], nine["variance"])


def test_moments_sobol_ignores_high_seed_bits():
    low = moments({"n_samples": 3000, "seed": 0x1234, "sampling": "scrambled_sobol"})["values"]
    high = moments({"n_samples": 3000, "seed": (0xABCD << 40) | 0x1234, "sampling": "scrambled_sobol"})["values"]
    other = moments({"n_samples": 3000, "seed": 0x1235, "sampling": "scrambled_sobol"})["values"]
    assert low == high
    assert low["mean"] != other["mean"]


@pytest.mark.parametrize("sampling", SAMPLINGS)
def test_moments_every_sampling_is_close_and_deterministic(sampling):
    first = moments({"n_samples": 20000, "sampling": sampling})
    assert moments({"n_samples": 20000, "sampling": sampling}) == first
    values = first["values"]
    assert values["sampling"] == sampling
    assert values["mean_abs_error"] < max(4.0 * values["stderr_mean"], 1e-3)


# ---------------------------------------------------------------------------
# Parameter sweep
# ---------------------------------------------------------------------------


def scenario_row(result, index):
    return result["values"]["rows"][index]


@pytest.fixture(scope="module")
def default_sweep():
    return sweep({})


def test_sweep_default_result(default_sweep):
    result = default_sweep
    assert list(result) == ["manifest", "values", "warnings"]
    assert result["warnings"] == []
    manifest = result["manifest"]
    assert manifest["function"] == "price_european_call_parameter_sweep"
    assert manifest["workload"] == "european_call_parameter_sweep"
    config = manifest["config"]
    assert list(config) == ["base_config", "method", "scenarios", "seed_stride"]
    assert config["base_config"] == EUROPEAN_DEFAULTS
    assert config["method"] == "terminal_distribution"
    assert config["seed_stride"] == 10000
    assert config["scenarios"] == [
        dict(UNSET_SCENARIO, scenario_id="atm_base"),
        dict(UNSET_SCENARIO, scenario_id="down_10pct", s0=90.0),
        dict(UNSET_SCENARIO, scenario_id="high_vol", sigma=0.35),
    ]

    values = result["values"]
    assert list(values) == sorted(values)
    assert values["schema_version"] == "european-call-sweep.v1"
    assert values["workload"] == "european_call"
    assert values["method"] == "terminal_distribution"
    assert values["scenario_count"] == 3
    assert values["total_paths"] == 300000
    assert values["base_seed"] == 42
    assert values["seed_stride"] == 10000
    assert [row["scenario_id"] for row in values["rows"]] == ["atm_base", "down_10pct", "high_vol"]
    assert [row["scenario_index"] for row in values["rows"]] == [0, 1, 2]
    assert [row["config"]["seed"] for row in values["rows"]] == [42, 10042, 20042]
    assert [round(row["analytic_price"], 5) for row in values["rows"]] == [9.41339, 4.44794, 15.21421]
    for row in values["rows"]:
        assert list(row) == sorted(row)
        assert row["method"] == "terminal_distribution"
        assert list(row["result"]) == ["price", "stderr"]
        assert row["signed_error_vs_black_scholes"] == row["result"]["price"] - row["analytic_price"]
        assert row["abs_error_vs_black_scholes"] == abs(row["signed_error_vs_black_scholes"])
        assert row["abs_error_stderr_units"] == row["abs_error_vs_black_scholes"] / row["result"]["stderr"]
        assert row["abs_error_stderr_units"] < 4.0
    assert values["warnings"] == []


def test_sweep_rows_are_the_single_pricings(default_sweep):
    for row in default_sweep["values"]["rows"]:
        single = brisklane.price_european_call(row["config"])
        assert row["result"] == single["values"]


def test_sweep_closed_form_without_rate():
    result = sweep({"base_config": {"r": 0.0, "n_paths": 1000}, "scenarios": [{"scenario_id": "atm"}]})
    assert round(scenario_row(result, 0)["analytic_price"], 5) == 7.96558
    # The exact value is 7.965567455405804; the normal CDF's error (1.5e-7) is
    # scaled by the spot and the strike.
    assert scenario_row(result, 0)["analytic_price"] == pytest.approx(7.965567455405804, abs=3e-5)


def test_sweep_own_seed_does_not_shift_the_others():
    result = sweep({
        "n_paths": 1000,
        "seed_stride": 7,
        "seed": 100,
        "scenarios": [{"scenario_id": "a"}, {"scenario_id": "b", "seed": 5}, {"scenario_id": "c"}],
    })
    assert [row["config"]["seed"] for row in result["values"]["rows"]] == [100, 5, 114]
    assert result["values"]["base_seed"] == 100


def test_sweep_seeds_wrap():
    result = sweep({"seed": 2**64 - 1, "seed_stride": 2, "n_paths": 100,
                    "scenarios": [{"scenario_id": "a"}, {"scenario_id": "b"}]})
    assert [row["config"]["seed"] for row in result["values"]["rows"]] == [2**64 - 1, 1]


def test_sweep_base_config_replaces_the_default_base_then_top_level_overrides():
    result = sweep({
        "base_config": {"spot": 110, "n_paths": 5000, "n_threads": 1, "technique": "antithetic"},
        "n_paths": 3000,
        "n_steps": 8,
        "scenarios": [{"scenario_id": "x", "strike": 105, "maturity": 0.5}],
    })
    base = result["manifest"]["config"]["base_config"]
    assert base == dict(EUROPEAN_DEFAULTS, s0=110.0, n_paths=3000, n_steps=8, n_threads=1, technique="antithetic")
    effective = scenario_row(result, 0)["config"]
    assert effective == dict(base, k=105.0, t=0.5)


def test_sweep_reads_keys_in_order(recording_config):
    config = recording_config({"scenarios": [recording_config({"scenario_id": "only"})]})
    sweep(config)
    assert config.keys == ["base_config", "n_paths", "n_steps", "seed", "seed_stride", "method", "scenarios"]
    assert config.values["scenarios"][0].keys == [
        "scenario_id", "s0", "spot", "k", "strike", "r", "rate", "sigma", "volatility", "t", "maturity",
        "n_paths", "paths", "n_steps", "steps", "seed", "sampling", "technique", "method",
    ]


def test_sweep_scenario_echo_keeps_unset_fields_null():
    result = sweep({"n_paths": 100, "scenarios": [{"scenario_id": "s", "paths": 50, "sampling": "Latin-Hypercube"}]})
    assert result["manifest"]["config"]["scenarios"] == [
        dict(UNSET_SCENARIO, scenario_id="s", n_paths=50, sampling="latin_hypercube")
    ]
    assert scenario_row(result, 0)["config"]["sampling"] == "latin_hypercube"
    assert result["values"]["total_paths"] == 50


@pytest.mark.parametrize(
    "config, message",
    [
        ({"base_config": {"sigma": 0}, "scenarios": []}, "sigma must be > 0"),
        ({"n_paths": 0, "base_config": {"t": 0}}, "n_paths must be > 0"),
        ({"scenarios": []}, "parameter sweep must contain at least one scenario"),
        ({"scenarios": [{}, {}]}, "scenario_id values must be unique"),
        ({"scenarios": [{"scenario_id": "a"}, {"scenario_id": "a"}]}, "scenario_id values must be unique"),
        ({"scenarios": [{"scenario_id": "   "}]}, "scenario_id must not be empty"),
        ({"scenarios": [{"scenario_id": ""}]}, "scenario_id must not be empty"),
        ({"scenarios": [{"scenario_id": "\u3000\t"}]}, "scenario_id must not be empty"),
        ({"scenarios": [{"scenario_id": "a", "n_steps": 0, "s0": -1}]}, "n_steps must be > 0"),
        ({"scenarios": [{"scenario_id": "a", "k": float("nan")}]}, "k must be > 0"),
        ({"scenarios": [{"scenario_id": "a", "t": 0}]}, "t must be > 0"),
        ({"scenarios": [{"scenario_id": "a", "spot": 0}]}, "s0 must be > 0"),
    ],
)
def test_sweep_validation_messages(panic_exception, config, message):
    with pytest.raises(panic_exception) as info:
        sweep(config)
    assert str(info.value) == message


def test_sweep_validates_everything_before_pricing(panic_exception):
    # The first scenario alone would take hours; the invalid last one must stop
    # the call before any pricing starts.
    start = time.perf_counter()
    with pytest.raises(panic_exception) as info:
        sweep({"scenarios": [{"scenario_id": "huge", "n_paths": 10**13}, {"scenario_id": "flat", "sigma": 0}]})
    assert str(info.value) == "sigma must be > 0"
    assert time.perf_counter() - start < 5.0


def test_sweep_ids_are_kept_exactly():
    result = sweep({"n_paths": 100, "scenarios": [{"scenario_id": " a"}, {"scenario_id": "a"}]})
    assert [row["scenario_id"] for row in result["values"]["rows"]] == [" a", "a"]


@pytest.mark.parametrize(
    "config, error, message",
    [
        ({"scenarios": "atm"}, TypeError, "Can't extract `str` to `Vec`"),
        ({"scenarios": 3}, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ({"scenarios": [{"scenario_id": 7}]}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"scenarios": [{"scenario_id": "a", "method": "exact"}]}, ValueError, "unsupported European call method 'exact'"),
        ({"method": "closed_form"}, ValueError, "unsupported European call method 'closed_form'"),
        ({"seed_stride": -1}, OverflowError, None),
        ({"base_config": {"n_paths": 1.5}}, TypeError, None),
        ({"scenarios": [3]}, AttributeError, None),
    ],
)
def test_sweep_conversion_errors(config, error, message):
    with pytest.raises(error) as info:
        sweep(config)
    if message is not None:
        assert str(info.value) == message


def test_sweep_single_path_row_is_infinitely_far():
    result = sweep({"base_config": {"n_threads": 1}, "scenarios": [{"scenario_id": "lonely", "n_paths": 1},
                                                                   {"scenario_id": "fine", "n_paths": 2000}]})
    row = scenario_row(result, 0)
    assert row["result"]["stderr"] == 0.0
    assert row["abs_error_vs_black_scholes"] > 0.0
    assert row["abs_error_stderr_units"] is None  # +inf is not JSON
    assert result["values"]["warnings"] == ["scenario 'lonely' is inf standard errors from Black-Scholes reference"]
    assert result["warnings"] == []


def test_sweep_warnings_print_three_decimals():
    scenarios = [{"scenario_id": f"s{i}", "n_paths": 2} for i in range(100)]
    values = sweep({"scenarios": scenarios})["values"]
    expected = []
    for row in values["rows"]:
        units = row["abs_error_stderr_units"]
        if units is None:
            expected.append(f"scenario '{row['scenario_id']}' is inf standard errors from Black-Scholes reference")
        elif units > 4.0:
            expected.append(f"scenario '{row['scenario_id']}' is {units:.3f} standard errors from Black-Scholes reference")
    assert values["warnings"] == expected
    assert any(" inf " not in warning for warning in expected)


def test_sweep_methods():
    base = {"n_paths": 4000, "n_steps": 16, "seed": 1, "base_config": {"n_threads": 1}}
    result = sweep(dict(base, scenarios=[
        {"scenario_id": "terminal"},
        {"scenario_id": "stepwise", "method": "stepwise_paths"},
        {"scenario_id": "auto", "method": " AUTO "},
    ]))
    rows = result["values"]["rows"]
    assert [row["method"] for row in rows] == ["terminal_distribution", "stepwise_paths", "auto"]
    for row in (rows[0], rows[2]):  # "auto" is priced by the terminal method
        assert row["result"] == brisklane.price_european_call(row["config"])["values"]
    terminal_twin = brisklane.price_european_call(rows[1]["config"])["values"]
    assert rows[1]["result"] != terminal_twin
    assert abs(rows[1]["result"]["price"] - rows[1]["analytic_price"]) < 4.0 * rows[1]["result"]["stderr"]

    auto_sweep = sweep(dict(base, method="auto", scenarios=[{"scenario_id": "x"}]))
    assert auto_sweep["values"]["method"] == "auto"
    assert auto_sweep["manifest"]["config"]["method"] == "auto"
    assert scenario_row(auto_sweep, 0)["method"] == "auto"


def test_sweep_same_config_same_result():
    config = {"n_paths": 3000, "base_config": {"n_threads": 2}, "scenarios": [{"scenario_id": "a"},
              {"scenario_id": "b", "sampling": "scrambled_sobol_brownian_bridge", "method": "stepwise_paths"}]}
    assert sweep(config) == sweep(config)


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def table_rows(out):
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("scenario ")) + 2
    rows = []
    for line in lines[start:]:
        if not line.strip():
            break
        rows.append(line.split())
    return rows


def test_cli_moments_summary(capsys):
    code, out, err = run(capsys, "moments", "n_samples=500", "sampling=latin_hypercube")
    assert code == 0, err
    values = moments({"n_samples": 500, "sampling": "latin_hypercube"})["values"]
    fields = {}
    for line in out.splitlines():
        label, _, value = line.partition("  ")
        fields[label.strip()] = value.strip()
    assert fields["sampling"] == "latin_hypercube"
    assert fields["samples"] == "500"
    assert fields["mean"].startswith(f"{values['mean']:.6f} (exact 2.005013)")
    assert fields["standard error"] == f"{values['stderr_mean']:.6f}"
    assert fields["warning"] == SMOKE_WARNING


def test_cli_moments_json(capsys):
    code, out, err = run(capsys, "moments", "--json", "dimensions=5")
    assert code == 0, err
    assert json.loads(out) == moments({"dimensions": 5})


def test_cli_moments_error(capsys):
    code, out, err = run(capsys, "moments", "dimensions=2")
    assert code == 2 and out == ""
    assert err.splitlines() == ["error: dimensions must be >= 3"]


def test_cli_sweep_defaults(capsys, default_sweep):
    code, out, err = run(capsys, "sweep")
    assert code == 0, err
    rows = table_rows(out)
    assert [row[0] for row in rows] == ["atm_base", "down_10pct", "high_vol"]
    for cells, row in zip(rows, default_sweep["values"]["rows"]):
        price, stderr = row["result"]["price"], row["result"]["stderr"]
        assert cells[8] == str(row["config"]["seed"])
        assert cells[9] == f"{price:.6f}"
        assert cells[11] == f"{row['analytic_price']:.6f}"
        assert cells[12] == f"{(price - row['analytic_price']) / stderr:+.2f}"
    assert "3 scenarios, 300,000 paths" in out


def test_cli_sweep_json_file(capsys, tmp_path):
    path = tmp_path / "scenarios.json"
    path.write_text(json.dumps([{"scenario_id": "atm"}, {"scenario_id": "one", "n_paths": 1}]))
    code, out, err = run(capsys, "sweep", str(path), "n_paths=2000", "n_threads=1", "seed_stride=3")
    assert code == 0, err
    expected = sweep({"n_paths": 2000, "seed_stride": 3, "base_config": {"n_threads": 1},
                      "scenarios": [{"scenario_id": "atm"}, {"scenario_id": "one", "n_paths": 1}]})
    rows = table_rows(out)
    assert [row[0] for row in rows] == ["atm", "one"]
    assert rows[1][9] == f"{scenario_row(expected, 1)['result']['price']:.6f}"
    assert rows[1][12] in ("+inf", "-inf")
    assert "warning: scenario 'one' is inf standard errors from Black-Scholes reference" in out.splitlines()


def test_cli_sweep_json_object_and_json_output(capsys, tmp_path):
    config = {"base_config": {"sigma": 0.3, "n_paths": 1500}, "method": "stepwise_paths", "n_steps": 4,
              "scenarios": [{"scenario_id": "a"}, {"scenario_id": "b", "k": 90}]}
    path = tmp_path / "sweep.json"
    path.write_text(json.dumps(config))
    code, out, err = run(capsys, "sweep", str(path), "--json", "n_threads=1")
    assert code == 0, err
    config["base_config"]["n_threads"] = 1
    assert json.loads(out) == sweep(config)


def test_cli_sweep_csv_file(capsys, tmp_path):
    path = tmp_path / "scenarios.csv"
    path.write_text("scenario_id,s0,sigma,method,n_paths,seed\n007,,,,,\nlow spot,90,,stepwise_paths,2000,\n"
                    "vol,,0.35,auto,,9\n")
    code, out, err = run(capsys, "sweep", str(path), "--json", "n_paths=1000", "n_steps=8")
    assert code == 0, err
    expected = sweep({"n_paths": 1000, "n_steps": 8, "scenarios": [
        {"scenario_id": "007"},
        {"scenario_id": "low spot", "s0": 90, "method": "stepwise_paths", "n_paths": 2000},
        {"scenario_id": "vol", "sigma": 0.35, "method": "auto", "seed": 9},
    ]})
    assert json.loads(out) == expected
    assert expected["values"]["rows"][0]["scenario_id"] == "007"


@pytest.mark.parametrize(
    "content, suffix, expected",
    [
        ("[1, 2", ".json", "is not valid JSON"),
        ('"text"', ".json", "must hold a list of scenarios or a sweep configuration object"),
        ('{"scenarios": "abc"}', ".json", "Can't extract `str` to `Vec`"),
        ('[{"scenario_id": "a", "sigma": 0}]', ".json", "sigma must be > 0"),
        ("", ".csv", "the CSV file has no header row"),
        ("scenario_id,s0\na,1,2\n", ".csv", "line 2 has more cells than the header"),
        ("scenario_id,s0\na,\na,\n", ".csv", "scenario_id values must be unique"),
    ],
)
def test_cli_sweep_bad_files(capsys, tmp_path, content, suffix, expected):
    path = tmp_path / f"scenarios{suffix}"
    path.write_text(content)
    code, out, err = run(capsys, "sweep", str(path))
    assert code == 2 and out == ""
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: ") and expected in lines[0]


def test_cli_sweep_missing_file(capsys, tmp_path):
    code, out, err = run(capsys, "sweep", str(tmp_path / "absent.json"))
    assert code == 2 and out == ""
    assert err.splitlines() == [f"error: cannot read scenarios from {str(tmp_path / 'absent.json')!r}: "
                                "No such file or directory"]


# ---------------------------------------------------------------------------
# Registration and the argument frame
# ---------------------------------------------------------------------------


def test_all_twelve_functions_registered_in_order(native):
    names = [name for name in vars(native) if not name.startswith("_")]
    assert names == [
        "price_european_call", "price_arithmetic_asian_call", "price_down_and_out_call", "price_lookback_call",
        "price_basket_call", "price_american_put", "price_bermudan_put", "price_heston_european_call",
        "price_merton_jump_diffusion_call", "price_european_call_parameter_sweep", "gaussian_uncertainty_moments",
        "arithmetic_asian_mlmc",
    ]


@pytest.mark.parametrize(
    "name", ["price_european_call_parameter_sweep", "gaussian_uncertainty_moments", "arithmetic_asian_mlmc"]
)
def test_argument_frame(native, name):
    function = getattr(native, name)
    assert function.__text_signature__ == "(config)"
    with pytest.raises(TypeError, match=rf"^{name}\(\) missing 1 required positional argument: 'config'$"):
        function()
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes 1 positional arguments but 2 were given$"):
        function({}, {})
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'cfg'$"):
        function(cfg={})
    with pytest.raises(AttributeError):
        function(3)
    small = {"n_samples": 10, "n_paths": 10, "paths_per_level": [10, 10, 10, 10]}
    assert function(config=small) == function(small)
