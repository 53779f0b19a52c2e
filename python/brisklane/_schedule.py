"""Running the blocks of a plan: on local threads, on any ``concurrent.futures`` executor, or on a
Dask cluster.

A block is a pure task ``(product, config, blocks, block) -> bytes``: its raw partial sums, which
the native merge adds in block order. Where a block runs therefore never changes the result, and a
block that fails, or whose worker dies, is simply run again.
"""

from __future__ import annotations

import os
import threading
from concurrent.futures import FIRST_COMPLETED, BrokenExecutor, ThreadPoolExecutor
from concurrent.futures import wait as futures_wait
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from brisklane import _native

# A failed task is submitted again this many times before its error reaches the caller.
RETRIES = 2
# Tasks per executor slot: enough to balance the load and report progress, few enough that
# the executor's cost per task stays small beside the blocks' work.
TASKS_PER_SLOT = 2
_WAIT_SECONDS = 0.05  # the calling thread wakes at least this often to report and see Ctrl-C


def blocks_task(
    product: str,
    config: Mapping[str, Any],
    blocks: int,
    indices: Sequence[int],
    stop: Optional[Callable[[], bool]] = None,
) -> List[bytes]:
    """Blocks of a plan, run where they are sent: each block's partial results as bytes. `stop`,
    polled every few milliseconds, ends the run with KeyboardInterrupt once it returns true."""
    return [bytes(_native.run_block(product, dict(config), blocks, b, stop)) for b in indices]


def whole_task(product: str, config: Mapping[str, Any], blocks: int) -> Dict[str, Any]:
    """A whole planned pricing, for products whose blocks cannot run apart (the puts)."""
    return dict(_native.price_planned(product, dict(config), blocks, 0))


def is_dask_client(executor: Any) -> bool:
    """Whether `executor` is a ``distributed.Client`` (checked without importing Dask)."""
    return type(executor).__module__.split(".")[0] == "distributed" and hasattr(executor, "submit")


def executor_slots(executor: Any) -> int:
    """How many tasks the executor runs at once: a Dask cluster's threads, a pool's workers."""
    if is_dask_client(executor):
        workers = executor.scheduler_info().get("workers", {})
        return max(1, sum(int(w.get("nthreads", 1)) for w in workers.values()))
    return max(1, int(getattr(executor, "_max_workers", None) or os.cpu_count() or 1))


def chunks(indices: Sequence[int], count: int) -> List[Tuple[int, ...]]:
    """`indices` cut into at most `count` contiguous runs, split as blocks are."""
    if not indices:
        return []
    out, start = [], 0
    for size in split_counts(len(indices), max(1, min(count, len(indices)))):
        out.append(tuple(indices[start : start + size]))
        start += size
    return out


def describe(executor: Any) -> str:
    """The executor as the manifest names it."""
    kind = type(executor)
    return f"{kind.__module__}.{kind.__qualname__}"


class _Submitter:
    """Submits tasks to the caller's executor: Dask gets its own retries and a key per block."""

    def __init__(self, executor: Any) -> None:
        self.executor = executor
        self.dask = is_dask_client(executor)

    def submit(self, function: Callable[..., Any], *args: Any) -> Any:
        if self.dask:
            # Every call computes afresh (pure=False: no result is kept between calls under a
            # shared key); Dask reruns a task by itself when its worker dies.
            return self.executor.submit(function, *args, pure=False, retries=RETRIES)
        return self.executor.submit(function, *args)


def _wait_some(futures: List[Any], dask: bool) -> List[Any]:
    """The futures done within a short wait (woken by the first one done)."""
    if dask:
        import distributed

        try:
            distributed.wait(futures, timeout=_WAIT_SECONDS, return_when="FIRST_COMPLETED")
        except (TimeoutError, distributed.TimeoutError):
            pass
        return [future for future in futures if future.done()]
    done, _ = futures_wait(futures, timeout=_WAIT_SECONDS, return_when=FIRST_COMPLETED)
    return list(done)


_BROKEN = "the executor broke; its remaining blocks ran in this process"


def run_tasks(
    tasks: Mapping[int, tuple[Callable[..., Any], tuple[Any, ...]]],
    *,
    executor: Optional[Any],
    threads: int,
    local: Callable[[int, threading.Event], Any],
    on_result: Callable[[int, Any], None],
    tick: Callable[[], None],
    warnings: List[str],
) -> None:
    """Runs every task and hands each result to `on_result` on the calling thread as it arrives.

    Parameters
    ----------
    tasks : mapping
        Task index -> (picklable function, arguments), shipped to `executor`.
    executor : Executor, distributed.Client or None
        Where the tasks run; ``None``: `local` on `threads` threads of this process.
    threads : int
        Local threads, when there is no executor.
    local : callable
        ``local(index, stop)`` runs a task in this process, ending early once `stop` is set.
    on_result, tick : callable
        Called on the calling thread: with each result, and every few milliseconds.
    warnings : list of str
        Receives a line when a broken executor leaves tasks to this process.

    Ctrl-C (or anything `tick` raises) stops every local thread, cancels every pending remote
    task, and propagates once the local threads have ended.
    """
    stop = threading.Event()
    own_pool: Optional[ThreadPoolExecutor] = None
    submitter: Optional[_Submitter] = None
    submitted: Dict[Any, int] = {}
    attempts = {index: 0 for index in tasks}
    broken = False
    try:
        if executor is None:
            own_pool = ThreadPoolExecutor(max_workers=max(1, threads), thread_name_prefix="brisklane-block")
            for index in tasks:
                submitted[own_pool.submit(local, index, stop)] = index
        else:
            submitter = _Submitter(executor)
            unsent: List[int] = []
            for index, (fn, args) in tasks.items():
                try:
                    if not broken:
                        submitted[submitter.submit(fn, *args)] = index
                        continue
                except BrokenExecutor:  # a pool can break while its tasks are being handed over
                    broken = True
                    warnings.append(_BROKEN)
                unsent.append(index)
            for index in unsent:
                on_result(index, local(index, stop))
        while submitted:
            finished = _wait_some(list(submitted), submitter is not None and submitter.dask)
            if not finished:
                tick()
                continue
            for future in finished:
                index = submitted.pop(future)
                try:
                    result = future.result()
                except KeyboardInterrupt:
                    raise
                except Exception as error:
                    if submitter is None:
                        raise
                    if not isinstance(error, BrokenExecutor):
                        if attempts[index] >= RETRIES:
                            raise
                        attempts[index] += 1
                        fn, args = tasks[index]
                        try:
                            submitted[submitter.submit(fn, *args)] = index
                            continue
                        except BrokenExecutor:
                            pass
                    if not broken:
                        broken = True
                        warnings.append(_BROKEN)
                    result = local(index, stop)
                on_result(index, result)
            tick()
    except BaseException:
        stop.set()
        for future in submitted:
            future.cancel()
        raise
    finally:
        if own_pool is not None:
            own_pool.shutdown(wait=True, cancel_futures=True)


def local_blocks(
    product: str, config: Mapping[str, Any], blocks: int, groups: Sequence[Tuple[int, ...]]
) -> Callable[[int, threading.Event], List[bytes]]:
    """``local(index, stop)`` running the blocks of group `index` in this process, stoppable
    through `stop`."""
    return lambda index, stop: blocks_task(product, config, blocks, groups[index], stop.is_set)


def split_counts(total: int, blocks: int) -> List[int]:
    """`total` split over `blocks` as the core splits units: the first ``total % blocks`` one larger."""
    base, extra = divmod(total, blocks)
    return [base + (1 if b < extra else 0) for b in range(blocks)]
