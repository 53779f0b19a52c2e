"""The ``brisklane`` command line (run in-process through ``main``)."""

from __future__ import annotations

import json
import math
import subprocess
import sys

import pytest

import brisklane
from brisklane import cli
from conftest import FUNCTION_OF, SAMPLING_METHODS, TECHNIQUES, black_scholes_call, summary_fields

LENGTH_MESSAGE = "assertion `left == right` failed: paths_per_level must contain one positive path count per level"


def assert_one_line_error(code, out, err, expected=None):
    assert (code, out) == (2, "")
    assert len(err.splitlines()) == 1 and err.startswith("error: "), err
    assert expected is None or err.rstrip("\n") == f"error: {expected}"


def demo_rows(out, product="european_call"):
    rows = {}
    for cells in map(str.split, out.splitlines()):
        if len(cells) == 7 and cells[0] == product and cells[1] in SAMPLING_METHODS and cells[2] in TECHNIQUES:
            rows[(cells[1], cells[2])] = cells
    return rows


def test_value_parsing():
    parsed = [cli.parse_value(text) for text in ("-1", "18446744073709551616", "2.0", "1e3", "inf", "16,32", "", "A-b")]
    assert [(value, type(value)) for value in parsed] == [(-1, int), (2**64, int), (2.0, float), (1000.0, float),
                                                          (math.inf, float), ("16,32", str), ("", str), ("A-b", str)]
    assert math.isnan(cli.parse_value("nan"))
    assert cli.parse_int_list(" 5 , 7 ,") == [5, 7]
    with pytest.raises(cli.CliError):
        cli.parse_int_list("1,x")
    words = ["spot=105", "sampling=scrambled_sobol", "exercise_steps=16,32,48", "note=a=b"]
    assert cli.parse_assignments(words, {"exercise_steps": cli.parse_int_list}) == {
        "spot": 105, "sampling": "scrambled_sobol", "exercise_steps": [16, 32, 48], "note": "a=b",
    }


def test_black_scholes_call():
    bs = cli.black_scholes_call
    assert bs(100.0, 100.0, 0.05, 0.2, 1.0) == pytest.approx(10.450583572185565, rel=1e-12)
    assert bs(100.0, 100.0, 0.03, 0.2, 1.0) == pytest.approx(9.413403, abs=1e-6)
    assert bs(42.0, 40.0, 0.1, 0.2, 0.5) == pytest.approx(4.7594, abs=1e-4)
    assert bs(110.0, 100.0, 0.03, 0.2, 0.0) == pytest.approx(10.0, rel=1e-15)  # zero maturity
    assert bs(100.0, 90.0, 0.03, 0.0, 1.0) == pytest.approx(100.0 - 90.0 * math.exp(-0.03), rel=1e-15)
    assert math.isnan(bs(-1.0, 100.0, 0.03, 0.2, 1.0)) and math.isnan(bs(100.0, 100.0, 0.03, math.nan, 1.0))


# (arguments, the config they price, summary lines: label -> the start of its value, None for no such line)
SUMMARIES = [
    (["european_call", "spot=105", "n_paths=20000", "sampling=scrambled_sobol"],
     {"spot": 105, "n_paths": 20000, "sampling": "scrambled_sobol"},
     {"paths": "20,000", "sampling": "scrambled_sobol", "technique": "standard",
      "Black-Scholes": f"{black_scholes_call(105.0, 100.0, 0.03, 0.2, 1.0):.6f}"}),
    (["basket_call", "weight2=0", "weight1=1", "n_paths=5000", "sampling=scrambled_sobol"],
     {"weight2": 0, "weight1": 1, "n_paths": 5000, "sampling": "scrambled_sobol"},
     {"Black-Scholes (single-asset case)": f"{black_scholes_call(100.0, 100.0, 0.03, 0.2, 1.0):.6f}"}),
    (["basket_call", "n_paths=2000", "spot1=110"], {"n_paths": 2000, "spot1": 110},
     {"paths": "2,000", "Black-Scholes (single-asset case)": None}),
    (["heston_european_call", "n_paths=4000", "n_steps=20", "n_threads=1", "technique=antithetic"],
     {"n_paths": 4000, "n_steps": 20, "n_threads": 1, "technique": "antithetic"},
     {"technique": "antithetic", "sampling": None, "Heston (semi-closed form)": "9.194330"}),  # Lewis's, pinned
    (["merton_jump_diffusion_call", "n_paths=5000", "jump_intensity=1"], {"n_paths": 5000, "jump_intensity": 1},
     {"Merton series": "13.609478"}),  # the independent series, pinned
    (["american_put", "n_paths=2000", "n_steps=16", "spot=95"], {"n_paths": 2000, "n_steps": 16, "spot": 95},
     {"paths": "2,000", "regression basis": "laguerre_lsm_degree_2"}),
    (["arithmetic_asian_mlmc", "paths_per_level=400,200", "levels=2", "sampling=scrambled_sobol",
      "scramble_replicates=3"],
     {"paths_per_level": [400, 200], "levels": 2, "sampling": "scrambled_sobol", "scramble_replicates": 3},
     {"paths": "1,800", "replicates": "3", "step updates": "48,000", "level 1": "steps 32/16, paths 600, "}),
]


