"""Blocks shipped to executors: the same bits on local threads, thread and process pools and a Dask
cluster (a worker killed mid-run included); progress reports; target-error rounds; Ctrl-C."""

from __future__ import annotations

import contextlib
import json
import multiprocessing
import os
import signal
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

from concurrent.futures.process import BrokenProcessPool

import pytest

import brisklane

# Pool workers are spawned: forking a process that already runs threads (Dask's) can deadlock.
SPAWN = multiprocessing.get_context("spawn")

# (product, fields, blocks): workers' streams, serial ranges, structured points, the
# multilevel estimator's stages, and a put, which travels as one task.
RUNS = {
    "european control variate": ("european_call", {"n_paths": 40_000, "technique": "control_variate"}, 6),
    "asian antithetic": ("arithmetic_asian_call", {"n_paths": 20_001, "technique": "antithetic"}, 5),
    "asian sobol bridge": ("arithmetic_asian_call",
                           {"n_paths": 9_000, "sampling": "scrambled_sobol_brownian_bridge"}, 4),
    "merton": ("merton_jump_diffusion_call", {"n_paths": 30_000}, 3),
    "multilevel": ("arithmetic_asian_mlmc", {"levels": 3, "paths_per_level": [4000, 2000, 1000]}, 4),
    "american put": ("american_put", {"n_paths": 4_000, "n_steps": 20}, 3),
}


def fingerprint(estimate: brisklane.Estimate) -> tuple:
    return estimate.price.hex(), estimate.stderr.hex(), estimate.n_paths, estimate.blocks


@pytest.fixture(scope="module")
def local_results():
    return {name: fingerprint(brisklane.price(p, f, blocks=b, threads=1)) for name, (p, f, b) in RUNS.items()}


@pytest.fixture(scope="module")
def dask_client():
    import distributed  # installed: a missing package fails the Dask tests instead of skipping them

    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        yield client


POOLS = {"thread pool": lambda: ThreadPoolExecutor(3), "process pool": lambda: ProcessPoolExecutor(2, mp_context=SPAWN)}


@pytest.mark.parametrize("where", ["local threads", *POOLS, "dask"])
def test_every_executor_gives_the_local_bits(where, local_results, request):
    executor = request.getfixturevalue("dask_client") if where == "dask" else POOLS.get(where, lambda: None)()
    try:
        for name, (product, fields, blocks) in RUNS.items():
            for threads in (1, 2, 4) if executor is None else (None,):
                # A progress callback sends a local run block by block through Python threads.
                got = brisklane.price(product, fields, blocks=blocks, threads=threads, executor=executor,
                                      progress=lambda *_: None)
                assert fingerprint(got) == local_results[name], (where, name, threads)
                if executor is not None:
                    assert got.manifest["executor"] and got.config["threads"] is None
    finally:
        if where in POOLS:
            executor.shutdown()


ASIAN = ("arithmetic_asian_call", {"n_paths": 64 * 4000, "n_steps": 64})


def test_a_dask_worker_killed_mid_run_changes_no_bit(dask_client):
    long_asian = ("arithmetic_asian_call", {"n_paths": 32 * 200_000, "n_steps": 64})  # about a second
    expected = fingerprint(brisklane.price(*long_asian, blocks=32))
    victim = sorted(dask_client.run(os.getpid).values())[0]  # a worker process of the local cluster
    killed = []

    def kill_once(paths_done, paths_total, running):  # when the first blocks are back
        if paths_done > 0 and not killed:
            killed.append(os.kill(victim, signal.SIGKILL))

    got = brisklane.price(*long_asian, blocks=32, executor=dask_client, progress=kill_once)
    assert killed and fingerprint(got) == expected
    dask_client.wait_for_workers(2, timeout=60)


class DyingPool(ProcessPoolExecutor):
    """A spawned pool that kills one of its workers as the third task is submitted."""

    def __init__(self) -> None:
        super().__init__(2, mp_context=SPAWN)
        self.submitted = 0
        self.workers: dict = {}
        self.submit(int).result()  # a worker exists

    def submit(self, fn, *args, **kwargs):
        self.submitted += 1
        if self.submitted == 4:
            os.kill(next(iter(self.workers)), signal.SIGKILL)
        future = super().submit(fn, *args, **kwargs)
        self.workers.update(self._processes or {})  # the pool starts workers as it needs them
        return future


def test_a_broken_process_pool_leaves_its_blocks_to_this_process():
    expected = fingerprint(brisklane.price(*ASIAN, blocks=64))
    pool = DyingPool()
    try:
        got = brisklane.price(*ASIAN, blocks=64, executor=pool)
    finally:
        # A worker killed while it held the pool's queue lock leaves the other one waiting on it.
        for worker in pool.workers.values():
            worker.kill()
        pool.shutdown()
    assert fingerprint(got) == expected
    assert any("the executor broke" in w for w in got.warnings)


def test_a_pool_that_breaks_while_taking_tasks_leaves_the_rest_to_this_process():
    class BreaksOnThird(ThreadPoolExecutor):
        calls = 0

        def submit(self, fn, /, *args, **kwargs):
            BreaksOnThird.calls += 1
            if BreaksOnThird.calls >= 3:
                raise BrokenProcessPool("gone")
            return super().submit(fn, *args, **kwargs)

    with BreaksOnThird(2) as pool:
        got = brisklane.price(*ASIAN, blocks=64, executor=pool)
    assert fingerprint(got) == fingerprint(brisklane.price(*ASIAN, blocks=64))
    assert got.warnings.count("the executor broke; its remaining blocks ran in this process") == 1


