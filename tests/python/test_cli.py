"""The ``brisklane`` command line (run in-process through ``main``)."""

from __future__ import annotations

import csv
import io
import json
import math
import re
import subprocess
import sys

import pytest

import brisklane
from brisklane import cli
from brisklane.reference import bermudan_put_binomial
from conftest import FUNCTION_OF, SAMPLING_METHODS, TECHNIQUES, black_scholes_call, summary_fields

LENGTH_MESSAGE = "assertion `left == right` failed: paths_per_level must contain one positive path count per level"


def assert_one_line_error(code, out, err, expected=None):
    assert (code, out) == (2, "")
    assert len(err.splitlines()) == 1 and err.startswith("error: "), err
    assert expected is None or err.rstrip("\n") == f"error: {expected}"


def table_cells(out):
    return [re.split(r"\s{2,}", line.strip()) for line in out.splitlines()]


def demo_rows(out, product="european_call"):
    rows = {}
    for cells in table_cells(out):
        if len(cells) == 8 and cells[0] == product and cells[1] in SAMPLING_METHODS and cells[2] in TECHNIQUES:
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
    # counts take any exact integer; a real field keeps its float, an inexact count stays a float to be rejected
    words = ["n_paths=1e6", "seed=1_000_000", "n_steps=1.0000000000000001e16", "s0=1.5e3", "n_samples=1.5",
             "paths_per_level=1e3,5E2", "dimensions=inf"]
    parsed = cli.parse_assignments(words, {"paths_per_level": cli.parse_int_list})
    assert [(value, type(value)) for value in parsed.values()][:5] == [
        (10**6, int), (10**6, int), (10**16 + 1, int), (1500.0, float), (1.5, float)]
    assert parsed["paths_per_level"] == [1000, 500] and parsed["dimensions"] == math.inf


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
    (["price", "european_call", "n_paths=1.5"], "'float' object cannot be interpreted as an integer"),
    (["demo", "--paths", "1.5"], "argument --paths: expected an integer, got '1.5'"),
    (["price", "european_call", "--json", "--csv"], "argument --csv: not allowed with argument --json"),
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
    assert "n_paths=2,000;" in out and f"Black-Scholes price: {black_scholes_call(110.0, 100.0, 0.03, 0.2, 1.0):.6f} (normal CDF from math.erfc)" in out
    assert table_cells(out)[3] == ["product", "sampling", "technique", "price", "stderr", "95% interval",
                                   "error (se)", "time (ms)"]
    rows = demo_rows(out)
    assert set(rows) == {(s, t) for s in SAMPLING_METHODS for t in TECHNIQUES}
    for (sampling, technique), cells in rows.items():
        result = brisklane.price_european_call(
            {"n_paths": 2000, "spot": 110, "seed": 3, "sampling": sampling, "technique": technique})
        price, stderr = result["price"], result["stderr"]
        error = (price - cli.black_scholes_call(110.0, 100.0, 0.03, 0.2, 1.0)) / stderr
        interval = f"[{price - 1.96 * stderr:.6f}, {price + 1.96 * stderr:.6f}]"
        assert cells[3:7] == [f"{price:.6f}", f"{stderr:.6f}", interval, f"{error:+.2f}"]
        float(cells[7].replace(",", ""))
    lines = [line for line in out.splitlines() if line.startswith("european_call ")]
    assert len({line.index(line.split()[3]) + len(line.split()[3]) for line in lines}) == 1  # aligned


def test_demo_includes_every_product(cli_run):
    code, out, err = cli_run("demo", "--paths", "2000", "n_steps=64", "n_threads=1")
    assert code == 0, err
    rows = {tuple(cells[:3]) for cells in table_cells(out) if len(cells) == 8 and cells[-1] != "time (ms)"}
    dynamics = {row for row in rows if row[0] in ("heston_european_call", "merton_jump_diffusion_call")}
    assert dynamics == {("heston_european_call", "pseudorandom", t) for t in TECHNIQUES} | {
        ("merton_jump_diffusion_call", "pseudorandom", "standard")}
    assert sum(1 for row in rows if row[0] == "basket_call") == 15
    assert {"american_put", "bermudan_put"} <= {row[0] for row in rows}
    assert "Heston (semi-closed form) price:" in out and "Merton series price:" in out
    tree = bermudan_put_binomial(100.0, 100.0, 0.03, 0.2, 1.0, 64)
    assert f"binomial tree price: {tree:.6f} (Cox-Ross-Rubinstein, exercising at time 0 and the n_steps dates; no normal CDF)" in out
    put = next(cells for cells in table_cells(out) if cells[0] == "american_put")
    assert put[6] != "n/a" and abs(float(put[6])) < 4.0  # the tree prices the simulation's own dates