@pytest.mark.parametrize("argv, config, expected", SUMMARIES, ids=lambda v: v[0] if isinstance(v, list) else None)
def test_price_summary(cli_run, argv, config, expected):
    code, out, err = cli_run("price", *argv)
    assert (code, err) == (0, "")
    function = FUNCTION_OF[argv[0]]
    result = getattr(brisklane, function)(config)
    price, stderr = result["values"]["price"], result["values"]["stderr"]
    fields = summary_fields(out)
    assert fields["product"] == f"{argv[0]} ({function})"
    assert fields["price"] == f"{price:.6f}" and fields["standard error"] == f"{stderr:.6f}"
    assert fields["95% interval"] == f"[{price - 1.96 * stderr:.6f}, {price + 1.96 * stderr:.6f}]"
    assert fields["wall time"].endswith(" ms") and "paths per second" in fields
    warnings = [line.split("  ", 1)[1].strip() for line in out.splitlines() if line.startswith("warning ")]
    assert warnings == result["warnings"]
    for label, start in expected.items():
        assert fields[label].startswith(start) if start is not None else label not in fields, label


@pytest.mark.parametrize("argv, config", [
    (["european_call", "s0=95", "--json", "technique=Control-Variate", "n_threads=1"],
     {"s0": 95, "technique": "Control-Variate", "n_threads": 1}),
    (["bermudan_put", "exercise_steps=16,32,48", "n_paths=2000", "--json"],
     {"exercise_steps": [16, 32, 48], "n_paths": 2000}),
    (["arithmetic_asian_mlmc", "--json", "paths_per_level=400,200", "levels=2"],
     {"paths_per_level": [400, 200], "levels": 2}),
], ids=lambda v: v[0] if isinstance(v, list) else None)
def test_price_json_is_the_full_result(cli_run, argv, config):
    code, out, err = cli_run("price", *argv)
    assert (code, err) == (0, "")
    expected = getattr(brisklane, FUNCTION_OF[argv[0]])(config)
    assert json.loads(out) == expected and list(json.loads(out)) == list(expected)
    assert out.startswith('{\n  "manifest"')


def test_run_prices_through_the_block_plan_api(cli_run):
    code, out, err = cli_run("run", "arithmetic_asian_call", "n_paths=30000", "--blocks", "3", "--threads", "2")
    assert (code, err) == (0, "")
    estimate = brisklane.price("arithmetic_asian_call", n_paths=30000, blocks=3, threads=1)
    fields = summary_fields(out)
    assert (fields["price"], fields["standard error"]) == (f"{estimate.price:.6f}", f"{estimate.stderr:.6f}")
    assert (fields["paths"], fields["blocks"]) == ("30,000", "3 on 2 threads")
    code, out, err = cli_run("run", "european_call", "n_paths=10000", "--target-stderr", "0.05", "--json")
    target = brisklane.price("european_call", n_paths=10000, target_stderr=0.05)
    assert code == 0 and json.loads(out)["price"] == target.price and json.loads(out)["manifest"]["rounds"] >= 2
    code, _, err = cli_run("run", "european_call", "n_threads=2")
    assert code == 2 and err.startswith("error: n_threads is not a field of price()")


@pytest.mark.parametrize("argv, expected", [
    (["price", "european_call", "n_paths=0"], "n_paths must be > 0"),
    (["price", "european_call", "sampling=scrambled sobol"], "unsupported sampling method 'scrambled sobol'"),
    (["price", "european_call", "technique=1"], "'int' object cannot be converted to 'PyString'"),
    (["price", "european_call", "r=nan"], "native pricing result did not include price"),
    (["price", "european_call", "seed=18446744073709551616"], "int too big to convert"),
    (["price", "european_call", "n_paths=10", "--json", "--bogus-flag"], "unrecognized arguments: --bogus-flag"),
    (["demo", "--paths", "100", "n_steps=0"], "n_steps must be > 0"),
    (["price", "american_put", "n_steps=1"], "n_steps must be >= 2 for LSM regression"),
    (["price", "bermudan_put", "exercise_steps=0,16"], "exercise_steps must be in 1..=n_steps"),
    (["price", "arithmetic_asian_mlmc", "paths_per_level=1,2,3"], f"{LENGTH_MESSAGE} left: 3 right: 4"),
    (["price", "merton_jump_diffusion_call", "jump_intensity=800", "n_paths=4000", "n_threads=2"],
     "CPU Merton jump-diffusion worker thread panicked: Poisson sampler did not converge"),
    (["moments", "dimensions=2"], "dimensions must be >= 3"),
    (["price", "american_put", "n_paths=4611686018427387904"], None),  # a MemoryError
    (["price", "european_call", "spot"], None),
    (["price", "european_call", "spot=1", "spot=2"], None),
    (["price"], None),
    (["frobnicate"], None),
    ([], None),
    (["demo", "--paths", "0"], None),
], ids=lambda value: (" ".join(value) or "no-arguments") if isinstance(value, list) else None)
def test_bad_input_is_one_error_line(cli_run, argv, expected):
    assert_one_line_error(*cli_run(*argv), expected)


