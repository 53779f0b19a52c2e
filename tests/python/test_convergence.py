"""brisklane.convergence and the plots: fitted rates, the replicates behind them, and the figures' data."""

from __future__ import annotations

import math

import pytest
from matplotlib.figure import Figure

import brisklane
from brisklane.cli._plot import convergence_figure, grid_figure

COUNTS = (2**10, 2**12, 2**14, 2**16)


@pytest.fixture(scope="module")
def european():
    return brisklane.convergence("european_call", ["pseudorandom", "scrambled_sobol"], COUNTS).to_dict("records")


def test_slopes_pseudorandom_half_sobol_steeper(european):
    slopes = {row["sampling"]: row["slope"] for row in european}
    assert -0.6 < slopes["pseudorandom"] < -0.4
    assert slopes["scrambled_sobol"] < -0.75
    assert [row["n_paths"] for row in european] == list(COUNTS) * 2


def test_rows_are_the_replicates_of_price(european):
    row = european[5]  # scrambled Sobol at 2**12 paths
    replicated = brisklane.price("european_call", sampling="scrambled_sobol", n_paths=2**12, replicates=16)
    errors = [p - row["reference"] for p in replicated.replicate_prices]
    assert row["rmse"] == math.sqrt(math.fsum(e * e for e in errors) / 16)
    assert row["spread"] == pytest.approx(replicated.stderr * 4, rel=1e-12)
    assert row["mean_stderr"] > 10 * row["rmse"]  # a Sobol run's own stderr treats its points as independent


def test_without_closed_form_a_long_run_is_the_reference():
    rows = brisklane.convergence("arithmetic_asian_call", ["pseudorandom"], (256, 1024), 4, n_steps=4)
    long = brisklane.price("arithmetic_asian_call", sampling="scrambled_sobol_brownian_bridge", n_paths=4 * 1024,
                           replicates=16, n_steps=4)
    assert (rows.reference.iloc[0], rows.reference_stderr.iloc[0]) == (long.price, long.stderr)
    with pytest.raises(brisklane.ConfigError, match="pseudorandom numbers only"):
        brisklane.convergence("heston_european_call", ["scrambled_sobol"])


def test_figures_carry_the_data(european, tmp_path, cli_run):
    figure = convergence_figure(european)
    assert isinstance(figure, Figure)
    lines = figure.axes[0].get_lines()
    labels = [line.get_label() for line in lines]
    assert labels[-1] == "n^-1/2" and len(lines) == 3
    assert labels[0] == f"pseudorandom (slope {european[0]['slope']:.2f})"
    assert list(lines[1].get_ydata()) == [row["rmse"] for row in european[4:]]
    table = brisklane.grid("european_call", {"spot": [90, 100], "sigma": [0.1, 0.2, 0.3]}, n_paths=1024)
    lines = grid_figure(table.to_dict("records"), ["spot", "sigma"]).axes[0].get_lines()
    assert [line.get_label() for line in lines] == ["sigma=0.1", "sigma=0.2", "sigma=0.3"]
    assert list(lines[2].get_ydata()) == list(table.price[table.sigma == 0.3])
    for argv in (["convergence", "european_call", "--samplings", "pseudorandom", "--path-counts", "1e3,4e3",
                  "--replicates", "4"], ["grid", "european_call", "n_paths=1e3", "--axis", "spot=90,100"]):
        out = tmp_path / f"{argv[0]}.png"
        assert cli_run("plot", *argv, "--out", str(out))[0] == 0
        assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
