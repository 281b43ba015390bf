#!/usr/bin/python3
"""Writes the seed corpus of every fuzz target: a few valid inputs of its format
and near-misses (cut short, a bad tag or version, counts that overflow).

Run from anywhere after a build (`scripts/build`): the database_file seeds are
written through the module in python/. Files land in fuzz/corpus/<target>/
next to this script; the same bytes come out on every run. Files this script
does not write (found_*: inputs kept from fuzzing runs) are left alone.

A new fuzz target <name>_fuzz.cpp gets one function returning {file name:
bytes} and one line in SEEDS at the end of this file.
"""
import pathlib
import struct
import sys
import tempfile
import zlib

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE / "corpus"


# Schema blobs, record sections and records (little-endian, packed).
def blob(positions, entries, count=None, version=1):
    out = struct.pack("<IBI", version, positions, len(entries) if count is None else count)
    for kind, tag, per_atom, key, elem, slot in entries:
        k = key.encode()
        out += struct.pack("<BBBHII", kind, tag, per_atom, len(k), elem, slot) + k
    return out


def section(kind, key, tag, payload, length=None):
    k = key if isinstance(key, bytes) else key.encode()
    size = len(payload) if length is None else length
    return struct.pack("<BB", kind, len(k)) + k + struct.pack("<BI", tag, size) + payload


def record(positions, numbers, sections, row="f", count=None):
    out = struct.pack("<I", len(numbers))
    for p in positions:
        out += struct.pack("<3" + row, *p)
    out += bytes(numbers) + struct.pack("<H", len(sections) if count is None else count)
    return out + b"".join(sections)


def tensor(fmt, shape, values):
    return struct.pack("<B%dI" % len(shape), len(shape), *shape) + struct.pack("<%d%s" % (len(values), fmt), *values)


def floats(fmt, values):
    return struct.pack("<%d%s" % (len(values), fmt), *values)


forces = [(0.1, 0.2, 0.3), (0.4, 0.5, 0.6)]
two_atoms = [(0, 0, 0), (1, 1, 1)]
builtins = [
    section(0, "charges", 3, struct.pack("<2d", 0.5, -0.5)),
    section(0, "cell", 10, struct.pack("<9d", *range(9))),
    section(0, "energy", 0, struct.pack("<d", -1.5)),
    section(0, "forces", 4, b"".join(struct.pack("<3f", *f) for f in forces)),
    section(0, "name", 2, b"water"),
    section(0, "pbc", 9, b"\x01\x00\x01"),
]
customs = [
    section(1, "grid", 14, tensor("f", [2, 3], [0.0] * 6)),
    section(1, "tags", 8, struct.pack("<2i", 1, 2)),
    section(2, "label", 2, "\u00e9t\u00e9".encode()),
    section(2, "scalar", 15, tensor("d", [], [2.5])),
    section(2, "none", 13, b""),
]
full = record(two_atoms, [8, 1], builtins + customs)
# A record that claims 2^32 - 1 atoms and holds none.
huge_atoms = struct.pack("<I", 0xFFFFFFFF) + b"\x00" * 8


def schema_blob_seeds():
    return {
        "empty_f64": blob(7, []),
        "empty_unknown": blob(255, []),
        "entries": blob(4, [(0, 4, 1, "forces", 12, 12), (1, 13, 1, "", 0, 0),
                            (2, 3, 0, "\u00e9t\u00e9", 8, 24)]),
        "repeated_key": blob(255, [(2, 1, 0, "k", 8, 8), (2, 0, 0, "k", 8, 8)]),
        "per_atom_2": blob(4, [(1, 6, 2, "q", 4, 4)]),
        "truncated_key": blob(4, [(2, 2, 0, "label", 0, 0)])[:-2],
        "trailing": blob(7, []) + b"\x00",
        "huge_count": blob(4, [(2, 0, 0, "e", 8, 8)], count=0xFFFFFFFF),
        "bad_version": blob(4, [(2, 0, 0, "e", 8, 8)], version=2),
        "bad_positions_tag": blob(9, []),
    }


# Selector byte of record_schema_fuzz: bits 0-1 format (2, 3, 3, 4), bits 2-3
# positions (unknown, 4, 7, raw).
F2 = 0b0000
F3_POS4 = 0b0101
F3_POS7 = 0b1001
F4_POS4 = 0b0111


