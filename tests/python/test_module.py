import gc
import glob
import importlib
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import weakref

import numpy as np
import pytest

import crivane._crivane_rs as module
from conftest import SANITIZED

# The module's public names, in registration order; they join as they are built.
FULL_ORDER = ["PyAtom", "PyMolecule", "PyAtomDatabase", "_molecule_from_pickle_bytes"]
CLASSES = ["PyAtom", "PyMolecule", "PyAtomDatabase"]

def new_database():
    # The object keeps no handle on its file after creation.
    with tempfile.TemporaryDirectory() as folder:
        return module.PyAtomDatabase(os.path.join(folder, "traits.db"))


# One instance of each class, for the instance traits.
INSTANCE_FACTORIES = {
    "PyAtom": lambda: module.PyAtom(0, 0, 0, 1),
    "PyMolecule": lambda: module.PyMolecule(np.zeros((1, 3), np.float32), np.ones(1, np.uint8)),
    "PyAtomDatabase": new_database,
}

MODULE_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def present_classes():
    return [name for name in CLASSES if hasattr(module, name)]


def test_all_lists_the_registered_names_in_order():
    assert module.__all__ == [name for name in FULL_ORDER if hasattr(module, name)]
    assert module.__all__[0] == "PyAtom"


def test_module_defines_nothing_else():
    assert set(vars(module)) == MODULE_ATTRIBUTES | {"__all__"} | set(module.__all__)


def test_module_docstring():
    assert module.__doc__ == (
        "The Python module\n\nThis function defines what's available when you `import crivane` in Python"
    )


def test_second_initializer_call_returns_the_same_module():
    classes = {name: getattr(module, name) for name in module.__all__}
    names = list(module.__all__)
    del sys.modules["crivane._crivane_rs"]
    try:
        again = importlib.import_module("crivane._crivane_rs")
    finally:
        sys.modules["crivane._crivane_rs"] = module
    assert again is module
    assert {name: getattr(again, name) for name in again.__all__} == classes
    assert again.__all__ == names
    # The same through the loader directly.
    assert importlib.util.module_from_spec(module.__spec__) is module
    assert module.__all__ == names


@pytest.mark.parametrize("name", present_classes())
def test_class_traits(name):
    cls = getattr(module, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    # The class object itself is not immutable.
    cls.extra_attribute = 1
    assert cls.extra_attribute == 1
    del cls.extra_attribute


@pytest.mark.parametrize("name", present_classes())
def test_instance_traits(name):
    if name not in INSTANCE_FACTORIES:
        pytest.fail(f"no instance factory for {name}")
    obj = INSTANCE_FACTORIES[name]()
    with pytest.raises(AttributeError):
        obj.undefined_attribute = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)


def test_sub_interpreter_is_refused_after_the_main_one():
    xxsubinterpreters = pytest.importorskip("_xxsubinterpreters")
    interp = xxsubinterpreters.create()
    try:
        with pytest.raises(xxsubinterpreters.RunFailedError) as excinfo:
            xxsubinterpreters.run_string(
                interp, f"import sys; sys.path[:] = {sys.path!r}; import crivane._crivane_rs"
            )
    finally:
        xxsubinterpreters.destroy(interp)
    assert "ImportError" in str(excinfo.value)
    assert "does not support sub-interpreters" in str(excinfo.value)
    # The main interpreter keeps working.
    assert module.PyAtom(0, 0, 0, 1).atomic_number == 1


def test_main_interpreter_is_refused_after_a_sub_interpreter(run_python):
    pytest.importorskip("_xxsubinterpreters")
    # The first interpreter to import owns the module, even a sub-interpreter.
    out = run_python(
        """
        import sys
        import _xxsubinterpreters as xx
        interp = xx.create()
        try:
            xx.run_string(interp, "import sys; sys.path[:] = %r; import crivane._crivane_rs" % sys.path)
            print("sub: imported")
        except xx.RunFailedError as e:
            print("sub:", e)
        try:
            import crivane._crivane_rs
            print("main: imported")
        except ImportError as e:
            print("main: ImportError", e)
        """
    )
    sub, main = out.splitlines()
    assert sub == "sub: imported"
    assert main.startswith("main: ImportError") and "sub-interpreters" in main


def test_import_leaves_numpy_unimported(run_python):
    out = run_python(
        """
        import sys
        import crivane
        import crivane._crivane_rs as m
        a = m.PyAtom(1, 2, 3, 4)
        repr(a), a.position(), a.distance_to(a), a.atomic_number
        print("numpy" in sys.modules, sorted(k for k in sys.modules if k.startswith("crivane")))
        """
    )
    assert out.split(None, 1) == ["False", "['crivane', 'crivane._crivane_rs']\n"]


FILE_CALLS = re.compile(
    r'^\d+\s+(open|openat|openat2|creat|mkdir|mkdirat|unlink|unlinkat|rename|renameat|renameat2|'
    r'truncate|link|linkat|symlink|symlinkat)\((?:AT_FDCWD, )?"([^"]*)"'
)


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
def test_start_up_touches_no_file(subprocess_env, tmp_path):
    # Loading the extension opens the shared object and the libraries it
    # links; the initializer itself must touch no file.
    log = tmp_path / "trace"
    script = """
        import glob, importlib.util, os
        package = importlib.util.find_spec("crivane").submodule_search_locations[0]
        path, = glob.glob(os.path.join(package, "_crivane_rs*.so"))
        spec = importlib.util.spec_from_file_location("crivane._crivane_rs", path)
        print(path)
        os.path.exists("/crivane-start-of-import")
        module = importlib.util.module_from_spec(spec)
        os.path.exists("/crivane-end-of-import")
        assert module.__all__[0] == "PyAtom"
        """
    result = subprocess.run(
        ["strace", "-f", "-qq", "-e", "trace=%file", "-o", str(log), sys.executable, "-c", textwrap.dedent(script)],
        env=subprocess_env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    so_path = result.stdout.strip()
    lines = log.read_text().splitlines()
    start = next(i for i, line in enumerate(lines) if "/crivane-start-of-import" in line)
    end = next(i for i, line in enumerate(lines) if "/crivane-end-of-import" in line)
    touched = [m.group(2) for line in lines[start:end] if (m := FILE_CALLS.match(line))]
    assert so_path in touched
    libraries = re.compile(r"(\.so(\.\d+)*|/ld\.so\.cache)$")
    assert [p for p in touched if p != so_path and not libraries.search(p)] == []


def test_only_the_initializer_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm")
    out = subprocess.run(
        [nm, "-D", "--defined-only", module.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__crivane_rs"]