def test_demo_defaults_are_within_four_standard_errors(cli_run):
    code, out, _ = cli_run("demo", "--product", "european_call")
    assert code == 0 and "n_paths=100,000" in out and "Black-Scholes price: 9.413403" in out
    rows = demo_rows(out)
    assert len(rows) == 15 and all(abs(float(cells[6])) < 4.0 for cells in rows.values())


def test_bermudan_put_binomial():
    # one date: the European put (by parity), or exercise at once when that is worth more
    european = black_scholes_call(100.0, 100.0, 0.03, 0.2, 1.0) - 100.0 + 100.0 * math.exp(-0.03)
    assert bermudan_put_binomial(100.0, 100.0, 0.03, 0.2, 1.0, 1) == pytest.approx(european, abs=1e-5)
    assert bermudan_put_binomial(60.0, 100.0, 0.03, 0.2, 1.0, 1) == 40.0
    # more dates are worth more, toward the American put (4.4867 in Longstaff and Schwartz's Table 1)
    prices = [bermudan_put_binomial(36.0, 40.0, 0.06, 0.2, 1.0, dates) for dates in (4, 16, 50, 400)]
    assert prices == sorted(prices) and 4.4867 - 2e-3 < prices[-1] < 4.4867
    assert bermudan_put_binomial(36.0, 40.0, 0.06, 0.2, 1.0, 50, sub_steps=64) == pytest.approx(prices[2], abs=2e-4)
    assert all(math.isnan(bermudan_put_binomial(*args)) for args in [(100.0, 100.0, 0.03, 0.0, 1.0, 4),
                                                                    (100.0, 100.0, 0.03, 0.2, 1.0, 0),
                                                                    (100.0, 100.0, 0.03, 0.2, 1.0, 4, 0)])


# (arguments, the CSV header, a row that must be there: its first cells)
CSV_OUTPUTS = [
    (["price", "european_call", "n_paths=1e4"], ["field", "value"], ["paths", "10,000"]),
    (["price", "european_call", "n_paths=1e4", "--replicates", "2"], ["field", "value"], ["product", "european_call"]),
    (["run", "european_call", "n_paths=1_000", "--blocks", "2"], ["field", "value"], ["blocks", "2 on "]),
    (["moments", "n_samples=1e4"], ["field", "value"], ["samples", "10,000"]),
    (["demo", "--product", "american_put", "--paths", "2e3"], ["product", "sampling", "technique", "price", "stderr",
     "ci_95_low", "ci_95_high", "reference", "error_se", "seconds"], ["american_put", "", ""]),
    (["sweep", "n_paths=1e3"], ["scenario_id", "method", "s0", "k", "r", "sigma", "t", "n_paths", "seed", "price",
                                "stderr", "black_scholes", "error_se"], ["atm_base", "terminal_distribution", "100.0"]),
    (["products"], ["product", "function", "available", "description"], ["european_call", "price_european_call"]),
]


@pytest.mark.parametrize("argv, header, row", CSV_OUTPUTS, ids=lambda v: " ".join(v[:2]) if isinstance(v, list)
                         and v[0] in ("price", "run", "moments", "demo", "sweep", "products") else None)
def test_csv_output(cli_run, argv, header, row):
    code, out, err = cli_run(*argv, "--csv")
    assert (code, err) == (0, "")
    rows = list(csv.reader(io.StringIO(out)))
    assert rows[0] == header and all(len(cells) == len(header) for cells in rows)
    assert any(cells[:len(row)][:-1] == row[:-1] and cells[len(row) - 1].startswith(row[-1]) for cells in rows[1:])


def test_json_output_of_demo_and_products(cli_run):
    code, out, _ = cli_run("demo", "--product", "european_call", "--paths", "1e3", "--json")
    (block,) = json.loads(out)
    assert code == 0 and block["config"]["n_paths"] == 1000 and len(block["runs"]) == 15
    assert (block["reference_name"], block["reference_note"]) == ("Black-Scholes", "normal CDF from math.erfc")
    run = block["runs"][0]
    assert run["interval_95"] == pytest.approx([run["price"] - 1.96 * run["stderr"], run["price"] + 1.96 * run["stderr"]])
    code, out, _ = cli_run("products", "--json")
    assert code == 0 and {"product": "european_call", "function": "price_european_call", "available": True} \
        .items() <= json.loads(out)[0].items()


def test_sweep_names_its_normal_cdf(cli_run):
    code, out, _ = cli_run("sweep", "n_paths=1000")
    assert code == 0 and "normal CDF by Abramowitz and Stegun 7.1.26" in out


def test_closed_stdout_exits_quietly(tmp_path):
    # The reader is gone before anything is written: the write fails, and the command stops as
    # `cmd | head` expects, with SIGPIPE's 141 and nothing on standard error.
    for argv in (["price", "european_call", "n_paths=1000", "--json"], ["products"]):
        child = subprocess.Popen([sys.executable, "-m", "brisklane", *argv], cwd=tmp_path,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        child.stdout.close()
        err = child.stderr.read()
        assert (child.wait(timeout=120), err) == (141, b"")


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
