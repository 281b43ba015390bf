import os
import sys

import pytest

# Sanitizer runs load the instrumented module; some checks (symbol tables,
# subprocess imports) then need the same environment passed on.
SANITIZED = os.environ.get("CRIVANE_SANITIZED") == "1"


@pytest.fixture
def subprocess_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env
