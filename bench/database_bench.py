"""Throughput of the Python database class on one synthetic dataset.

For each codec (none, lz4, zstd): add_molecules of prebuilt PyMolecule
objects into a new file, then flush. For each codec and open mode (mmap=True,
mmap=False): get_molecule in a loop over random indices, get_molecules of the
same random indices, and a sequential get_molecules of the whole file; every
read touches positions, forces and energy of each molecule it returns.

MB/s counts record bytes (the uncompressed records, whatever the codec; for
flush, the records it makes durable). The reference lines write the same
bytes with one write + fsync into a new file and read them back with one read
(from the page cache, as the database reads are).

    PYTHONPATH=python /usr/bin/python3 bench/database_bench.py [--n 20000] [--atoms 64]
"""

import argparse
import os
import random
import tempfile
import time

import crivane
from _common import CODECS, build_dataset, timed


def touch(molecules):
    for m in molecules:
        m.positions
        m.forces
        m.energy


def drop_file(path):
    if os.path.exists(path):
        os.unlink(path)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=20_000, help="molecules in the dataset")
    ap.add_argument("--atoms", type=int, default=64, help="atoms per molecule")
    ap.add_argument("--random", type=int, default=2_000, help="indices of the random reads")
    ap.add_argument("--repeat", type=int, default=3, help="runs per figure; the best is shown")
    ap.add_argument("--zstd-level", type=int, default=3)
    ap.add_argument("--dir", default=None, help="folder for the files (default: a new temporary one)")
    args = ap.parse_args()

    molecules = build_dataset(args.n, args.atoms, seed=1)
    rnd = random.Random(2)
    random_indices = [rnd.randrange(args.n) for _ in range(args.random)]
    all_indices = list(range(args.n))
    rows = []

    def row(op, codec, mmap, seconds, count, nbytes):
        rows.append((op, codec, mmap, seconds, count / seconds, nbytes / seconds / 1e6))

    with tempfile.TemporaryDirectory(prefix="crivane-bench-", dir=args.dir) as folder:
        sizes = {}
        record_bytes = None
        for codec in CODECS:
            path = os.path.join(folder, f"bench-{codec}.crvn")

            def write():
                drop_file(path)
                db = crivane.Database(path, compression=codec, level=args.zstd_level)
                start = time.perf_counter()
                db.add_molecules(molecules)
                added = time.perf_counter() - start
                start = time.perf_counter()
                db.flush()
                return added, time.perf_counter() - start

            timings = [write() for _ in range(args.repeat)]
            sizes[codec] = os.path.getsize(path)
            if codec == "none":
                # Records plus one schema and one index blob: close enough to
                # the record bytes for throughput figures.
                record_bytes = sizes[codec] - 8192
            per_molecule = record_bytes / args.n
            row("add_molecules", codec, "-", min(t[0] for t in timings), args.n, record_bytes)
            row("flush", codec, "-", min(t[1] for t in timings), args.n, record_bytes)

            for mmap in (True, False):
                db = crivane.Database.open(path, mmap=mmap)

                def loop():
                    touch(db.get_molecule(i) for i in random_indices)

                row("get_molecule loop", codec, mmap, timed(args.repeat, loop)[0],
                    len(random_indices), len(random_indices) * per_molecule)
                row("get_molecules random", codec, mmap,
                    timed(args.repeat, lambda: touch(db.get_molecules(random_indices)))[0],
                    len(random_indices), len(random_indices) * per_molecule)
                row("get_molecules all", codec, mmap,
                    timed(args.repeat, lambda: touch(db.get_molecules(all_indices)))[0],
                    args.n, record_bytes)
                del db

        # The physical reference: the uncompressed file's bytes, one write +
        # fsync into a new file, then one read back.
        with open(os.path.join(folder, "bench-none.crvn"), "rb") as f:
            f.seek(8192)
            payload = f.read()
        ref_path = os.path.join(folder, "reference.bin")

        def ref_write():
            drop_file(ref_path)
            fd = os.open(ref_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
            try:
                os.write(fd, payload)
                os.fsync(fd)
            finally:
                os.close(fd)

        def ref_read():
            fd = os.open(ref_path, os.O_RDONLY)
            try:
                os.read(fd, len(payload))
            finally:
                os.close(fd)

        row("reference write+fsync", "raw", "-", timed(args.repeat, ref_write)[0], args.n, len(payload))
        row("reference read", "raw", "-", timed(args.repeat, ref_read)[0], args.n, len(payload))

    print(f"dataset: {args.n} molecules x {args.atoms} atoms (energy, forces, cell, pbc); "
          f"{record_bytes / args.n:.0f} record bytes per molecule; random reads of "
          f"{args.random} indices; best of {args.repeat}; {os.cpu_count()} CPUs")
    print("file sizes: " + ", ".join(f"{c} {sizes[c] / 1e6:.1f} MB" for c in CODECS))
    print(f"{'operation':<22} {'codec':<5} {'mmap':<5} {'seconds':>9} {'molecules/s':>12} {'MB/s':>9}")
    for op, codec, mmap, seconds, rate, mbps in rows:
        print(f"{op:<22} {codec:<5} {str(mmap):<5} {seconds:9.4f} {rate:12,.0f} {mbps:9.1f}")


if __name__ == "__main__":
    main()
