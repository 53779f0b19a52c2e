"""brisklane.grid: rows, columns, bits equal to price(), executors, the fallback without pandas, the command."""

from __future__ import annotations

import csv
import io
import json
import math
import sys
from concurrent.futures import ThreadPoolExecutor

import pandas
import pytest

import brisklane
from brisklane.reference import black_scholes_call

BASE = {"n_paths": 4096, "blocks": 2}
COLUMNS = ["price", "stderr", "interval_low", "interval_high", "n_paths", "elapsed"]


def test_rows_follow_the_axes_and_equal_price_bit_for_bit():
    table = brisklane.grid("european_call", {"spot": [90, 110], "volatility": [0.1, 0.2, 0.3]}, strike=95, **BASE)
    assert isinstance(table, pandas.DataFrame)
    assert list(table.columns) == ["spot", "volatility"] + COLUMNS + ["reference", "error_in_stderr"]
    assert list(zip(table.spot, table.volatility)) == [(s, v) for s in (90, 110) for v in (0.1, 0.2, 0.3)]
    for row in table.to_dict("records"):
        direct = brisklane.price("european_call", spot=row["spot"], volatility=row["volatility"], strike=95, **BASE)
        assert (row["price"], row["stderr"], row["interval_low"], row["n_paths"]) == (
            direct.price, direct.stderr, direct.interval[0], direct.n_paths)
        assert row["reference"] == black_scholes_call(row["spot"], 95, 0.03, row["volatility"], 1.0)
        assert row["error_in_stderr"] == (row["price"] - row["reference"]) / row["stderr"]


def test_without_pandas_rows_are_dicts_with_the_same_keys(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas now raises ImportError
    rows = brisklane.grid("arithmetic_asian_call", {"sigma": [0.2]}, n_paths=2048, n_steps=8, greeks=["delta"])
    assert isinstance(rows, list) and list(rows[0]) == ["sigma"] + COLUMNS + ["delta", "delta_stderr"]
    direct = brisklane.price("arithmetic_asian_call", sigma=0.2, n_paths=2048, n_steps=8, greeks=["delta"])
    assert rows[0]["delta"] == direct.greeks["delta"].value
    # A basket that is not one lognormal asset has no closed form: NaN, the column kept.
    basket = brisklane.grid("basket_call", {"weight2": [0.0, 0.5]}, n_paths=1024)
    assert not math.isnan(basket[0]["reference"]) and math.isnan(basket[1]["reference"])


def test_executor_fan_out_equals_local_and_reports_points():
    axes = {"spot": [95, 100, 105], "sampling": ["pseudorandom", "scrambled_sobol"]}
    seen = []
    local = brisklane.grid("lookback_call", axes, n_paths=2048, n_steps=16, progress=lambda d, t: seen.append((d, t)))
    with ThreadPoolExecutor(2) as pool:
        remote = brisklane.grid("lookback_call", axes, executor=pool, n_paths=2048, n_steps=16)
    assert local.drop(columns="elapsed").equals(remote.drop(columns="elapsed"))
    assert seen[0] == (0, 6) and seen[-1] == (6, 6) and len(seen) == 7


def test_list_valued_fields_stay_fixed():
    rows = brisklane.grid("bermudan_put", {"spot": [90, 100]}, n_paths=2000, exercise_steps=[16, 32])
    direct = brisklane.price("bermudan_put", spot=100, n_paths=2000, exercise_steps=[16, 32])
    assert rows.price.iloc[1] == direct.price and "reference" not in rows


def test_errors_name_the_field():
    with pytest.raises(TypeError, match="no field 'spott'; did you mean 'spot'"):
        brisklane.grid("european_call", {"spott": [1]})
    with pytest.raises(brisklane.ConfigError, match="sigma: the axis has no values"):
        brisklane.grid("european_call", {"spot": [1], "sigma": []})
    with pytest.raises(TypeError, match="s0 given twice"):
        brisklane.grid("european_call", {"spot": [1]}, s0=2)
    with pytest.raises(brisklane.ConfigError, match="sigma: must be >= 0"):  # the last point, before any runs
        brisklane.grid("european_call", {"sigma": [0.2, -0.1]}, n_paths=10**9)
    with pytest.raises(TypeError, match="spot: expected a sequence"):
        brisklane.grid("european_call", {"spot": 100})


def test_command_line_csv_json_and_table(cli_run):
    argv = ["grid", "european_call", "n_paths=4e3", "--axis", "spot=90,100", "--axis", "sigma=0.2"]
    code, out, _ = cli_run(*argv, "--csv")
    rows = list(csv.DictReader(io.StringIO(out)))
    direct = brisklane.price("european_call", spot=100, sigma=0.2, n_paths=4000)
    assert code == 0 and [r["spot"] for r in rows] == ["90", "100"] and float(rows[1]["price"]) == direct.price
    code, out, _ = cli_run(*argv, "--json")
    assert code == 0 and json.loads(out)[1]["n_paths"] == 4000
    code, out, _ = cli_run(*argv)
    assert code == 0 and out.split()[:3] == ["spot", "sigma", "price"] and len(out.splitlines()) == 4
    code, out, err = cli_run("grid", "european_call", "--axis", "spot=90", "--axis", "spot=100")
    assert (code, out, err) == (2, "", "error: --axis: 'spot' given more than once\n")


def test_a_user_script_type_checks_strictly(tmp_path):
    from mypy import api as mypy

    script = tmp_path / "user.py"
    script.write_text(
        "import brisklane\n"
        "table = brisklane.grid('european_call', {'spot': [90, 100]}, progress=lambda d, t: None, n_paths=10)\n"
        "conv = brisklane.convergence('european_call', ['pseudorandom'], [1024, 4096], 4, threads=2, spot=100)\n"
    )
    out, err, status = mypy.run(["--strict", "--no-incremental", str(script)])
    assert status == 0, out + err
