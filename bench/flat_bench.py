"""Throughput of get_molecules_flat, beside a plain memcpy of the same bytes.

One synthetic dataset (20 000 molecules x 64 atoms by default: positions,
atomic numbers, energy, forces, cell, pbc) is written once per codec (none,
lz4, zstd). For each codec and open mode (mmap=True, mmap=False) the flat
export reads all molecules in order and a batch of random indices, on a
database opened once before timing.

MB/s counts the bytes of the arrays the call returns. The memcpy reference
copies that many bytes in one np.copyto, into a buffer that is already
faulted in (memcpy) and into a fresh one (memcpy+alloc, page faults
included). cpu/wall is the process CPU time (all threads) over wall time: 1.0
means one busy core, the machine's core count means all of them.

    PYTHONPATH=python /usr/bin/python3 bench/flat_bench.py [--n 20000] [--atoms 64]
"""

import argparse
import os
import tempfile

import numpy as np

import crivane
from _common import CODECS, build_dataset, timed


def returned_bytes(result):
    total = 0
    for value in result.values():
        if isinstance(value, dict):
            total += returned_bytes(value)
        elif isinstance(value, np.ndarray):
            total += value.nbytes
    return total


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=20_000, help="molecules in the dataset")
    ap.add_argument("--atoms", type=int, default=64, help="atoms per molecule")
    ap.add_argument("--random", type=int, default=2_000, help="indices of the random batch")
    ap.add_argument("--repeat", type=int, default=10, help="runs per figure; the best is shown")
    ap.add_argument("--zstd-level", type=int, default=3)
    ap.add_argument("--dir", default=None, help="folder for the files (default: a new temporary one)")
    args = ap.parse_args()

    molecules = build_dataset(args.n, args.atoms, seed=1, random_cells=True)
    rng = np.random.default_rng(2)
    selections = {
        "all": list(range(args.n)),
        "random": rng.integers(0, args.n, size=args.random).tolist(),
    }
    rows = []
    memcpy = {}

    with tempfile.TemporaryDirectory(prefix="crivane-flat-bench-", dir=args.dir) as folder:
        for codec in CODECS:
            path = os.path.join(folder, f"flat-{codec}.crvn")
            db = crivane.Database(path, compression=codec, level=args.zstd_level)
            db.add_molecules(molecules)
            db.flush()
            del db
            for mmap in (True, False):
                db = crivane.Database.open(path, mmap=mmap)
                for name, indices in selections.items():
                    nbytes = returned_bytes(db.get_molecules_flat(indices))
                    wall, cpu = timed(args.repeat, lambda: db.get_molecules_flat(indices))
                    rows.append((f"flat {name}", codec, mmap, wall, len(indices), nbytes, cpu))
                    memcpy.setdefault(name, nbytes)
                del db

    for name, nbytes in memcpy.items():
        src = np.ones(nbytes, np.uint8)
        dst = np.ones(nbytes, np.uint8)
        wall, cpu = timed(args.repeat, lambda: np.copyto(dst, src))
        rows.append((f"memcpy {name}", "-", "-", wall, 0, nbytes, cpu))
        wall, cpu = timed(args.repeat, lambda: np.copyto(np.empty_like(src), src))
        rows.append((f"memcpy+alloc {name}", "-", "-", wall, 0, nbytes, cpu))

    reference = {name: nbytes / wall for (op, _, _, wall, _, nbytes, _) in rows
                 for name in memcpy if op == f"memcpy {name}"}
    print(f"dataset: {args.n} molecules x {args.atoms} atoms (energy, forces, cell, pbc); "
          f"random batch of {args.random}; best of {args.repeat}; {os.cpu_count()} CPUs")
    print(f"{'operation':<20} {'codec':<5} {'mmap':<5} {'seconds':>9} {'MB/s':>9} "
          f"{'x memcpy':>9} {'cpu/wall':>9}")
    for op, codec, mmap, wall, _, nbytes, cpu in rows:
        name = op.split()[-1]
        rate = nbytes / wall
        print(f"{op:<20} {codec:<5} {str(mmap):<5} {wall:9.4f} {rate / 1e6:9.1f} "
              f"{rate / reference[name]:9.2f} {cpu / wall:9.2f}")


if __name__ == "__main__":
    main()
