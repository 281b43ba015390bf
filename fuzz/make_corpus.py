#!/usr/bin/python3
"""Writes the seed corpora of the schema fuzz targets: a few valid inputs and
near-misses of each. Run from anywhere; files land next to this script."""
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


def blob(positions, entries, count=None):
    out = struct.pack("<IBI", 1, positions, len(entries) if count is None else count)
    for kind, tag, per_atom, key, elem, slot in entries:
        k = key.encode()
        out += struct.pack("<BBBHII", kind, tag, per_atom, len(k), elem, slot) + k
    return out


def section(kind, key, tag, payload):
    k = key.encode()
    return struct.pack("<BB", kind, len(k)) + k + struct.pack("<BI", tag, len(payload)) + payload


def record(positions, numbers, sections, row="f"):
    out = struct.pack("<I", len(numbers))
    for p in positions:
        out += struct.pack("<3" + row, *p)
    out += bytes(numbers) + struct.pack("<H", len(sections))
    return out + b"".join(sections)


def tensor(fmt, shape, values):
    return struct.pack("<B%dI" % len(shape), len(shape), *shape) + struct.pack("<%d%s" % (len(values), fmt), *values)


# Selector byte of record_schema_fuzz: bits 0-1 format (2, 3, 3, 4), bits 2-3
# positions (unknown, 4, 7, raw).
F2 = 0b0000
F3_POS4 = 0b0101
F3_POS7 = 0b1001

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

def batch_input(flags, positions, numbers, builtins=(), custom=(), pbc=None):
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
    out += bytes([len(custom)])
    for kind, tag, key, payload in custom:
        out += bytes([kind, tag]) + sized(key.encode()) + sized(payload)
    return out


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

corpora = {
    "schema_blob": {
        "empty_f64": blob(7, []),
        "empty_unknown": blob(255, []),
        "entries": blob(4, [(0, 4, 1, "forces", 12, 12), (1, 13, 1, "", 0, 0),
                            (2, 3, 0, "\u00e9t\u00e9", 8, 24)]),
        "repeated_key": blob(255, [(2, 1, 0, "k", 8, 8), (2, 0, 0, "k", 8, 8)]),
        "per_atom_2": blob(4, [(1, 6, 2, "q", 4, 4)]),
        "truncated_key": blob(4, [(2, 2, 0, "label", 0, 0)])[:-2],
        "trailing": blob(7, []) + b"\x00",
    },
    "record_schema": {
        "empty_f2": bytes([F2]) + record([], [], []),
        "energy_f2": bytes([F2]) + record([(1, 2, 3)], [8], [section(0, "energy", 0, struct.pack("<d", 1.5))]),
        "full_f3": bytes([F3_POS4]) + full,
        "f64_positions": bytes([F3_POS7]) + record(
            two_atoms, [1, 6], [section(0, "forces", 7, b"".join(struct.pack("<3d", *f) for f in forces)),
                                section(1, "t", 17, tensor("q", [2], [5, 6]))], row="d"),
        "f64_forces_f2": bytes([F2]) + record([], [], [section(0, "forces", 7, b"")]),
        "section_cut": bytes([F2]) + full[:len(full) - len(customs[-1]) + 4],
        "tensor_cut": bytes([F3_POS4]) + record([(0, 0, 0)], [1], [section(2, "t", 14, b"\x02\x01\x00\x00\x00")]),
    },
    "batch_record": {
        "minimal": batch_input(0, b"", b""),
        "energy": batch_input(0, struct.pack("<3f", 1, 2, 3), b"\x08", [(0, 0, struct.pack("<d", 1.5))]),
        "full_f64": batch_input(
            1, struct.pack("<6d", *range(6)), b"\x01\x06",
            [(0, 0, struct.pack("<d", -1.0)), (1, 7, struct.pack("<6d", *range(6))),
             (2, 3, struct.pack("<2d", 0.5, 0.5)), (4, 10, struct.pack("<9d", *range(9))),
             (6, 2, "water".encode())],
            [(2, 2, "b", b"x"), (2, 2, "a", b"yy"), (1, 6, "q", struct.pack("<2f", 1, 2))],
            pbc=b"\x01\x00\x01"),
        "long_key": batch_input(0, b"", b"", custom=[(2, 13, "k" * 256, b"")]),
        "bad_tag": batch_input(2, struct.pack("<3f", 0, 0, 0), b"\x01"),
        "ragged_positions": batch_input(0, b"\x00" * 13, b"\x01"),
    },
    # Selector byte of flat_parse_fuzz: 0 for 12-byte positions rows, 1 for 24.
    "flat_parse": {
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
    },
    "pickle_payload": {
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
    },
}

for name, files in corpora.items():
    folder = ROOT / name
    folder.mkdir(parents=True, exist_ok=True)
    for file, data in files.items():
        (folder / file).write_bytes(data)


# ---- flat_gather ------------------------------------------------------------------------------


def flat_gather_corpus():
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
    folder = ROOT / "flat_gather"
    folder.mkdir(parents=True, exist_ok=True)
    for file, data in seeds.items():
        (folder / file).write_bytes(data)


flat_gather_corpus()
