"""Worker threads that cannot be started: a clean fatal error, never a crash.

Each case runs in a child interpreter whose address space is capped, so thread
stacks cannot be mapped beyond the first few workers.
"""

import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import resource, sys
    import brisklane

    # Import first, then cap the address space just above what is mapped now.
    with open("/proc/self/status") as status:
        vm_kb = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    limit = (vm_kb + 256 * 1024) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    try:
        brisklane.price_european_call({"n_threads": 1000, "n_paths": 2_000_000})
    except brisklane.PanicException as error:
        print("panic:", error)
    else:
        print("no error")
    # The interpreter and the module still work afterwards.
    result = brisklane.price_european_call({"n_paths": 1000, "n_threads": 1})
    print("after:", result["price"] > 0)
    """
)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses /proc and RLIMIT_AS")
def test_unstartable_workers_raise_the_spawn_error_and_leave_the_process_usable():
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("panic: failed to spawn thread"), lines
    assert lines[1] == "after: True"


@pytest.mark.parametrize(
    "function, config",
    [
        ("price_arithmetic_asian_call", {"n_steps": 2**62, "sampling": "latin_hypercube", "n_paths": 4}),
        ("price_lookback_call", {"n_steps": 2**62, "sampling": "randomized_halton", "n_paths": 4}),
        ("price_down_and_out_call", {"n_steps": 2**62, "sampling": "scrambled_sobol_brownian_bridge", "n_paths": 4}),
    ],
)
def test_impossible_structured_buffers_raise_memory_error(function, config):
    import brisklane

    with pytest.raises(MemoryError):
        getattr(brisklane, function)(config)
    assert brisklane.price_european_call({"n_paths": 100})["price"] > 0