@pytest.mark.parametrize("argv", [["price", "bogus_product"], ["demo", "--product", "bogus_product"]])
def test_unknown_product_names_the_product(cli_run, argv):
    code, out, err = cli_run(*argv)
    assert_one_line_error(code, out, err)
    assert "bogus_product" in err and "european_call" in err


def test_demo(cli_run):
    code, out, err = cli_run("demo", "--product", "european_call", "--paths", "2000", "spot=110", "seed=3")
    assert (code, err) == (0, "")
    assert "s0=110.0" in out and "seed=3" in out
    assert all(column in out for column in ("sampling", "technique", "price", "stderr", "error (se)", "time (ms)"))
    rows = demo_rows(out)
    assert set(rows) == {(s, t) for s in SAMPLING_METHODS for t in TECHNIQUES}
    for (sampling, technique), cells in rows.items():
        result = brisklane.price_european_call(
            {"n_paths": 2000, "spot": 110, "seed": 3, "sampling": sampling, "technique": technique})
        error = (result["price"] - cli.black_scholes_call(110.0, 100.0, 0.03, 0.2, 1.0)) / result["stderr"]
        assert cells[3:6] == [f"{result['price']:.6f}", f"{result['stderr']:.6f}", f"{error:+.2f}"]
        float(cells[6])
    lines = [line for line in out.splitlines() if line.startswith("european_call ")]
    assert len({line.index(line.split()[3]) + len(line.split()[3]) for line in lines}) == 1  # aligned


def test_demo_includes_every_product(cli_run):
    code, out, err = cli_run("demo", "--paths", "2000", "n_steps=64", "n_threads=1")
    assert code == 0, err
    rows = {tuple(cells[:3]) for cells in map(str.split, out.splitlines()) if len(cells) == 7 and cells[-1] != "(ms)"}
    dynamics = {row for row in rows if row[0] in ("heston_european_call", "merton_jump_diffusion_call")}
    assert dynamics == {("heston_european_call", "pseudorandom", t) for t in TECHNIQUES} | {
        ("merton_jump_diffusion_call", "pseudorandom", "standard")}
    assert sum(1 for row in rows if row[0] == "basket_call") == 15
    assert {"american_put", "bermudan_put"} <= {row[0] for row in rows}
    assert "Heston (semi-closed form) price:" in out and "Merton series price:" in out


def test_demo_defaults_are_within_four_standard_errors(cli_run):
    code, out, _ = cli_run("demo", "--product", "european_call")
    assert code == 0 and "n_paths=100000" in out and "Black-Scholes price: 9.413403" in out
    rows = demo_rows(out)
    assert len(rows) == 15 and all(abs(float(cells[5])) < 4.0 for cells in rows.values())


def test_help_version_and_products(cli_run):
    code, out, _ = cli_run("price", "--help")
    assert code == 0 and "key=value" in out and "--json" in out
    assert cli_run("--version")[:2] == (0, "brisklane 0.1.1\n")
    code, out, _ = cli_run("products")
    line = next(line for line in out.splitlines() if line.startswith("european_call"))
    assert code == 0 and "price_european_call" in line and "yes" in line.split()


def test_missing_or_failing_product(cli_run, monkeypatch):
    def broken(config):
        raise RuntimeError("first line\nsecond line")

    monkeypatch.setattr(brisklane, "price_broken_call", broken, raising=False)
    for name in ("ghost", "broken"):
        product = cli.Product(name=name, function=f"price_{name}_call", description="row")
        monkeypatch.setitem(cli.PRODUCTS, name, product)
    code, out, err = cli_run("price", "ghost")
    assert_one_line_error(code, out, err)
    assert "price_ghost_call" in err
    assert_one_line_error(*cli_run("price", "broken"), "first line second line")


def test_python_dash_m_exit_status(tmp_path):
    argv = [sys.executable, "-m", "brisklane", "price", "european_call", "n_paths=0"]
    failed = subprocess.run(argv, capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert (failed.returncode, failed.stdout) == (2, "") and "Traceback" not in failed.stderr
    assert failed.stderr.splitlines()[-1] == "error: n_paths must be > 0"  # the core may add a line before
