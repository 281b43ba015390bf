"""`pip install .`: builds the extension module with CMake and installs the package.

PyPI is out of reach, so install into a venv made with --system-site-packages and
pass --no-build-isolation (setuptools and NumPy come from the Debian packages):

    /usr/bin/python3 -m venv --system-site-packages .venv
    .venv/bin/pip install --no-build-isolation .
"""
import os
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        root = os.path.dirname(os.path.abspath(__file__))
        build_dir = os.path.join(os.path.abspath(self.build_temp), "cmake")
        package_dir = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        os.makedirs(package_dir, exist_ok=True)
        subprocess.check_call(
            [
                "cmake", "-S", root, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                f"-DPython3_EXECUTABLE={sys.executable}",
                f"-DCRIVANE_PY_PACKAGE_DIR={package_dir}",
                "-DCRIVANE_BUILD_TESTS=OFF", "-DCRIVANE_BUILD_BENCH=OFF",
            ]
        )
        subprocess.check_call(
            ["cmake", "--build", build_dir, "--target", "_crivane_rs", "--parallel", str(os.cpu_count() or 1)]
        )


setup(
    name="crivane",
    version="0.1.0",
    description="A storage engine for atomistic structures",
    packages=["crivane"],
    package_dir={"": "python"},
    ext_modules=[Extension("crivane._crivane_rs", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    install_requires=["numpy"],
    python_requires=">=3.11",
)
