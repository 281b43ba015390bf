"""Where a build writes the extension module, read from a fresh CMake configure.

Only a plain build writes into python/crivane of the source tree; a module built
for sanitizers or fuzzing needs its runtime preloaded, so it goes into its own
build folder and never replaces the one that `import crivane` finds.
"""
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")


def configure(build, options, env=None):
    """Configures (or reconfigures) `build`; returns its module folder."""
    clean = {k: v for k, v in (env or os.environ).items()
             if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
    result = subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(build), "-DPython3_EXECUTABLE=/usr/bin/python3",
         "-DCRIVANE_BUILD_TESTS=OFF", "-DCRIVANE_BUILD_BENCH=OFF", *options],
        env=clean, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr
    cache = (build / "CMakeCache.txt").read_text()
    return next(line.split("=", 1)[1] for line in cache.splitlines()
                if line.startswith("CRIVANE_PY_PACKAGE_DIR:"))


SOURCE = "source"  # python/crivane of the source tree
OWN = "own"  # python/crivane of the build folder
GIVEN = "given"  # the folder passed with -DCRIVANE_PY_PACKAGE_DIR


@pytest.mark.parametrize(
    "steps",
    [
        # One build folder configured again with other options: the folder
        # follows them.
        [([], SOURCE), (["-DCRIVANE_SANITIZE=ON"], OWN), (["-DCRIVANE_SANITIZE=OFF"], SOURCE)],
        [(["-DCMAKE_CXX_FLAGS=-fsanitize=address"], OWN)],
        # A folder given by hand stays, whatever the options.
        [(["-DCRIVANE_PY_PACKAGE_DIR={given}"], GIVEN), (["-DCRIVANE_SANITIZE=ON"], GIVEN)],
    ],
    ids=["plain-sanitize-plain", "sanitizer-flags", "given-folder"],
)
def test_only_a_plain_build_writes_into_the_source_package(tmp_path, steps):
    build = tmp_path / "build"
    given = tmp_path / "elsewhere" / "crivane"
    expected = {SOURCE: ROOT / "python" / "crivane", OWN: build / "python" / "crivane",
                GIVEN: given}
    for options, where in steps:
        got = configure(build, [o.format(given=given) for o in options])
        assert pathlib.Path(got) == expected[where], options


@pytest.mark.skipif(shutil.which("clang++") is None, reason="fuzzing builds need clang")
def test_fuzzing_build_writes_into_its_own_folder(tmp_path):
    build = tmp_path / "fuzz"
    env = dict(os.environ, CXX="clang++")
    got = configure(build, ["-DCRIVANE_FUZZ=ON"], env=env)
    assert pathlib.Path(got) == build / "python" / "crivane"
