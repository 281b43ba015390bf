import os
import subprocess
import sys
import textwrap

import pytest

# Sanitizer runs load the instrumented module; some checks (symbol tables,
# subprocess imports) then need the same environment passed on.
SANITIZED = os.environ.get("CRIVANE_SANITIZED") == "1"


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
