"""What the database and flat export benchmarks share: the codecs, the
synthetic dataset and the timing loop."""

import time

import numpy as np

import crivane

CODECS = ["none", "lz4", "zstd"]


def build_dataset(n, atoms, seed, random_cells=False):
    """n molecules of `atoms` atoms with energy, forces, cell and pbc; every
    cell is the same 15 A cube, or a random one per molecule."""
    rng = np.random.default_rng(seed)
    positions = rng.normal(scale=3.0, size=(n, atoms, 3)).astype(np.float32)
    forces = rng.normal(size=(n, atoms, 3)).astype(np.float32)
    numbers = rng.integers(1, 90, size=(n, atoms)).astype(np.uint8)
    energies = rng.normal(-100.0, 5.0, size=n)
    cells = rng.uniform(8.0, 12.0, size=(n, 3, 3)) if random_cells else [np.eye(3) * 15.0] * n
    return [
        crivane.PyMolecule(positions[i], numbers[i], energy=float(energies[i]), forces=forces[i],
                           cell=cells[i], pbc=(True, True, False))
        for i in range(n)
    ]


def timed(repeat, fn):
    """Best wall time of `repeat` runs, with that run's CPU time."""
    best = None
    for _ in range(repeat):
        cpu = time.process_time()
        start = time.perf_counter()
        fn()
        wall = time.perf_counter() - start
        cpu = time.process_time() - cpu
        if best is None or wall < best[0]:
            best = (wall, cpu)
    return best
