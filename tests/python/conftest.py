import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

# Sanitizer runs load the instrumented module; some checks (symbol tables,
# subprocess imports) then need the same environment passed on.
SANITIZED = os.environ.get("CRIVANE_SANITIZED") == "1"

# For code run in a child interpreter (with numpy as np, a generator `rng` and
# a list `kept`): arrays whose memory Python code can free under a view. A view
# keeps its data pointer when its owner's buffer is replaced, and `free` (or
# `refill` after another way of freeing) hands the freed block out again at
# once, filled with -7. `held` gives a view whose owner no check can find.
FREED_MEMORY = """
def owner_of(dtype):
    # 4096 values: NumPy keeps blocks under 1 KiB for reuse instead of freeing them.
    return rng.normal(size=4096).astype(dtype)

def owned_and_view(shape, dtype):
    owner = owner_of(dtype)
    return owner, owner[: np.prod(shape, dtype=int)].reshape(shape)

def free(owner):
    nbytes = owner.nbytes
    owner.__setstate__((1, (1,), owner.dtype, False, bytes(owner.itemsize)))
    refill(nbytes)

def refill(nbytes):
    kept.extend(np.full(nbytes // 8, -7.0) for _ in range(4))

class Holder:
    # Names an array's memory by __array_interface__ and keeps the array under
    # another name than `base`.
    def __init__(self, array):
        self.owner = array
        self.__array_interface__ = array.__array_interface__

def held(array):
    return np.asarray(Holder(array))
"""


def traced_growth(call, warm_up=100):
    """Traced memory kept by 1000 further calls after `warm_up` calls (what the
    calls raise is ignored), traced from the first call on."""

    def once():
        try:
            call()
        except BaseException:
            pass

    tracemalloc.start()
    try:
        for _ in range(warm_up):
            once()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(1000):
            once()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


@pytest.fixture
def subprocess_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


@pytest.fixture
def run_python(subprocess_env):
    """Runs code in a fresh interpreter that sees this package, with `args` as its
    sys.argv[1:]; returns its stdout."""

    def run(code, *args):
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code), *args],
            env=subprocess_env,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert result.returncode == 0, result.stderr
        return result.stdout

    return run
