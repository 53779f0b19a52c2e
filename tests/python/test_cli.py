"""The ``brisklane`` command line (run in-process through ``main``)."""

from __future__ import annotations

import json
import math
import subprocess
import sys

import pytest

import brisklane
from brisklane import cli

SAMPLING_METHODS = (
    "pseudorandom",
    "randomized_halton",
    "latin_hypercube",
    "scrambled_sobol",
    "scrambled_sobol_brownian_bridge",
)
TECHNIQUES = ("standard", "antithetic", "control_variate")


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def assert_one_line_error(code, out, err, expected=None):
    assert code != 0
    assert "Traceback" not in err and "Traceback" not in out
    lines = err.splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith("error: ")
    if expected is not None:
        assert lines[0] == f"error: {expected}"


def summary_fields(out):
    fields = {}
    for line in out.splitlines():
        label, _, value = line.partition("  ")
        fields[label.strip()] = value.strip()
    return fields


# ---------------------------------------------------------------------------
# Value parsing
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("10", 10),
        ("-1", -1),
        ("0", 0),
        ("18446744073709551616", 2**64),
        ("1.5", 1.5),
        ("2.0", 2.0),
        ("1e3", 1000.0),
        ("-0.25", -0.25),
        ("inf", math.inf),
        ("abc", "abc"),
        ("scrambled_sobol", "scrambled_sobol"),
        ("16,32,48", "16,32,48"),
        ("", ""),
        ("Latin-Hypercube", "Latin-Hypercube"),
    ],
)
def test_parse_value(text, expected):
    value = cli.parse_value(text)
    assert value == expected
    assert type(value) is type(expected)


def test_parse_value_nan_is_float():
    value = cli.parse_value("nan")
    assert type(value) is float and math.isnan(value)


def test_parse_int_list():
    assert cli.parse_int_list("16,32,48") == [16, 32, 48]
    assert cli.parse_int_list(" 5 , 7 ,") == [5, 7]
    with pytest.raises(cli.CliError):
        cli.parse_int_list("1,x")


def test_parse_assignments_uses_declared_parsers():
    config = cli.parse_assignments(
        ["spot=105", "n_paths=2000", "sampling=scrambled_sobol", "exercise_steps=16,32,48", "note=a=b"],
        {"exercise_steps": cli.parse_int_list},
    )
    assert config == {
        "spot": 105,
        "n_paths": 2000,
        "sampling": "scrambled_sobol",
        "exercise_steps": [16, 32, 48],
        "note": "a=b",
    }


@pytest.mark.parametrize("words", [["spot"], ["=5"], [" =5"], ["spot=1", "spot=2"]], ids=["no-equals", "no-key", "blank-key", "duplicate"])
def test_parse_assignments_rejects_malformed_words(words):
    with pytest.raises(cli.CliError):
        cli.parse_assignments(words)


# ---------------------------------------------------------------------------
# Closed form
# ---------------------------------------------------------------------------


def test_black_scholes_textbook_value():
    assert cli.black_scholes_call(100.0, 100.0, 0.05, 0.2, 1.0) == pytest.approx(10.450583572185565, rel=1e-12)
    assert cli.black_scholes_call(100.0, 100.0, 0.03, 0.2, 1.0) == pytest.approx(9.413403, abs=1e-6)


def test_black_scholes_second_textbook_value():
    assert cli.black_scholes_call(42.0, 40.0, 0.1, 0.2, 0.5) == pytest.approx(4.7594, abs=1e-4)


@pytest.mark.parametrize("s0, k, r, sigma, t", [(90.0, 100.0, 0.03, 0.2, 1.0), (120.0, 110.0, 0.01, 0.35, 0.5), (100.0, 80.0, 0.0, 0.5, 3.0)])
def test_black_scholes_bounds_and_monotonicity(s0, k, r, sigma, t):
    call = cli.black_scholes_call(s0, k, r, sigma, t)
    assert max(s0 - k * math.exp(-r * t), 0.0) < call < s0
    assert cli.black_scholes_call(s0 * 1.01, k, r, sigma, t) > call
    assert cli.black_scholes_call(s0, k, r, sigma * 1.01, t) > call
    assert cli.black_scholes_call(s0, k * 1.01, r, sigma, t) < call


