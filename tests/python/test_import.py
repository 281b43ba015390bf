import crivane


def test_package_imports_the_extension_module():
    assert crivane._crivane_rs.__name__ == "crivane._crivane_rs"


def test_package_presents_the_classes():
    rs = crivane._crivane_rs
    assert crivane.PyAtom is rs.PyAtom
    assert crivane.PyMolecule is rs.PyMolecule
    assert crivane.PyAtomDatabase is rs.PyAtomDatabase
    assert crivane.Database is crivane.PyAtomDatabase
    assert {"PyAtom", "PyMolecule", "PyAtomDatabase", "Database"} <= set(crivane.__all__)


def test_databases_work_without_numpy_until_arrays_are_asked_for(run_python, tmp_path):
    code = f"""
        import sys
        import crivane
        path = {str(tmp_path / "light.db")!r}
        db = crivane.Database(path, compression="zstd")
        db.flush()
        db = crivane.Database.open(path)
        print(len(db), db.get_molecules([]), "numpy" in sys.modules)
        """
    assert run_python(code) == "0 [] False\n"