def test_failed_blocks_are_retried_with_unchanged_bits():
    class Flaky(ThreadPoolExecutor):
        """Fails the first submission of every task."""

        seen: set = set()

        def submit(self, fn, *args, **kwargs):
            if fn.__name__ == "blocks_task" and args[3] not in self.seen:
                self.seen.add(args[3])
                return super().submit(lambda: 1 / 0)
            return super().submit(fn, *args, **kwargs)

    expected = fingerprint(brisklane.price(*ASIAN, blocks=8))
    with Flaky(2) as pool:
        assert fingerprint(brisklane.price(*ASIAN, blocks=8, executor=pool)) == expected
        assert sorted(b for task in Flaky.seen for b in task) == list(range(8))


def test_progress_is_monotone_ends_at_the_total_and_carries_the_running_estimate():
    calls = []
    final = brisklane.price("european_call", n_paths=10**6, blocks=40, threads=2,
                            progress=lambda done, total, running: calls.append((done, total, running)))
    done = [c[0] for c in calls]
    assert done == sorted(done) and calls[0][0] == 0 and calls[-1][:2] == (10**6, 10**6)
    assert calls[-1][2].price == final.price and calls[-1][2].stderr == final.stderr
    # A running estimate is the run of the blocks done so far, exactly.
    for done_paths, _, running in calls[1:-1]:
        if running is not None:
            again = brisklane.price("european_call", n_paths=running.n_paths, blocks=running.blocks)
            assert (again.price, again.stderr) == (running.price, running.stderr)


def test_the_progress_bar_draws_on_stderr(capsys):
    brisklane.price("european_call", n_paths=10**5, blocks=4, progress=True)
    err = capsys.readouterr().err
    assert "100%" in err and "paths" in err and err.endswith("\n")


@pytest.mark.parametrize("product, fields, target", [
    ("european_call", {"n_paths": 10_000}, 0.01),  # blocks grow: earlier rounds reused
    ("arithmetic_asian_call", {"n_paths": 3_000, "sampling": "scrambled_sobol"}, 0.02),  # re-run rounds
    ("arithmetic_asian_mlmc", {"levels": 2, "paths_per_level": [2000, 1000]}, 0.01),  # every level doubles
])
def test_target_stderr_rounds_are_reproducible_and_equal_a_plain_run(product, fields, target):
    first = brisklane.price(product, fields, target_stderr=target)
    again = brisklane.price(product, fields, target_stderr=target, threads=1, progress=lambda *_: None)
    assert fingerprint(first) == fingerprint(again)
    assert first.stderr <= target < brisklane.price(product, fields).stderr
    assert first.manifest["rounds"] >= 2 and not first.warnings
    plain = {k: v for k, v in first.config.items() if k != "threads"}
    assert fingerprint(brisklane.price(product, plain, blocks=first.blocks)) == fingerprint(first)


def test_max_paths_stops_the_rounds_with_a_warning():
    est = brisklane.price("european_call", n_paths=10_000, blocks=4, target_stderr=1e-6, max_paths=100_000)
    assert est.n_paths == 100_000 and est.stderr > 1e-6
    assert est.warnings == (f"max_paths=100,000 reached before target_stderr=1e-06: stderr {est.stderr:.3g} "
                            "at 100,000 paths",)


@pytest.mark.parametrize("options, error, message", [
    ({"max_paths": 10**6}, TypeError, "max_paths: only used with target_stderr"),
    ({"target_stderr": 0.0}, brisklane.ConfigError, "target_stderr: must be a finite number > 0"),
    ({"target_stderr": "small"}, TypeError, "target_stderr: expected a real number, got str"),
    ({"target_stderr": 0.1, "max_paths": 10}, brisklane.ConfigError, "max_paths: must be at least"),
    ({"progress": "yes"}, TypeError, "progress: expected True or a callable, got str"),
])
def test_options_are_checked(options, error, message):
    with pytest.raises(error, match=message):
        brisklane.price("european_call", n_paths=1000, **options)


# "ready" comes from the run's first progress report, so the signal cannot
# arrive before the run has started (on a loaded machine starting the pool
# takes longer than the test waits).
CHILD = r"""
import sys, time, brisklane
from concurrent.futures import ProcessPoolExecutor
ready = []
def report(done, total, running):
    if not ready:
        ready.append(print("ready", flush=True))
with ProcessPoolExecutor(2) as pool:
    try:
        brisklane.price("european_call", n_paths=10**10, blocks=512, executor=pool, progress=report)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT is delivered differently on Windows")
@pytest.mark.parametrize("argv, expected", [
    (["-c", CHILD], "KeyboardInterrupt"),
    (["-m", "brisklane", "run", "european_call", "n_paths=100000000000", "--no-progress"], None),
], ids=["process pool", "command line"])
def test_ctrl_c_stops_shipped_runs_and_the_command_line_exits_130(argv, expected):
    child = subprocess.Popen(
        [sys.executable, *argv], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True
    )
    try:
        if expected is not None:
            assert child.stdout.readline().strip() == "ready"
        time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        if expected is not None:
            assert child.stdout.readline().strip() == expected
            return  # the pool's running tasks would finish in their processes: ended below
        out, err = child.communicate(timeout=60)
        assert child.returncode == 130 and err == "interrupted\n"
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(child.pid, signal.SIGKILL)  # with the pool's workers


def test_the_command_line_runs_on_a_dask_scheduler(dask_client, cli_run):
    address = dask_client.scheduler.address
    code, out, err = cli_run("run", "european_call", "n_paths=40000", "--blocks", "4", "--scheduler", address, "--json")
    assert code == 0, err
    result = json.loads(out)
    local = brisklane.price("european_call", n_paths=40000, blocks=4)
    assert (result["price"], result["stderr"]) == (local.price, local.stderr)
    assert result["manifest"]["executor"] == "distributed.client.Client"