@pytest.mark.parametrize(
    "args, expected",
    [
        ((100.0, 0.0, 0.03, 0.2, 1.0), 100.0),
        ((110.0, 100.0, 0.03, 0.2, 0.0), 10.0),
        ((100.0, 90.0, 0.03, 0.0, 1.0), 100.0 - 90.0 * math.exp(-0.03)),
        ((80.0, 100.0, 0.03, 0.0, 1.0), 0.0),
    ],
    ids=["zero-strike", "zero-maturity", "zero-vol", "zero-vol-out"],
)
def test_black_scholes_limits(args, expected):
    assert cli.black_scholes_call(*args) == pytest.approx(expected, rel=1e-15)


def test_black_scholes_outside_domain_is_nan():
    assert math.isnan(cli.black_scholes_call(-1.0, 100.0, 0.03, 0.2, 1.0))
    assert math.isnan(cli.black_scholes_call(100.0, 100.0, 0.03, math.nan, 1.0))


# ---------------------------------------------------------------------------
# price
# ---------------------------------------------------------------------------


def test_price_summary(capsys):
    argv = ["price", "european_call", "spot=105", "n_paths=20000", "sampling=scrambled_sobol"]
    code, out, err = run(capsys, *argv)
    assert code == 0
    assert err == ""
    result = brisklane.price_european_call({"spot": 105, "n_paths": 20000, "sampling": "scrambled_sobol"})
    price, stderr = result["price"], result["stderr"]
    fields = summary_fields(out)
    assert fields["price"] == f"{price:.6f}"
    assert fields["standard error"] == f"{stderr:.6f}"
    assert fields["95% interval"] == f"[{price - 1.96 * stderr:.6f}, {price + 1.96 * stderr:.6f}]"
    assert fields["paths"] == "20,000"
    assert fields["sampling"] == "scrambled_sobol"
    assert fields["technique"] == "standard"
    assert fields["wall time"].endswith(" ms")
    assert "paths per second" in fields
    assert fields["Black-Scholes"].startswith(f"{cli.black_scholes_call(105.0, 100.0, 0.03, 0.2, 1.0):.6f}")


def test_price_json_is_the_full_result(capsys):
    argv = ["price", "european_call", "--json", "s0=95", "n_paths=3000", "technique=Control-Variate", "n_threads=1"]
    code, out, err = run(capsys, *argv)
    assert code == 0
    assert err == ""
    parsed = json.loads(out)
    expected = brisklane.price_european_call({"s0": 95, "n_paths": 3000, "technique": "Control-Variate", "n_threads": 1})
    assert parsed == expected
    assert list(parsed) == list(expected)
    assert out.startswith("{\n  \"manifest\"")  # indent 2


def test_options_and_assignments_may_interleave(capsys):
    code, out, err = run(capsys, "price", "european_call", "n_paths=500", "--json", "n_threads=1", "spot=90")
    assert code == 0, err
    assert json.loads(out) == brisklane.price_european_call({"n_paths": 500, "n_threads": 1, "spot": 90})


def test_price_values_keep_their_python_types(capsys):
    code, out, _ = run(capsys, "price", "european_call", "--json", "sigma=1", "seed=7", "n_paths=100", "n_threads=1")
    assert code == 0
    config = json.loads(out)["manifest"]["config"]
    assert config["sigma"] == 1.0
    assert config["seed"] == 7


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["price", "european_call", "n_paths=0"], "n_paths must be > 0"),
        (["price", "european_call", "n_steps=0"], "n_steps must be > 0"),
        (["price", "european_call", "sampling=scrambled sobol"], "unsupported sampling method 'scrambled sobol'"),
        (["price", "european_call", "technique=plain"], "unsupported Monte Carlo technique 'plain'"),
        (["price", "european_call", "technique=1"], "'int' object cannot be converted to 'PyString'"),
        (["price", "european_call", "r=nan"], "native pricing result did not include price"),
        (["price", "european_call", "n_paths=1.5"], None),  # TypeError from the library
        (["price", "european_call", "n_paths=-1"], None),  # OverflowError
        (["price", "european_call", "seed=18446744073709551616"], None),  # OverflowError
        (["price", "european_call", "sigma=abc"], None),  # TypeError
        (["price", "bogus_product"], None),
        (["price", "european_call", "spot"], None),
        (["price", "european_call", "=5"], None),
        (["price", "european_call", "spot=1", "spot=2"], None),
        (["price"], None),
        (["frobnicate"], None),
        ([], None),
        (["price", "european_call", "--bogus-flag"], None),
        (["price", "european_call", "n_paths=10", "--json", "--bogus-flag"], "unrecognized arguments: --bogus-flag"),
        (["products", "n_paths=10"], None),
        (["demo", "--paths", "0"], None),
        (["demo", "--paths", "x"], None),
        (["demo", "--product", "bogus_product"], None),
        (["demo", "--paths", "100", "n_steps=0"], "n_steps must be > 0"),
    ],
    ids=lambda value: (" ".join(value) or "no-arguments") if isinstance(value, list) else None,
)
def test_bad_input_is_one_error_line(capsys, argv, expected):
    code, out, err = run(capsys, *argv)
    assert code == 2
    assert out == ""
    assert_one_line_error(code, out, err, expected)