def record_schema_seeds():
    return {
        "empty_f2": bytes([F2]) + record([], [], []),
        "energy_f2": bytes([F2]) + record([(1, 2, 3)], [8], [section(0, "energy", 0, struct.pack("<d", 1.5))]),
        "full_f3": bytes([F3_POS4]) + full,
        "f64_positions": bytes([F3_POS7]) + record(
            two_atoms, [1, 6], [section(0, "forces", 7, b"".join(struct.pack("<3d", *f) for f in forces)),
                                section(1, "t", 17, tensor("q", [2], [5, 6]))], row="d"),
        "f64_forces_f2": bytes([F2]) + record([], [], [section(0, "forces", 7, b"")]),
        "section_cut": bytes([F2]) + full[:len(full) - len(customs[-1]) + 4],
        "tensor_cut": bytes([F3_POS4]) + record([(0, 0, 0)], [1], [section(2, "t", 14, b"\x02\x01\x00\x00\x00")]),
        "huge_atoms": bytes([F3_POS7]) + huge_atoms,
        "huge_section_count": bytes([F2]) + record([], [], builtins[:1], count=0xFFFF),
        "energy_bad_tag": bytes([F3_POS4]) + record([], [], [section(0, "energy", 2, b"1.5")]),
        "format_4": bytes([F4_POS4]) + record([(0, 0, 0)], [1], []),
    }


def batch_input(flags, positions, numbers, builtins=(), custom=(), pbc=None, custom_count=None):
    """Input of batch_record_fuzz: builtins as (bit, tag, payload), custom as
    (kind, tag, key, payload)."""
    def sized(b):
        return struct.pack("<H", len(b)) + b
    mask = sum(1 << bit for bit, _, _ in builtins) | (0x80 if pbc is not None else 0)
    out = bytes([flags]) + sized(positions) + sized(numbers) + bytes([mask])
    for _, tag, payload in sorted(builtins):
        out += bytes([tag]) + sized(payload)
    if pbc is not None:
        out += pbc
    out += bytes([len(custom) if custom_count is None else custom_count])
    for kind, tag, key, payload in custom:
        out += bytes([kind, tag]) + sized(key.encode()) + sized(payload)
    return out


def batch_record_seeds():
    full_f64 = batch_input(
        1, struct.pack("<6d", *range(6)), b"\x01\x06",
        [(0, 0, struct.pack("<d", -1.0)), (1, 7, struct.pack("<6d", *range(6))),
         (2, 3, struct.pack("<2d", 0.5, 0.5)), (4, 10, struct.pack("<9d", *range(9))),
         (6, 2, "water".encode())],
        [(2, 2, "b", b"x"), (2, 2, "a", b"yy"), (1, 6, "q", struct.pack("<2f", 1, 2))],
        pbc=b"\x01\x00\x01")
    return {
        "minimal": batch_input(0, b"", b""),
        "energy": batch_input(0, struct.pack("<3f", 1, 2, 3), b"\x08", [(0, 0, struct.pack("<d", 1.5))]),
        "full_f64": full_f64,
        "long_key": batch_input(0, b"", b"", custom=[(2, 13, "k" * 256, b"")]),
        "bad_tag": batch_input(2, struct.pack("<3f", 0, 0, 0), b"\x01"),
        "ragged_positions": batch_input(0, b"\x00" * 13, b"\x01"),
        "full_f64_cut": full_f64[:-5],
        "custom_count_past_end": batch_input(0, b"", b"", custom=[(2, 13, "n", b"")], custom_count=255),
        "positions_length_past_end": b"\x00" + struct.pack("<H", 0xFFFF) + struct.pack("<3f", 1, 2, 3),
    }


