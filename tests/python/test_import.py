import subprocess
import sys
import textwrap

import crivane


def test_package_imports_the_extension_module():
    assert crivane._crivane_rs.__name__ == "crivane._crivane_rs" or crivane._crivane_rs.__name__ == "_crivane_rs"


def test_package_presents_the_classes():
    rs = crivane._crivane_rs
    assert crivane.PyAtom is rs.PyAtom
    assert crivane.PyMolecule is rs.PyMolecule
    assert crivane.PyAtomDatabase is rs.PyAtomDatabase
    assert crivane.Database is crivane.PyAtomDatabase
    assert {"PyAtom", "PyMolecule", "PyAtomDatabase", "Database"} <= set(crivane.__all__)


def test_databases_work_without_numpy_until_arrays_are_asked_for(subprocess_env, tmp_path):
    code = f"""
        import sys
        import crivane
        path = {str(tmp_path / "light.db")!r}
        db = crivane.Database(path, compression="zstd")
        db.flush()
        db = crivane.Database.open(path)
        print(len(db), db.get_molecules([]), "numpy" in sys.modules)
        """
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=subprocess_env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "0 [] False\n"