def test_library_error_messages_are_passed_through(capsys):
    with pytest.raises(TypeError) as info:
        brisklane.price_european_call({"n_paths": 1.5})
    code, out, err = run(capsys, "price", "european_call", "n_paths=1.5")
    assert_one_line_error(code, out, err, str(info.value))


def test_unknown_product_names_the_product(capsys):
    code, out, err = run(capsys, "price", "bogus_product")
    assert_one_line_error(code, out, err)
    assert "bogus_product" in err
    assert "european_call" in err


# ---------------------------------------------------------------------------
# demo
# ---------------------------------------------------------------------------


def demo_rows(out, product="european_call"):
    rows = {}
    for line in out.splitlines():
        cells = line.split()
        if len(cells) == 7 and cells[0] == product and cells[1] in SAMPLING_METHODS and cells[2] in TECHNIQUES:
            rows[(cells[1], cells[2])] = cells
    return rows


def test_demo_small(capsys):
    code, out, err = run(capsys, "demo", "--product", "european_call", "--paths", "2000")
    assert code == 0
    assert err == ""
    header = next(line for line in out.splitlines() if line.startswith("product"))
    for column in ("sampling", "technique", "price", "stderr", "error (se)", "time (ms)"):
        assert column in header
    rows = demo_rows(out)
    assert set(rows) == {(s, t) for s in SAMPLING_METHODS for t in TECHNIQUES}
    for (sampling, technique), cells in rows.items():
        assert cells[0] == "european_call"
        result = brisklane.price_european_call({"n_paths": 2000, "sampling": sampling, "technique": technique})
        assert cells[3] == f"{result['price']:.6f}"
        assert cells[4] == f"{result['stderr']:.6f}"
        expected_error = (result["price"] - cli.black_scholes_call(100.0, 100.0, 0.03, 0.2, 1.0)) / result["stderr"]
        assert cells[5] == f"{expected_error:+.2f}"
        float(cells[6])
    # Aligned: the numeric columns end at the same position on every row.
    lines = [line for line in out.splitlines() if line.startswith("european_call ")]
    ends = {line.index(line.split()[3]) + len(line.split()[3]) for line in lines}
    assert len(ends) == 1


def test_demo_uses_default_config(capsys):
    code, out, err = run(capsys, "demo", "--product", "european_call")
    assert code == 0
    assert "n_paths=100000" in out
    assert "Black-Scholes price: 9.413403" in out
    rows = demo_rows(out)
    assert len(rows) == len(SAMPLING_METHODS) * len(TECHNIQUES)
    for cells in rows.values():
        assert abs(float(cells[5])) < 4.0  # within 4 standard errors of the closed form


def test_demo_accepts_extra_configuration(capsys):
    code, out, _ = run(capsys, "demo", "--paths", "1000", "spot=110", "seed=3")
    assert code == 0
    assert "s0=110.0" in out
    assert "seed=3" in out
    assert len(demo_rows(out)) == 15


# ---------------------------------------------------------------------------
# Help, version, listing
# ---------------------------------------------------------------------------


def test_help(capsys):
    code, out, _ = run(capsys, "--help")
    assert code == 0
    assert "usage: brisklane" in out
    assert "price" in out and "demo" in out


def test_price_help_explains_key_value(capsys):
    code, out, _ = run(capsys, "price", "--help")
    assert code == 0
    assert "key=value" in out
    assert "--json" in out
    assert "european_call" in out


