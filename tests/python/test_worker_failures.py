"""Workers that cannot be started: a clean error, never a crash (buffers that cannot be allocated: test_envelope.py)."""

import subprocess
import sys
import textwrap

import pytest

# In a child interpreter, cap the address space just above what is mapped after import,
# so thread stacks cannot be mapped beyond the first few workers.
CHILD = textwrap.dedent(
    """
    import resource
    import brisklane

    with open("/proc/self/status") as status:
        vm_kb = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    limit = (vm_kb + 256 * 1024) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    # 10**8 workers of 10**7 paths each: the started ones are stopped, and no
    # table of 10**8 blocks is built first
    for config in ({"n_threads": 1000, "n_paths": 2_000_000}, {"n_threads": 10**8, "n_paths": 10**15}):
        try:
            brisklane.price_european_call(config)
        except brisklane.PanicException as error:
            print("panic:", error)
        except BaseException as error:
            print("other:", type(error).__name__, error)
        else:
            print("no error")
    print("after:", brisklane.price_european_call({"n_paths": 1000, "n_threads": 1})["price"] > 0)
    """
)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses /proc and RLIMIT_AS")
def test_unstartable_workers_raise_the_spawn_error_and_leave_the_process_usable():
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert [line.startswith("panic: failed to spawn thread") for line in lines[:2]] == [True, True], lines
    assert lines[2] == "after: True"
