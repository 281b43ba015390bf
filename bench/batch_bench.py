"""Throughput of add_arrays_batch, the batch ingest of stacked NumPy arrays.

One batch of --n molecules x --atoms atoms with energy, forces, cell, pbc, one
per-molecule float64 property and one per-atom float32 property goes into a
new database with add_arrays_batch, followed by flush; the two are timed
together. The reference writes the same number of bytes (the records the
batch stores) with one write + fsync into a new file in the same folder, in
the same run. MB/s counts those record bytes. Each figure is the best of
--repeat runs, each into a new file.

With a codec, CPU/wall is the process CPU time over the wall time of the
same span: records are compressed on every core, so above 1 means the pool
did the work in parallel.

    PYTHONPATH=python /usr/bin/python3 bench/batch_bench.py [--n 20000] [--atoms 64]
"""

import argparse
import os
import tempfile
import time

import numpy as np

import crivane


def build_batch(n, atoms, seed=0):
    rng = np.random.default_rng(seed)
    box = rng.uniform(8.0, 12.0, size=n)
    cell = np.zeros((n, 3, 3))
    cell[:, 0, 0] = cell[:, 1, 1] = cell[:, 2, 2] = box
    return dict(
        positions=(rng.random((n, atoms, 3)) * box[:, None, None]).astype(np.float32),
        atomic_numbers=rng.choice(np.array([1, 6, 7, 8], np.uint8), size=(n, atoms)),
        energy=rng.normal(-4.0 * atoms, 1.0, size=n),
        forces=rng.normal(size=(n, atoms, 3)).astype(np.float32),
        cell=cell,
        pbc=np.repeat((rng.random(n) < 0.5)[:, None], 3, axis=1),
        properties={"mol_custom": rng.normal(size=n)},
        atom_properties={"atom_custom": rng.normal(0.0, 0.3, size=(n, atoms)).astype(np.float32)},
    )


def record_bytes(n, atoms):
    """Bytes of the records the batch stores: head, positions, numbers, sections."""
    def section(key, payload):
        return 7 + len(key) + payload
    per_record = (6 + atoms * 13 + section("energy", 8) + section("forces", atoms * 12)
                  + section("cell", 72) + section("pbc", 3) + section("mol_custom", 8)
                  + section("atom_custom", atoms * 4))
    return n * per_record


def timed_batch(folder, inputs, compression, level):
    path = os.path.join(folder, f"batch-{time.monotonic_ns()}.crvn")
    db = crivane.Database(path, compression=compression, level=level)
    args = (inputs["positions"], inputs["atomic_numbers"])
    kwargs = {k: v for k, v in inputs.items() if k not in ("positions", "atomic_numbers")}
    cpu0, wall0 = time.process_time(), time.perf_counter()
    db.add_arrays_batch(*args, **kwargs)
    wall_add = time.perf_counter() - wall0
    db.flush()
    wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
    assert len(crivane.Database.open(path)) == len(inputs["positions"])
    size = os.path.getsize(path)
    del db
    os.remove(path)
    return wall, cpu, wall_add, size


def timed_reference(folder, payload):
    path = os.path.join(folder, f"reference-{time.monotonic_ns()}.bin")
    start = time.perf_counter()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        view = memoryview(payload)
        while view:
            view = view[os.write(fd, view):]
        os.fsync(fd)
    finally:
        os.close(fd)
    elapsed = time.perf_counter() - start
    os.remove(path)
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=20000)
    parser.add_argument("--atoms", type=int, default=64)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--dir", default=None, help="folder for the files (default: a temp folder)")
    args = parser.parse_args()

    inputs = build_batch(args.n, args.atoms)
    nbytes = record_bytes(args.n, args.atoms)
    payload = np.random.default_rng(1).integers(0, 256, nbytes, dtype=np.uint8).tobytes()
    mb = nbytes / 1e6
    print(f"{args.n} molecules x {args.atoms} atoms, {mb:.1f} MB of records; "
          f"best of {args.repeat}; {os.cpu_count()} CPUs")

    with tempfile.TemporaryDirectory(dir=args.dir) as folder:
        timed_reference(folder, payload)  # warm-up: page cache, file system
        reference = min(timed_reference(folder, payload) for _ in range(args.repeat))
        print(f"  reference  write + fsync          {reference:7.3f} s  {mb / reference:8.1f} MB/s")
        for compression, level in [("none", 0), ("lz4", 0), ("zstd", 3)]:
            runs = [timed_batch(folder, inputs, compression, level) for _ in range(args.repeat)]
            wall, cpu, wall_add, size = min(runs)
            if compression == "none":
                assert size > nbytes, "the file holds every record"
            line = (f"  crivane-{compression:<5} add_arrays_batch + flush  {wall:7.3f} s  "
                    f"{mb / wall:8.1f} MB/s  ({mb / wall / (mb / reference):.2f}x reference; "
                    f"add {wall_add:.3f} s)")
            if compression != "none":
                line += f"  CPU/wall {cpu / wall:.2f}  file {size / 1e6:.1f} MB"
            print(line)
        # The same reference again, so that drift during the run shows.
        again = min(timed_reference(folder, payload) for _ in range(args.repeat))
        print(f"  reference  write + fsync (again)  {again:7.3f} s  {mb / again:8.1f} MB/s")


if __name__ == "__main__":
    main()
