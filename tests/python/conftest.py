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
    """Runs code in a fresh interpreter that sees this package; returns its stdout."""

    def run(code):
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            env=subprocess_env,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert result.returncode == 0, result.stderr
        return result.stdout

    return run
