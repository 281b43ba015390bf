"""Per-call times of custom properties, pickling and the ASE payload.

Each line is the best of several timed loops, in microseconds per call. Views
come from an uncompressed database opened with a memory mapping; the view
with a large neighbour holds one 8 MB property beside the small one it reads,
which shows that a read decodes only the section it returns. len(mol) is the
cost of a bare method call, for reference.

    PYTHONPATH=python /usr/bin/python3 bench/properties_bench.py [--atoms 64] [--loops 20000]
"""

import argparse
import copy
import pickle
import tempfile
import timeit
from pathlib import Path

import numpy as np

import crivane


def build(atoms, extra=None):
    rng = np.random.default_rng(7)
    mol = crivane.PyMolecule(
        rng.normal(size=(atoms, 3)).astype(np.float32),
        rng.integers(1, 90, atoms).astype(np.uint8),
        energy=-10.0,
        forces=rng.normal(size=(atoms, 3)).astype(np.float32),
        cell=np.eye(3) * 12.0,
        pbc=(True, True, True),
    )
    for i in range(16):
        mol.set_property(f"label{i:02d}", f"value {i}")
    mol.set_property("small", np.arange(8, dtype=np.float64))
    mol.set_property("scalar", 1.5)
    mol.set_property("charges_q", rng.normal(size=atoms), scope="atom")
    if extra is not None:
        mol.set_property("big", extra)
    return mol


def view_of(mol, folder, name):
    path = Path(folder) / name
    db = crivane.Database(str(path))
    db.add_molecule(mol)
    db.flush()
    return crivane.Database.open(str(path))[0]


def per_call_us(stmt, loops, repeat=5):
    best = min(timeit.repeat(stmt, number=loops, repeat=repeat))
    return best / loops * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--atoms", type=int, default=64)
    parser.add_argument("--loops", type=int, default=20000)
    args = parser.parse_args()
    loops = args.loops

    owned = build(args.atoms)
    small = np.arange(8, dtype=np.float64)
    with tempfile.TemporaryDirectory() as folder:
        view = view_of(owned, folder, "plain.db")
        neighbour = view_of(build(args.atoms, np.zeros(1 << 20)), folder, "big.db")
        payload = pickle.dumps(owned)
        cases = [
            ("len(mol), reference", lambda: len(owned)),
            ("set_property, 8 float64", lambda: owned.set_property("small", small)),
            ("set_property, float", lambda: owned.set_property("scalar", 2.5)),
            ("get_property, owned, 8 float64", lambda: owned.get_property("small")),
            ("get_property, view, 8 float64", lambda: view.get_property("small")),
            ("get_property, view, float", lambda: view.get_property("scalar")),
            ("get_property, view, str", lambda: view.get_property("label07")),
            ("get_property, view with 8 MB neighbour", lambda: neighbour.get_property("small")),
            ("mol[key], view", lambda: view["small"]),
            ("mol[i], view", lambda: view[3]),
            ("has_property, view", lambda: view.has_property("scalar")),
            ("property_keys, view (19 keys)", lambda: view.property_keys()),
            ("pickle.dumps, owned", lambda: pickle.dumps(owned)),
            ("pickle.dumps, view", lambda: pickle.dumps(view)),
            ("pickle.loads", lambda: pickle.loads(payload)),
            ("copy.deepcopy, owned", lambda: copy.deepcopy(owned)),
            ("_ase_payload, owned", lambda: owned._ase_payload()),
            ("_ase_payload, view", lambda: view._ase_payload()),
        ]
        print(f"{args.atoms} atoms, {len(owned.property_keys())} custom properties, "
              f"pickle payload {len(owned.__reduce__()[1][0])} bytes")
        for name, fn in cases:
            print(f"  {name:42s} {per_call_us(fn, loops):8.2f} us")


if __name__ == "__main__":
    main()