# Selector byte of flat_parse_fuzz: 0 for 12-byte positions rows, 1 for 24.
def flat_parse_seeds():
    return {
        "full_f32": bytes([0]) + full,
        "f64_rows": bytes([1]) + record(
            two_atoms, [1, 6], [section(0, "velocities", 7, b"".join(struct.pack("<3d", *f) for f in forces)),
                                section(1, "t", 17, tensor("q", [2], [5, 6])),
                                section(2, "arr", 3, struct.pack("<3d", 1, 2, 3))], row="d"),
        "per_atom_string": bytes([0]) + record([(0, 0, 0)], [1], [section(1, "s", 2, b"x")]),
        "atom_tensor_rank0": bytes([0]) + record([(0, 0, 0)], [1], [section(1, "t", 14, tensor("f", [], [1.0]))]),
        "unknown_tag": bytes([0]) + record([], [], [section(2, "u", 18, b"abc"), section(1, "v", 200, b"")]),
        "null_payload": bytes([0]) + record([], [], [section(2, "n", 13, b"\x00")]),
        "bad_key": bytes([0]) + record([], [], [b"\x02\x01\xff" + struct.pack("<BI", 0, 0)]),
        "cut_in_payload": bytes([0]) + full[:-3],
        "trailing": bytes([0]) + record([], [], []) + b"\x01\x02\x03",
        "huge_atoms": bytes([1]) + huge_atoms,
        "huge_section_count": bytes([0]) + record([], [], builtins[:1], count=0xFFFF),
        "huge_payload_length": bytes([0]) + record([(0, 0, 0)], [1], [section(1, "q", 3, b"\x00" * 8, 0xFFFFFFFF)]),
    }


# Pickle payloads: the molecule's fields in declaration order.
def ptext(s):
    b = s.encode() if isinstance(s, str) else s
    return struct.pack("<Q", len(b)) + b


def pvec3(variant, rows):
    fmt = "<3f" if variant == 0 else "<3d"
    return struct.pack("<IQ", variant, len(rows)) + b"".join(struct.pack(fmt, *r) for r in rows)


def pmap(entries):
    return struct.pack("<Q", len(entries)) + b"".join(ptext(k) + v for k, v in entries)


def pvalue(variant, content=b""):
    return struct.pack("<I", variant) + content


def ptensor(variant, shape, fmt, values):
    return pvalue(10, struct.pack("<IQ", variant, len(shape)) + struct.pack("<%dQ" % len(shape), *shape)
                  + struct.pack("<Q", len(values)) + struct.pack("<%d%s" % (len(values), fmt), *values))


def payload(name=None, positions=pvec3(0, []), numbers=(), optionals=b"\x00" * 7, atom=(), mol=()):
    head = b"\x00" if name is None else b"\x01" + ptext(name)
    return head + positions + ptext(bytes(numbers)) + optionals + pmap(atom) + pmap(mol)