def test_version(capsys):
    code, out, _ = run(capsys, "--version")
    assert code == 0
    assert out.strip() == "brisklane 0.1.1"


def test_products_listing(capsys):
    code, out, _ = run(capsys, "products")
    assert code == 0
    line = next(line for line in out.splitlines() if line.startswith("european_call"))
    assert "price_european_call" in line
    assert "yes" in line.split()


# ---------------------------------------------------------------------------
# The product table drives the commands
# ---------------------------------------------------------------------------


def fake_result(config):
    return {
        "manifest": {"config": {"n_paths": 64, "exercise_steps": config["exercise_steps"]}},
        "price": 1.25,
        "stderr": 0.5,
        "values": {"price": 1.25, "stderr": 0.5},
        "warnings": ["exercise schedule was sorted."],
    }


@pytest.fixture
def fake_product(monkeypatch):
    calls = []

    def price_fake(config):
        calls.append(config)
        return fake_result(config)

    monkeypatch.setattr(brisklane, "price_fake_put", price_fake, raising=False)
    row = cli.Product(
        name="fake_put",
        function="price_fake_put",
        description="test row",
        count_paths=lambda config: config["n_paths"] * 2,
        parsers={"exercise_steps": cli.parse_int_list},
        demo_samplings=("pseudorandom", "latin_hypercube"),
        demo_techniques=("standard",),
    )
    monkeypatch.setitem(cli.PRODUCTS, "fake_put", row)
    return calls


def test_new_product_is_a_table_row(capsys, fake_product):
    code, out, err = run(capsys, "price", "fake_put", "exercise_steps=16,32,48", "strike=90")
    assert code == 0, err
    assert fake_product == [{"exercise_steps": [16, 32, 48], "strike": 90}]
    fields = summary_fields(out)
    assert fields["price"] == "1.250000"
    assert fields["paths"] == "128"
    assert fields["95% interval"] == f"[{1.25 - 0.98:.6f}, {1.25 + 0.98:.6f}]"
    assert fields["warning"] == "exercise schedule was sorted."
    assert "Black-Scholes" not in out


def test_new_product_in_demo(capsys, fake_product):
    code, out, err = run(capsys, "demo", "--product", "fake_put", "--paths", "10", "exercise_steps=1,2")
    assert code == 0, err
    assert [config["sampling"] for config in fake_product] == ["pseudorandom", "latin_hypercube"]
    assert all(config["n_paths"] == 10 and config["exercise_steps"] == [1, 2] for config in fake_product)
    assert len(demo_rows(out, "fake_put")) == 2
    assert all(cells[5] == "n/a" for cells in demo_rows(out, "fake_put").values())


def test_product_missing_from_build(capsys, monkeypatch):
    monkeypatch.setitem(cli.PRODUCTS, "ghost", cli.Product(name="ghost", function="price_ghost_call", description="absent"))
    code, out, err = run(capsys, "price", "ghost")
    assert_one_line_error(code, out, err)
    assert "price_ghost_call" in err


def test_unexpected_library_exception_is_reported(capsys, fake_product, monkeypatch):
    def broken(config):
        raise RuntimeError("first line\nsecond line")

    monkeypatch.setattr(brisklane, "price_fake_put", broken, raising=False)
    code, out, err = run(capsys, "price", "fake_put")
    assert_one_line_error(code, out, err, "first line second line")


# ---------------------------------------------------------------------------
# As a process
# ---------------------------------------------------------------------------


def test_python_dash_m(tmp_path):
    ok = subprocess.run(
        [sys.executable, "-m", "brisklane", "price", "european_call", "--json", "n_paths=1000", "n_threads=1"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
    )
    assert ok.returncode == 0, ok.stderr
    assert json.loads(ok.stdout)["manifest"]["config"]["n_paths"] == 1000


def test_python_dash_m_fatal_error(tmp_path):
    failed = subprocess.run(
        [sys.executable, "-m", "brisklane", "price", "european_call", "n_paths=0"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
    )
    assert failed.returncode == 2
    assert failed.stdout == ""
    assert "Traceback" not in failed.stderr
    # The native core may add its own diagnostic line; ours is the last one.
    assert failed.stderr.splitlines()[-1] == "error: n_paths must be > 0"
