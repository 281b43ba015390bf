"""Molecules with every builtin field, the databases tests write them into,
and the file as the engine leaves it: header slots, the index, record bytes."""

import struct
import threading
import zlib

import numpy as np

from crivane import Database, PyMolecule

CODECS = ["none", "lz4", "zstd"]


def make_molecule(i, n=4, dtype=np.float32, **overrides):
    """Molecule i with every builtin field; values differ from one i to the next."""
    rng = np.random.default_rng(i)
    fields = dict(
        energy=-1.25 - i,
        forces=rng.normal(size=(n, 3)).astype(np.float32),
        charges=rng.normal(size=n),
        velocities=rng.normal(size=(n, 3)).astype(np.float32),
        cell=rng.normal(size=(3, 3)),
        stress=rng.normal(size=(3, 3)),
        pbc=(True, i % 2 == 0, False),
        name=f"molecule {i}",
    )
    fields.update(overrides)
    return PyMolecule(
        rng.normal(size=(n, 3)).astype(dtype), rng.integers(1, 119, n).astype(np.uint8), **fields
    )


def new_db(path, molecules=(), flush=True, **kwargs):
    db = Database(str(path), **kwargs)
    if molecules:
        db.add_molecules(list(molecules))
    if flush:
        db.flush()
    return db


def read_in_threads(n, read, threads=4, repeats=3):
    """Calls read(order) `repeats` times in each of `threads` threads at once,
    thread k's order being indices 0..n-1 rotated by k; (order, last result)
    of each thread."""
    results = {}

    def run(k):
        order = list(range(k, n)) + list(range(k))
        results[k] = (order, [read(order) for _ in range(repeats)][-1])

    running = [threading.Thread(target=run, args=(k,)) for k in range(threads)]
    for t in running:
        t.start()
    for t in running:
        t.join()
    return list(results.values())


def read_slot(path, slot):
    with open(path, "rb") as f:
        f.seek(4096 * slot)
        return f.read(4096)


def write_slot(path, slot, raw):
    raw = bytearray(raw)
    struct.pack_into("<I", raw, 4092, zlib.adler32(bytes(raw[:4092])))
    with open(path, "r+b") as f:
        f.seek(4096 * slot)
        f.write(raw)


def header_fields(path, slot=0):
    raw = read_slot(path, slot)
    generation, _, index_offset, index_len, count = struct.unpack_from("<QQQQQ", raw, 8)
    codec, level, record_format = raw[48], *struct.unpack_from("<iI", raw, 52)
    return dict(generation=generation, index_offset=index_offset, index_len=index_len,
                count=count, codec=codec, level=level, record_format=record_format)


def index_entries(path):
    """(offset, stored length, record length, atoms) of each committed record."""
    best = max((header_fields(path, s) for s in (0, 1)), key=lambda h: h["generation"])
    with open(path, "rb") as f:
        f.seek(best["index_offset"])
        blob = f.read(best["index_len"])
    (count,) = struct.unpack_from("<Q", blob)
    return [struct.unpack_from("<QIII", blob, 8 + 20 * i) for i in range(count)], best


def schema_entries(path):
    """{(kind, key): (file offset, type tag, per_atom, elem_bytes, slot_bytes)} of the
    committed schema blob; the sizes are the u32 at offset + 5 and offset + 9."""
    best = max((0, 1), key=lambda s: header_fields(path, s)["generation"])
    schema_offset, schema_len = struct.unpack_from("<QQ", read_slot(path, best), 60)
    with open(path, "rb") as f:
        f.seek(schema_offset)
        blob = f.read(schema_len)
    (count,) = struct.unpack_from("<I", blob, 5)
    entries, at = {}, 9
    for _ in range(count):
        kind, tag, per_atom, key_len, elem, slot_bytes = struct.unpack_from("<BBBHII", blob, at)
        key = blob[at + 13 : at + 13 + key_len].decode()
        entries[(kind, key)] = (schema_offset + at, tag, per_atom, elem, slot_bytes)
        at += 13 + key_len
    return entries


def overwrite(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def stored_records(path):
    data = open(path, "rb").read()
    entries, _ = index_entries(path)
    return [data[offset : offset + length] for offset, length, _, _ in entries]