def pickle_payload_seeds():
    every_value = [
        ("none", pvalue(0)), ("float", pvalue(1, struct.pack("<d", 0.5))), ("int", pvalue(2, struct.pack("<q", -7))),
        ("str", pvalue(3, ptext("\u00e9t\u00e9"))), ("f64", pvalue(4, struct.pack("<Qd", 1, 1.5))),
        ("v3", pvalue(5, struct.pack("<Q3f", 1, 1, 2, 3))), ("i64", pvalue(6, struct.pack("<Qq", 1, 9))),
        ("f32", pvalue(7, struct.pack("<Qf", 1, 2.5))), ("v64", pvalue(8, struct.pack("<Q3d", 1, 4, 5, 6))),
        ("i32", pvalue(9, struct.pack("<Qi", 1, -3))), ("tf32", ptensor(0, [2, 1], "f", [1, 2])),
        ("tf64", ptensor(1, [], "d", [3.5])), ("ti32", ptensor(2, [0, 3], "i", [])), ("ti64", ptensor(3, [1], "q", [4])),
    ]
    full_optionals = (
        b"\x01" + pvec3(0, [(1, 2, 3), (4, 5, 6)])                     # forces
        + b"\x01" + struct.pack("<If", 0, -2.5)                        # energy (f32)
        + b"\x01" + struct.pack("<IQ2d", 1, 2, 0.5, -0.5)              # charges (f64)
        + b"\x01" + pvec3(1, [(0, 0, 1), (0, 1, 0)])                   # velocities
        + b"\x01" + struct.pack("<I9d", 1, *range(9))                  # cell
        + b"\x01\x01\x00\x01"                                          # pbc
        + b"\x01" + struct.pack("<I9f", 0, *range(9))                  # stress
    )
    full_payload = payload("water", pvec3(1, [(0, 0, 0), (1, 1, 1)]), (8, 1), full_optionals,
                           [("q", pvalue(4, struct.pack("<Q2d", 2, 1, 2)))], every_value)
    return {
        "worked_example": payload(None, pvec3(0, [(1, 2, 3)]), (6,), b"\x00\x01" + struct.pack("<Id", 1, -1.5) + b"\x00" * 5),
        "empty": payload(),
        "tag_map": payload(mol=[("tag", pvalue(2, struct.pack("<q", 7)))]),
        "full": full_payload,
        "full_cut": full_payload[: len(full_payload) * 2 // 3],
        "trailing": payload() + b"\xff\x02",
        "bad_tag": b"\x02" + payload()[1:],
        "bad_variant": b"\x00" + struct.pack("<I", 7) + payload()[5:],
        "bad_utf8": payload("\u00e9t\u00e9".encode()[:-1]),
        "huge_count": b"\x00" + struct.pack("<IQ", 0, 1 << 60),
        "short_numbers": payload(None, pvec3(0, [(0, 0, 0), (1, 1, 1)]), (6,)),
        "both_maps": payload(atom=[("k", pvalue(4, struct.pack("<Q", 0)))], mol=[("k", pvalue(0))]),
        "repeated_key": payload(mol=[("k", pvalue(2, struct.pack("<q", 1))), ("k", pvalue(1, struct.pack("<d", 2)))]),
        "tensor_mismatch": payload(mol=[("t", ptensor(1, [5], "d", [1, 2]))]),
    }


# Selector byte of soa_view_fuzz: the (row size, positions tag) pair, 0 (12, 4),
# 1 (24, 7), 2 (12, 7), 3 (24, 4), 4 (12, unknown), 5 (24, 9).
def soa_view_seeds():
    f64 = struct.pack("<d", 1.0)
    return {
        "minimal": bytes([0]) + record([], [], []),
        "one_atom_energy": bytes([0]) + record([(1, 2, 3)], [8], [section(0, "energy", 0, struct.pack("<d", 1.5))]),
        "f32_variants": bytes([0]) + record([(1, 1, 1)], [6], [
            section(0, "charges", 6, struct.pack("<f", 0.5)),
            section(0, "energy", 11, struct.pack("<f", -2.0)),
            section(0, "stress", 12, floats("f", range(9))),
            section(0, "velocities", 4, floats("f", [1, 2, 3])),
            section(1, "i", 5, struct.pack("<q", 7)),
            section(1, "j", 8, struct.pack("<i", 7)),
            section(2, "none", 13, b""),
            section(2, "v", 4, floats("f", [1, 2, 3])),
            section(2, "w", 7, floats("d", [1, 2, 3])),
            section(2, "k", 1, struct.pack("<q", -1)),
            section(2, "f", 0, struct.pack("<d", 2.5)),
            section(2, "t", 16, tensor("i", [2], [1, 2])),
        ]),
        "f64_full": bytes([1]) + record([(0.1, 0.2, 0.3), (1, 2, 3)], [1, 8], [
            section(0, "cell", 10, floats("d", range(9))),
            section(0, "forces", 7, floats("d", range(6))),
            section(0, "name", 2, b"water"),
            section(0, "pbc", 9, b"\x01\x00\x01"),
            section(1, "mass", 3, floats("d", [1, 16])),
            section(2, "label", 2, b"run"),
            section(2, "t", 15, tensor("d", [2, 1], [1, 2])),
        ], row="d"),
        "mismatched_stride": bytes([2]) + record([(1, 2, 3), (4, 5, 6)], [1, 2], [
            section(0, "forces", 4, floats("f", range(6)))]),
        "truncated_payload": bytes([1]) + record([(1, 2, 3)], [1], [
            section(0, "forces", 7, floats("d", [1, 2, 3]))], row="d")[:-5],
        "bad_utf8_key": bytes([0]) + record([], [], [section(2, b"\xff\xfe", 13, b""), section(2, "a", 13, b"")]),
        "duplicates_trailing": bytes([0]) + record([(0, 0, 0)], [1], [
            section(0, "energy", 0, f64),
            section(0, "Energy", 0, struct.pack("<d", 2)),
            section(0, "energy", 0, struct.pack("<d", 3)),
            section(2, "energy", 0, struct.pack("<d", 4)),
            section(2, "k", 1, struct.pack("<q", 1)),
            section(1, "k", 0, f64),
        ]) + b"\xde\xad",
        "huge_atoms": bytes([1]) + huge_atoms,
        "huge_section_count": bytes([0]) + record([], [], [section(0, "energy", 0, f64)], count=0xFFFF),
        "huge_payload_length": bytes([0]) + record([(0, 0, 0)], [1], [section(0, "energy", 0, f64, 0xFFFFFFFF)]),
        "energy_bad_tag": bytes([0]) + record([], [], [section(0, "energy", 2, b"1.5")]),
        "forces_short": bytes([0]) + record([(0, 0, 0), (1, 1, 1)], [1, 1], [
            section(0, "forces", 4, floats("f", [1, 2, 3]))]),
        "unknown_kind": bytes([0]) + record([], [], [section(5, "x", 0, f64), section(2, "y", 0, f64)]),
    }


# First byte of tensor_payload_fuzz: its low two bits pick tag 14 + bits
# (f32, f64, i32, i64); the rest is the payload.
def tensor_payload_seeds():
    return {
        "f32_2x3": bytes([0]) + tensor("f", [2, 3], range(6)),
        "f64_scalar": bytes([1]) + tensor("d", [], [2.5]),
        "i32_empty_dim": bytes([2]) + tensor("i", [3, 0], []),
        "i64_vector": bytes([3]) + tensor("q", [2], [1, -1]),
        "count_mismatch": bytes([0]) + tensor("f", [2, 3], [0] * 5),
        "overflow": bytes([3]) + tensor("q", [0xFFFFFFFF] * 3 + [0], []),
        "truncated_shape": bytes([0]) + tensor("f", [1, 0], [])[:3],
    }


# Index blobs: a u64 count, then (offset u64, compressed u32, uncompressed u32,
# n_atoms u32) per entry.
def index(entries, count=None):
    out = struct.pack("<Q", len(entries) if count is None else count)
    return out + b"".join(struct.pack("<QIII", *e) for e in entries)


def index_blob_seeds():
    sixteen = [(0, 0, 0, 0)] * 16
    sixteen[3] = (0, 1 << 30, 0, 0)
    sixteen[6] = (0, 0, 1 << 27, 0)
    return {
        "empty": index([]),
        "one": index([(8192, 100, 240, 10)]),
        "three": index([(8192, 100, 240, 10), (8292, 5, 5, 0), (2**64 - 1, 2**32 - 1, 0, 7)]),
        "sixteen_entries": index(sixteen),
        "count_mismatch": index([(8192, 1, 1, 1), (8193, 1, 1, 1)], count=3),
        "count_overflow": index([], count=1 << 63),
        "short": index([], count=1)[:5],
    }


# Header slots: 4096 bytes, fields at fixed offsets, Adler-32 over the first
# 4092 bytes in the last four.
def slot(generation=0, index=(0, 0), count=0, codec=0, level=0, record_format=2, schema=(0, 0),
         data_start=8192, flip=None):
    out = bytearray(4096)
    out[0:8] = b"CRVN" + struct.pack("<I", 2)
    struct.pack_into("<QQQQQ", out, 8, generation, data_start, index[0], index[1], count)
    out[48] = codec
    struct.pack_into("<iIQQ", out, 52, level, record_format, *schema)
    struct.pack_into("<I", out, 4092, zlib.adler32(bytes(out[:4092])))
    if flip is not None:
        out[flip] ^= 1
    return bytes(out)


def read_slot(data):
    generation, data_start, index_offset, index_len, count = struct.unpack_from("<QQQQQ", data, 8)
    level, record_format, schema_offset, schema_len = struct.unpack_from("<iIQQ", data, 52)
    return dict(generation=generation, data_start=data_start, index=(index_offset, index_len), count=count,
                codec=data[48], level=level, record_format=record_format, schema=(schema_offset, schema_len))


# Input of header_slot_fuzz: the slot, then the file length (u64) and a byte
# whose low bit reseals the checksum.
def header_slot_seeds():
    def given(data, file_len, reseal=0):
        return data + struct.pack("<QB", file_len, reseal)
    return {
        "fresh": given(slot(), 8192),
        "committed_zstd": given(slot(7, (0x206C, 48), 2, codec=2, level=-3, record_format=3,
                                     schema=(8192, 108)), 0x209C),
        "lz4_empty_index": given(slot(1, (8192, 8), codec=1), 8200),
        "index_past_end": given(slot(2, (8192, 28), 1), 8219),
        "bad_checksum": given(slot(5, flip=100), 8192),
        "codec3_resealed": given(slot(codec=3), 8192, 1),
        "no_file_len": slot(3),
        "count_overflow": given(slot(1, (8192, 8), 1 << 62), 1 << 40),
        "schema_without_offset": given(slot(1, schema=(0, 44)), 8300),
        "schema_end_overflow": given(slot(1, schema=(2**64 - 8, 16)), 2**64 - 1),
    }


def import_module():
    sys.path.insert(0, str(HERE.parent / "python"))
    try:
        import crivane
        from crivane._crivane_rs import _molecule_from_pickle_bytes
    except ImportError as e:
        sys.exit("make_corpus.py needs the module in python/ (run scripts/build): %s" % e)
    return crivane, _molecule_from_pickle_bytes


# Whole files written by the module; some then edited the way a damaged or
# foreign file would be.
def database_file_seeds():
    crivane, from_pickle = import_module()
    import numpy as np

    def molecule(i, n, energy32=False):
        if energy32:  # only a pickle payload gives a molecule a float32 energy
            optionals = b"\x00\x01" + struct.pack("<If", 0, 1.0) + b"\x00" * 5
            return from_pickle(payload(None, pvec3(0, [(i, j, 1.5) for j in range(n)]),
                                       [1 + (i + j) % 32 for j in range(n)], optionals,
                                       mol=[("tag", pvalue(2, struct.pack("<q", i)))]))
        m = crivane.PyMolecule(np.array([(i, j, 1.5) for j in range(n)], np.float32),
                               np.array([1 + (i + j) % 32 for j in range(n)], np.uint8), energy=-float(i))
        m.set_property("tag", i)
        return m

    def f64_molecule(i, n):
        m = crivane.PyMolecule(np.arange(3 * n, dtype=np.float64).reshape(n, 3) + i,
                               np.full(n, 6, np.uint8), forces=np.ones((n, 3), np.float32),
                               cell=np.eye(3) * 10.0, pbc=(True, False, True))
        m.set_property("charge", np.linspace(-1, 1, n), scope="atom")
        m.set_property("label", "m%d" % i)
        return m

    with tempfile.TemporaryDirectory() as tmp:
        def written(name, committed, tail=(), **options):
            path = pathlib.Path(tmp) / name
            db = crivane.Database(str(path), **options)
            if committed:
                db.add_molecules(list(committed))
                db.flush()
            if tail:
                db.add_molecules(list(tail))  # dropped without a flush: an uncommitted tail
            del db
            return path.read_bytes()

        fresh = written("fresh", [])
        one = written("one", [molecule(0, 1)])
        two = written("two", [molecule(i, i + 1) for i in range(2)])
        three = written("three", [molecule(i, i + 1) for i in range(3)])
        files = {
            "fresh": fresh,
            "three_none": three,
            "lz4_with_tail": written("lz4", [molecule(i, i + 1) for i in range(2)], [molecule(100, 2)],
                                     compression="lz4"),
            "zstd_format3": written("zstd", [molecule(i, i + 1, True) for i in range(2)],
                                    compression="zstd", level=3),
            "f64_positions": written("f64", [f64_molecule(i, i + 2) for i in range(3)]),
        }

    def with_slot(data, number, fields):
        return data[:4096 * number] + slot(**fields) + data[4096 * (number + 1):]

    # The committed slot with its schema blob dropped.
    files["no_schema_blob"] = with_slot(two, 1, dict(read_slot(two[4096:8192]), schema=(0, 0)))
    # A later commit that names the schema blob but no index.
    files["schema_only"] = with_slot(one, 0, dict(read_slot(one[4096:8192]), generation=2, index=(0, 0), count=0))
    # Cut inside the index: the committed slot points past the end, the fresh one wins.
    files["cut_index"] = three[:-10]
    files["short_file"] = fresh[:5000]
    # The last entry claims a record far past the end of the file.
    index_at = read_slot(three[4096:8192])["index"][0]
    files["entry_past_end"] = three[:index_at + 48 + 8] + struct.pack("<II", 1 << 31, 1 << 31) + three[index_at + 64:]
    # The first record's zstd block header turned to the reserved block type.
    zstd = files["zstd_format3"]
    files["zstd_reserved_block"] = zstd[:8192 + 6] + bytes([zstd[8192 + 6] | 0x06]) + zstd[8192 + 7:]
    return files


def flat_gather_seeds():
    """Seeds of flat_gather_fuzz: records that the target puts in a database file. An input is
    flags, the selection, then per record an atom-count byte (0: the record's own) and the
    record, then with flag bit 5 the schema blob; see the target's header."""
    def gather_input(records, selection=(), flags=0, schema=None):
        out = bytes([flags, len(selection)]) + bytes(selection) + bytes([len(records)])
        for atoms, rec in records:
            out += bytes([atoms]) + struct.pack("<H", len(rec)) + rec
        if schema is not None:
            out += struct.pack("<H", len(schema)) + schema
        return out

    lz4, zstd, format3, f64, no_schema, given_schema = 1, 2, 4, 8, 16, 32
    small = record([(1, 2, 3)], [6], [section(0, "energy", 0, struct.pack("<d", -2.0))])
    grid = section(2, "t", 15, tensor("d", [2, 3], range(6)))
    flipped = section(2, "t", 15, tensor("d", [3, 2], range(6)))
    per_atom = section(1, "q", 16, tensor("i", [2, 2], [1, 2, 3, 4]))
    f64_rows = record(two_atoms, [1, 8], [grid, per_atom], row="d")
    seeds = {
        "uniform_repeats": gather_input([(0, full), (0, full), (0, full)], [0, 2, 0, 1]),
        "keyed_lz4": gather_input([(0, small), (0, full)], [1, 0, 1], flags=lz4),
        "f64_tensors_zstd": gather_input([(0, f64_rows), (0, f64_rows)], [0, 1, 1],
                                         flags=zstd | format3 | f64),
        "tensor_shapes_differ": gather_input(
            [(0, record(two_atoms, [1, 1], [grid])), (0, record(two_atoms, [1, 1], [flipped]))],
            [0, 1], flags=format3),
        "index_atoms_differ": gather_input([(0, full), (4, full)], [0, 1]),
        "record_cut": gather_input([(0, full), (0, full[:-3])], [0, 1, 2]),
        "no_schema": gather_input([(0, small), (0, full)], [0, 1], flags=no_schema),
        "stored_schema_damaged": gather_input(
            [(0, small), (0, small)], [0, 1], flags=given_schema,
            schema=blob(4, [(0, 0, 0, "energy", 8, 8), (2, 3, 0, "wide", 8, 1 << 20)])),
    }
    return seeds


# Every fuzz target's corpus folder and the function that makes its seeds.
SEEDS = {
    "schema_blob": schema_blob_seeds,
    "record_schema": record_schema_seeds,
    "batch_record": batch_record_seeds,
    "flat_parse": flat_parse_seeds,
    "pickle_payload": pickle_payload_seeds,
    "soa_view": soa_view_seeds,
    "tensor_payload": tensor_payload_seeds,
    "index_blob": index_blob_seeds,
    "header_slot": header_slot_seeds,
    "database_file": database_file_seeds,
    "flat_gather": flat_gather_seeds,
}


def main():
    for name, seeds in SEEDS.items():
        folder = ROOT / name
        folder.mkdir(parents=True, exist_ok=True)
        for file, data in seeds().items():
            (folder / file).write_bytes(data)
    unseeded = sorted(p.name[:-len("_fuzz.cpp")] for p in HERE.glob("*_fuzz.cpp")
                      if p.name[:-len("_fuzz.cpp")] not in SEEDS)
    if unseeded:
        sys.exit("fuzz targets without seeds here: " + ", ".join(unseeded))


main()
