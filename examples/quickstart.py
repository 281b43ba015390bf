"""A first look at crivane from Python.

Creates a database in a temporary folder, appends a few thousand molecules,
commits them, reads some back through the default memory mapping, then
reopens the file for appending and adds more.

    PYTHONPATH=python /usr/bin/python3 examples/quickstart.py
"""

import os
import tempfile
import time

import numpy as np

import crivane

N_MOLECULES = 5000
N_ATOMS = 24


def make_molecule(i, rng):
    positions = rng.normal(scale=2.0, size=(N_ATOMS, 3)).astype(np.float32)
    numbers = rng.choice(np.array([1, 6, 7, 8], np.uint8), size=N_ATOMS)
    return crivane.PyMolecule(
        positions,
        numbers,
        energy=-10.0 - 0.001 * i,
        forces=rng.normal(size=(N_ATOMS, 3)).astype(np.float32),
        cell=np.eye(3) * 12.0,
        pbc=(True, True, True),
        name=f"structure-{i}",
    )


def check(read, expected):
    np.testing.assert_array_equal(read.positions, expected.positions)
    np.testing.assert_array_equal(read.atomic_numbers, expected.atomic_numbers)
    np.testing.assert_array_equal(read.forces, expected.forces)
    np.testing.assert_array_equal(read.cell, expected.cell)
    assert read.energy == expected.energy and read.pbc == expected.pbc


def main():
    rng = np.random.default_rng(7)
    molecules = [make_molecule(i, rng) for i in range(N_MOLECULES)]

    with tempfile.TemporaryDirectory(prefix="crivane-quickstart-") as folder:
        path = os.path.join(folder, "structures.crvn")

        # Create, append, commit. Nothing reaches a later open before flush().
        start = time.perf_counter()
        db = crivane.Database(path, compression="zstd", level=3)
        db.add_molecule(molecules[0])
        db.add_molecules(molecules[1:])
        db.flush()
        written = time.perf_counter() - start
        del db

        # Reopen read-only with the default memory mapping and read back.
        db = crivane.Database.open(path)
        assert len(db) == N_MOLECULES
        check(db[0], molecules[0])
        picks = rng.choice(N_MOLECULES, size=500, replace=False).tolist()
        start = time.perf_counter()
        for i, mol in zip(picks, db.get_molecules(picks)):
            check(mol, molecules[i])
        read = time.perf_counter() - start
        try:
            db.add_molecule(molecules[0])
            raise AssertionError("a mapped, committed database must refuse appends")
        except ValueError as e:
            assert "read-only" in str(e), e
        del db

        # Appending needs an open without the mapping.
        db = crivane.Database.open(path, mmap=False)
        extra = [make_molecule(N_MOLECULES + i, rng) for i in range(1000)]
        db.add_molecules(extra)
        db.flush()
        del db

        db = crivane.Database.open(path)
        total = len(db)
        assert total == N_MOLECULES + len(extra)
        check(db[total - 1], extra[-1])
        size = os.path.getsize(path)

    print(
        f"crivane quickstart: wrote {N_MOLECULES} molecules of {N_ATOMS} atoms in "
        f"{written * 1000:.1f} ms, read and checked 500 at random in {read * 1000:.1f} ms, "
        f"appended {len(extra)} more: {total} molecules, {size / 1e6:.2f} MB (zstd)"
    )


if __name__ == "__main__":
    main()
