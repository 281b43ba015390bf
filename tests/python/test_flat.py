"""Database.get_molecules_flat: many records as one dict of concatenated arrays."""

import json
import os
import struct

import numpy as np
import pytest

from conftest import SANITIZED
from crivane import Database, PyMolecule
from databases import CODECS, index_entries, make_molecule, new_db, overwrite, read_in_threads, schema_entries
from records import section
from test_database import CallsOnIndex

# Keyword arguments of Database.open: mapped, mapped and pre-faulted, through the file.
OPEN_MODES = [dict(), dict(populate=True), dict(mmap=False)]
OPEN_IDS = ["mmap", "mmap-populate", "file"]
BASE_KEYS = ["n_atoms", "positions", "atomic_numbers"]
NOT_BATCHABLE = "it cannot be flat-batched/concatenated. Retrieve molecules individually with get_molecule(s) instead."

# Type tags and section kinds of the record format.
F64, I64, STRING, F64_ARRAY, VEC3_F32, I64_ARRAY, F32_ARRAY, VEC3_F64, I32_ARRAY = range(9)
BOOL3, MAT3_F64, F32, MAT3_F32, NONE = range(9, 14)
TENSOR_F32, TENSOR_F64, TENSOR_I32, TENSOR_I64 = range(14, 18)
BUILTIN, ATOM, MOLECULE = 0, 1, 2


def expected(molecules):
    """The flat dict of these molecules, built from their own getters; a molecule without
    forces has zero rows there (the keyed scatter's filling)."""
    out = {
        "n_atoms": np.array([len(m) for m in molecules], np.uint32),
        "positions": np.concatenate([m.positions for m in molecules]),
        "atomic_numbers": np.concatenate([m.atomic_numbers for m in molecules]),
    }
    for key in ("charges", "velocities"):
        out[key] = np.concatenate([getattr(m, key) for m in molecules])
    out["forces"] = np.concatenate([np.zeros((len(m), 3), np.float32) if m.forces is None else m.forces
                                    for m in molecules])
    for key in ("cell", "stress"):
        out[key] = np.stack([getattr(m, key) for m in molecules])
    out["energy"] = np.array([m.energy for m in molecules])
    out["pbc"] = np.array([m.pbc for m in molecules])
    return out


def assert_arrays(got, want):
    for key, value in want.items():
        assert got[key].dtype == value.dtype, key
        assert got[key].shape == value.shape, key
        np.testing.assert_array_equal(got[key], value, err_msg=key)


# ---- records with the sections a test asks for -------------------------------------------------


def tensor(fmt, shape, values):
    return struct.pack(f"<B{len(shape)}I", len(shape), *shape) + struct.pack(f"<{len(values)}{fmt}", *values)


def record_length(n, sections, dtype=np.float32):
    return 4 + n * (3 * np.dtype(dtype).itemsize + 1) + 2 + sum(len(s) for s in sections)


def crafted_db(path, records, dtype=np.float32, **kwargs):
    """A database whose records hold exactly the given sections, in the given order, with
    the schema lock their appends build. records: (atom count, [section bytes]) each.

    No writer of this system makes such records, so a stand-in is patched: each molecule is
    stored with a name whose section is as long as the wanted ones, those are written over
    it, and the records are then appended elsewhere as views (verbatim bytes, one append
    each). Atom i of a molecule sits at (3i, 3i+1, 3i+2) with atomic number i+1."""
    src = str(path) + ".src"
    stand_ins = []
    for n, sections in records:
        blob = b"".join(sections)
        assert blob == b"" or len(blob) >= 11, "a name section needs 11 bytes at least"
        args = (np.arange(3 * n, dtype=dtype).reshape(n, 3), np.arange(1, n + 1, dtype=np.uint8))
        stand_ins.append(PyMolecule(*args, name="x" * (len(blob) - 11)) if blob else PyMolecule(*args))
    new_db(src, stand_ins)
    row = 3 * np.dtype(dtype).itemsize
    with open(src, "r+b") as f:
        offset = 8192
        for n, sections in records:
            f.seek(offset + 4 + n * (row + 1))
            f.write(struct.pack("<H", len(sections)) + b"".join(sections))
            offset += record_length(n, sections, dtype)
    views = Database.open(src).get_molecules(list(range(len(records))))
    db = Database(str(path), **kwargs)
    for view in views:
        db.add_molecule(view)
    db.flush()
    return Database.open(str(path))


def patch(path, records, index, at, data, dtype=np.float32):
    """Overwrites bytes of stored record `index` (uncompressed file), `at` bytes into its
    sections area (or, when negative, that far before its end)."""
    offset = 8192 + sum(record_length(n, s, dtype) for n, s in records[:index])
    n, sections = records[index]
    start = offset + 4 + n * (3 * np.dtype(dtype).itemsize + 1) + 2
    with open(path, "r+b") as f:
        f.seek(start + at if at >= 0 else offset + record_length(n, sections, dtype) + at)
        f.write(data)


def f64(*v):
    return struct.pack(f"<{len(v)}d", *v)


def f32(*v):
    return struct.pack(f"<{len(v)}f", *v)


def flat_error(db, indices):
    with pytest.raises(ValueError) as excinfo:
        db.get_molecules_flat(indices)
    return str(excinfo.value)


# ---- the main road -----------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("codec", CODECS)
@pytest.mark.parametrize("open_mode", OPEN_MODES, ids=OPEN_IDS)
def test_selection_comes_back_concatenated_in_selection_order(tmp_path, codec, open_mode, dtype):
    molecules = [make_molecule(i, n, dtype) for i, n in enumerate([3, 0, 5, 1, 4, 2])]
    new_db(tmp_path / "m.db", molecules, compression=codec)
    db = Database.open(str(tmp_path / "m.db"), **open_mode)
    selection = [4, 0, 4, 1, 5, 2]
    got = db.get_molecules_flat(selection)

    assert list(got) == BASE_KEYS + ["charges", "cell", "energy", "forces", "name", "pbc", "stress", "velocities"]
    assert_arrays(got, expected([molecules[i] for i in selection]))
    assert got["positions"].dtype == dtype
    assert got["name"] == [f"molecule {i}" for i in selection]
    for value in got.values():
        if isinstance(value, np.ndarray):
            assert value.flags.c_contiguous and value.flags.writeable
    # The arrays are the caller's own: writing into them changes no later read.
    got["positions"][:] = 7
    got["forces"][:] = 7
    got["energy"][:] = 7
    assert_arrays(db.get_molecules_flat(selection), expected([molecules[i] for i in selection]))


def test_empty_selection_gives_the_three_base_arrays(tmp_path):
    db = new_db(tmp_path / "f64.db", [make_molecule(0, dtype=np.float64)])
    for indices in ([], (), range(0)):
        got = db.get_molecules_flat(indices)
        assert list(got) == BASE_KEYS
        assert [(v.dtype, v.shape) for v in got.values()] == [
            (np.uint32, (0,)), (np.float32, (0, 3)), (np.uint8, (0,))]
    assert db.get_molecules_flat([0])["positions"].dtype == np.float64


@pytest.mark.parametrize("open_mode", OPEN_MODES, ids=OPEN_IDS)
def test_molecules_without_atoms_take_no_rows(tmp_path, open_mode):
    new_db(tmp_path / "z.db", [make_molecule(i, 0) for i in range(3)], compression="lz4")
    got = Database.open(str(tmp_path / "z.db"), **open_mode).get_molecules_flat([2, 0, 1])
    assert got["n_atoms"].tolist() == [0, 0, 0]
    assert got["positions"].shape == got["forces"].shape == (0, 3)
    assert got["charges"].shape == (0,)
    assert got["energy"].tolist() == [-3.25, -1.25, -2.25]


def test_records_appended_without_a_commit_are_read_through_the_file(tmp_path):
    path = tmp_path / "tail.db"
    new_db(path, [make_molecule(0)])
    db = Database.open(str(path), mmap=False)
    db.add_molecules([make_molecule(1, 2), make_molecule(2, 6)])
    assert_arrays(db.get_molecules_flat([2, 0, 1]), expected([make_molecule(2, 6), make_molecule(0), make_molecule(1, 2)]))


def test_many_threads_read_at_once(tmp_path):
    molecules = [make_molecule(i, 1 + i % 7) for i in range(300)]
    new_db(tmp_path / "t.db", molecules, compression="zstd")
    db = Database.open(str(tmp_path / "t.db"))
    for order, got in read_in_threads(300, db.get_molecules_flat, repeats=3):
        assert_arrays(got, expected([molecules[i] for i in order]))


# ---- arguments, borrow, documentation ---------------------------------------------------------


@pytest.mark.parametrize(
    "indices, error, message",
    [
        ("012", TypeError, "argument 'indices': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'indices': 'int' object cannot be converted to 'Sequence'"),
        ([0, 1.5], TypeError, "argument 'indices': 'float' object cannot be interpreted as an integer"),
        ([0, -1], OverflowError, "out of range integral type conversion attempted"),
        ([0, 3], ValueError, "Invalid data: Index 3 out of bounds"),
        # The first index past the end in selection order, before any record is read.
        ([0, 9, 3, 1], ValueError, "Invalid data: Index 9 out of bounds"),
    ],
)
@pytest.mark.parametrize("open_mode", OPEN_MODES, ids=OPEN_IDS)
def test_argument_and_index_errors(tmp_path, open_mode, indices, error, message):
    new_db(tmp_path / "a.db", [make_molecule(i) for i in range(3)])
    db = Database.open(str(tmp_path / "a.db"), **open_mode)
    with pytest.raises(error) as excinfo:
        db.get_molecules_flat(indices)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda db: db.get_molecules_flat(), "PyAtomDatabase.get_molecules_flat() missing 1 required positional argument: 'indices'"),
        (lambda db: db.get_molecules_flat([0], [0]), "PyAtomDatabase.get_molecules_flat() takes 1 positional arguments but 2 were given"),
        (lambda db: db.get_molecules_flat(index=[0]), "PyAtomDatabase.get_molecules_flat() got an unexpected keyword argument 'index'"),
        (lambda db: db.get_molecules_flat([0], indices=[0]), "PyAtomDatabase.get_molecules_flat() got multiple values for argument 'indices'"),
    ],
)
def test_argument_binding(tmp_path, call, message):
    db = new_db(tmp_path / "b.db", [make_molecule(0)])
    with pytest.raises(TypeError) as excinfo:
        call(db)
    assert str(excinfo.value) == message
    assert list(db.get_molecules_flat(indices=[0])["n_atoms"]) == [4]


def test_the_database_is_borrowed_shared_while_the_indices_convert(tmp_path):
    db = new_db(tmp_path / "w.db", [make_molecule(0)])
    for write in (db.flush, lambda: db.add_molecule(make_molecule(1)), lambda: db.add_molecules([])):
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            db.get_molecules_flat([CallsOnIndex(write)])
    # Readers share.
    got = db.get_molecules_flat([CallsOnIndex(lambda: db.get_molecules_flat([0]))])
    assert got["n_atoms"].tolist() == [4]
    assert len(db) == 1


def test_docstring_and_signature():
    method = Database.get_molecules_flat
    assert method.__text_signature__ == "($self, indices)"
    assert method.__doc__ == (
        "Get multiple molecules as batched numpy arrays (zero-copy fast path).\n\n"
        "Returns a dict with contiguous arrays instead of per-molecule Python objects.\n"
        "This is the fastest way to load training batches.\n\n"
        "The dict always contains:\n"
        '  "n_atoms":        uint32 (n_molecules,)\n'
        '  "positions":      float32 (total_atoms, 3)\n'
        '  "atomic_numbers": uint8 (total_atoms,)\n\n'
        "Optional builtin fields (present if the first molecule has them):\n"
        '  "energy":     float64 (n_molecules,)\n'
        '  "forces":     float32 (total_atoms, 3)\n'
        '  "charges":    float64 (total_atoms,)\n'
        '  "velocities": float32 (total_atoms, 3)\n'
        '  "cell":       float64 (n_molecules, 3, 3)\n'
        '  "stress":     float64 (n_molecules, 3, 3)\n'
        '  "pbc":        bool (n_molecules, 3)\n\n'
        "Custom properties are in nested dicts:\n"
        '  "atom_properties": {key: array, ...}\n'
        '  "properties":      {key: array, ...}'
    )


# ---- ordered and keyed scatter ----------------------------------------------------------------


def test_a_first_molecule_with_fewer_sections_than_the_lock_takes_the_keyed_scatter(tmp_path):
    lacking = make_molecule(0, 2, forces=None, name=None)
    full = make_molecule(1, 3)
    db = new_db(tmp_path / "k.db", [lacking, full])
    got = db.get_molecules_flat([0, 1, 0])
    # The schema lock's order: byte order of the keys.
    assert list(got) == BASE_KEYS + ["cell", "charges", "energy", "forces", "name", "pbc", "stress", "velocities"]
    assert_arrays(got, expected([lacking, full, lacking]))
    assert not got["forces"][:2].any() and not got["forces"][5:].any()
    assert got["name"] == [None, "molecule 1", None]


def test_large_keyed_columns_read_zero_where_no_record_wrote(tmp_path):
    # Columns of several MB get memory of their own, which a later call may
    # reuse once the arrays are gone: a reused column must not show the rows
    # of an earlier call where this one has no section.
    molecules = [make_molecule(0, 400, forces=None)] + [make_molecule(i, 400) for i in range(1, 1000)]
    db = new_db(tmp_path / "big.db", molecules)
    for _ in range(2):
        full = db.get_molecules_flat(list(range(1, 1000)) + [1])
        assert full["forces"].nbytes > 4 << 20
        np.testing.assert_array_equal(full["forces"][:400], molecules[1].forces)
        del full
        got = db.get_molecules_flat(list(range(1000)))
        assert not got["forces"][:400].any()
        np.testing.assert_array_equal(got["forces"][400:800], molecules[1].forces)
        np.testing.assert_array_equal(got["positions"][:400], molecules[0].positions)
        del got


def test_a_later_molecule_lacking_a_section_fails_the_ordered_scatter(tmp_path):
    db = new_db(tmp_path / "o.db", [make_molecule(0), make_molecule(1, name=None), make_molecule(2, name=None)])
    assert flat_error(db, [0, 2, 1]) == "Invalid data: SOA schema mismatch for molecule 1: expected 8 sections, got 7"


def test_section_order_decides_between_the_two_scatters(tmp_path):
    # The engine writes atom properties before molecule properties; the batch
    # writer writes them the other way round, in the caller's dict order.
    path = str(tmp_path / "mixed.db")
    db = Database(path)
    single = make_molecule(0, n=2, forces=None, charges=None, velocities=None, cell=None, stress=None, pbc=None,
                      name=None, energy=None)
    single.set_property("a", np.array([1, 2], np.float32), scope="atom")
    single.set_property("b", 10.0)
    only_a = make_molecule(1, n=2, forces=None, charges=None, velocities=None, cell=None, stress=None, pbc=None,
                      name=None, energy=None)
    only_a.set_property("a", np.array([5, 6], np.float32), scope="atom")
    db.add_molecules([single, only_a])
    db.add_arrays_batch(np.zeros((1, 2, 3), np.float32), np.ones((1, 2), np.uint8),
                        properties={"b": np.array([20.0])},
                        atom_properties={"a": np.array([[3, 4]], np.float32)})
    db.flush()
    db = Database.open(path)
    # Same key set as the lock: the ordered scatter, which the batch record's order breaks.
    assert flat_error(db, [0, 2]) == "Invalid data: SOA schema order mismatch at molecule 1 for section 'b'"
    assert flat_error(db, [2, 0]) == "Invalid data: SOA schema order mismatch at molecule 1 for section 'a'"
    # The first selected record lacks "b": keyed by the lock, and the order no longer matters.
    got = db.get_molecules_flat([1, 2, 0])
    assert list(got) == BASE_KEYS + ["atom_properties", "properties"]
    np.testing.assert_array_equal(got["atom_properties"]["a"], np.array([5, 6, 3, 4, 1, 2], np.float32))
    np.testing.assert_array_equal(got["properties"]["b"], [0.0, 20.0, 10.0])


@pytest.mark.parametrize("values, keys", [((1.0,), ["z", "a"]), ((1.0, 2.0), ["a", "z"])])
def test_per_molecule_arrays_of_more_than_one_value_take_the_keyed_scatter(tmp_path, values, keys):
    # The lock records one element's size for them, the first record the whole array's;
    # the keyed scatter shows the lock's key order instead of the record's.
    sections = [section(MOLECULE, "z", F64, f64(5.0)), section(MOLECULE, "a", F64_ARRAY, f64(*values))]
    got = crafted_db(tmp_path / "arr.db", [(1, sections)] * 2).get_molecules_flat([0, 1])
    assert list(got["properties"]) == keys
    np.testing.assert_array_equal(got["properties"]["a"], values * 2)


def test_mismatches_are_named_by_selection_position(tmp_path):
    energy = section(BUILTIN, "energy", F64, f64(1.5))
    q = section(MOLECULE, "q", F64, f64(2.5))
    records = [(1, [energy, q])] * 4 + [(1, [q])]
    path = tmp_path / "patched.db"
    crafted_db(path, records)
    patch(path, records, 1, 2 + 6, bytes([I64]))  # "energy" as an int64
    patch(path, records, 2, len(energy) + 2, b"r")  # key "q" renamed "r"
    patch(path, records, 3, len(energy) + 3, bytes([I64]))  # "q" as an int64
    db = Database.open(str(path))
    cases = [
        ([0, 1], "Invalid data: SOA schema mismatch at molecule 1 for section 'energy'"),
        ([0, 2], "Invalid data: SOA schema order mismatch at molecule 1 for section 'r'"),
        ([0, 0, 3], "Invalid data: SOA schema mismatch at molecule 2 for section 'q'"),
        # Keyed: the first selected record lacks "energy".
        ([4, 2], "Invalid data: Unexpected SOA section 'r' in molecule 1"),
        ([4, 0, 3], "Invalid data: SOA schema mismatch at molecule 2 for section 'q'"),
    ]
    for indices, message in cases:
        assert flat_error(db, indices) == message
    # Every position is scattered; the lowest failing one is reported.
    for _ in range(5):
        assert flat_error(db, [0] * 300 + [3] + [0] * 300 + [1] * 50) == (
            "Invalid data: SOA schema mismatch at molecule 300 for section 'q'")


def test_payload_lengths_are_checked_against_the_column(tmp_path):
    cell = section(BUILTIN, "cell", MAT3_F64, f64(*range(9)))
    tail = section(MOLECULE, "w", F64, f64(1.0))
    records = [(2, [cell, tail])] * 2 + [(2, [tail])]
    path = tmp_path / "len.db"
    crafted_db(path, records)
    # The last section's payload length says 4: its last 4 bytes become trailing bytes.
    patch(path, records, 1, len(cell) + 3 + 1, struct.pack("<I", 4))
    db = Database.open(str(path))
    message = "Invalid data: Section 'w' has invalid payload length 4 (expected 8)"
    assert flat_error(db, [0, 1]) == message
    assert flat_error(db, [2, 1]) == message
    assert db.get_molecules_flat([2, 0])["properties"]["w"].tolist() == [1.0, 1.0]


def test_a_record_whose_atom_count_differs_from_its_index_entry_fails(tmp_path):
    # Zero positions, so that a record read with 3 atoms finds a section count of 0.
    new_db(tmp_path / "n.db", [PyMolecule(np.zeros((4, 3), np.float32), np.zeros(4, np.uint8))] * 2)
    with open(tmp_path / "n.db", "r+b") as f:
        f.seek(8192 + 58)
        f.write(struct.pack("<I", 3))
    for open_mode in OPEN_MODES:
        db = Database.open(str(tmp_path / "n.db"), **open_mode)
        assert db.get_molecules_flat([0])["n_atoms"].tolist() == [4]
        assert flat_error(db, [0, 1]) == (
            "Invalid data: SOA n_atoms mismatch for molecule 1: the record holds 3 atoms, its index entry 4")


# ---- values of every type tag ------------------------------------------------------------------


@pytest.mark.parametrize(
    "tag, per_molecule, dtype, shape",
    [
        (F64, [f64(1.5), f64(-2)], np.float64, (2,)),
        (I64, [struct.pack("<q", 7), struct.pack("<q", -8)], np.int64, (2,)),
        (F32, [f32(0.5), f32(4)], np.float32, (2,)),
        # Arrays of one element take the ordered scatter, longer ones the keyed one.
        (F32_ARRAY, [f32(1), f32(2)], np.float32, (2,)),
        (F64_ARRAY, [f64(1, 2, 3), f64(4, 5, 6)], np.float64, (6,)),
        (I64_ARRAY, [struct.pack("<2q", 1, 2), struct.pack("<2q", 3, 4)], np.int64, (4,)),
        (I32_ARRAY, [struct.pack("<3i", 1, 2, 3), struct.pack("<3i", 4, 5, 6)], np.int32, (6,)),
        (VEC3_F32, [f32(*range(6)), f32(*range(6, 12))], np.float32, (4, 3)),
        (VEC3_F64, [f64(1, 2, 3), f64(4, 5, 6)], np.float64, (2, 3)),
        (BOOL3, [bytes([1, 0, 2]), bytes([0, 0, 1])], np.bool_, (2, 3)),
        (MAT3_F64, [f64(*range(9)), f64(*range(9, 18))], np.float64, (2, 3, 3)),
        (MAT3_F32, [f32(*range(9)), f32(*range(9, 18))], np.float32, (2, 3, 3)),
    ],
)
def test_per_molecule_columns_by_type_tag(tmp_path, tag, per_molecule, dtype, shape):
    records = [(2, [section(MOLECULE, "value", tag, p)]) for p in per_molecule]
    db = crafted_db(tmp_path / "p.db", records, dtype=np.float64, compression="lz4")
    got = db.get_molecules_flat([0, 1])
    assert list(got) == BASE_KEYS + ["properties"]
    value = got["properties"]["value"]
    assert value.dtype == dtype and value.shape == shape
    raw = b"".join(per_molecule)
    if dtype is np.bool_:
        np.testing.assert_array_equal(value.ravel(), np.frombuffer(raw, np.uint8) != 0)
    else:
        np.testing.assert_array_equal(value.ravel(), np.frombuffer(raw, dtype))
    np.testing.assert_array_equal(got["positions"], np.arange(6, dtype=np.float64).reshape(2, 3)[[0, 1, 0, 1]])


@pytest.mark.parametrize(
    "tag, dtype, width",
    [(F64_ARRAY, np.float64, 1), (I64_ARRAY, np.int64, 1), (F32_ARRAY, np.float32, 1),
     (I32_ARRAY, np.int32, 1), (VEC3_F32, np.float32, 3), (VEC3_F64, np.float64, 3)],
)
def test_per_atom_columns_by_type_tag(tmp_path, tag, dtype, width):
    counts = [3, 1, 2]
    values = [np.arange(n * width, dtype=dtype) + 10 * i for i, n in enumerate(counts)]
    records = [(n, [section(ATOM, "v", tag, v.tobytes())]) for n, v in zip(counts, values)]
    got = crafted_db(tmp_path / "a.db", records).get_molecules_flat([2, 0, 1])
    want = np.concatenate([values[2], values[0], values[1]])
    column = got["atom_properties"]["v"]
    assert column.dtype == dtype
    np.testing.assert_array_equal(column, want.reshape(-1, 3) if width == 3 else want)
    assert got["n_atoms"].tolist() == [2, 3, 1]


def test_builtin_dtypes_follow_the_stored_tags(tmp_path):
    def record(i, n):
        return (n, [
            section(BUILTIN, "charges", F32_ARRAY, f32(*[i] * n)),
            section(BUILTIN, "cell", MAT3_F32, f32(*[i] * 9)),
            section(BUILTIN, "energy", F32, f32(i)),
            section(BUILTIN, "forces", VEC3_F64, f64(*[i] * 3 * n)),
            section(BUILTIN, "stress", MAT3_F32, f32(*[-i] * 9)),
        ])
    db = crafted_db(tmp_path / "tags.db", [record(1, 2), record(2, 1)], compression="zstd")
    got = db.get_molecules_flat([1, 0])
    assert list(got) == BASE_KEYS + ["charges", "cell", "energy", "forces", "stress"]
    assert [(got[k].dtype, got[k].shape) for k in list(got)[3:]] == [
        (np.float32, (3,)), (np.float32, (2, 3, 3)), (np.float32, (2,)), (np.float64, (3, 3)), (np.float32, (2, 3, 3))]
    np.testing.assert_array_equal(got["energy"], [2, 1])
    np.testing.assert_array_equal(got["forces"], [[2] * 3, [1] * 3, [1] * 3])


def test_text_and_null_columns(tmp_path):
    label = section(MOLECULE, "label", STRING, "\u00e9t\u00e9".encode())
    nothing = section(MOLECULE, "nothing", NONE, b"")
    records = [(1, [label, nothing]), (1, [nothing]), (1, [section(MOLECULE, "label", STRING, b""), nothing])]
    db = crafted_db(tmp_path / "s.db", records)
    assert db.get_molecules_flat([0, 2])["properties"] == {"label": ["\u00e9t\u00e9", ""], "nothing": [None, None]}
    # Keyed (the first lacks "label"): a molecule without it gets None.
    assert db.get_molecules_flat([1, 0, 2])["properties"] == {"label": [None, "\u00e9t\u00e9", ""], "nothing": [None] * 3}


def test_per_atom_strings(tmp_path):
    empty = section(ATOM, "string", STRING, b"")
    records = [(2, [empty]), (2, [section(ATOM, "string", STRING, b"abc")]), (2, [])]
    db = crafted_db(tmp_path / "ps.db", records)
    assert flat_error(db, [0]) == "Invalid data: String section 'string' cannot be per-atom in flat extraction"
    # Keyed, from the lock: an empty payload is the empty string.
    assert db.get_molecules_flat([2, 0])["atom_properties"] == {"string": [None, ""]}
    assert flat_error(db, [2, 1]) == "Invalid data: Section 'string' has invalid payload length 3 (expected 0)"


def test_invalid_utf8_in_a_key_or_a_string(tmp_path):
    records = [(1, [section(MOLECULE, "label", STRING, b"ok")])] * 3
    path = tmp_path / "u.db"
    crafted_db(path, records)
    patch(path, records, 1, 2, b"\xff")  # key
    patch(path, records, 2, -1, b"\xff")  # payload
    db = Database.open(str(path))
    assert flat_error(db, [1]) == "Invalid data: Invalid UTF-8 in SOA section key"
    assert flat_error(db, [0, 1]) == "Invalid data: Invalid UTF-8 in SOA section key"
    assert flat_error(db, [2]) == "Invalid data: Invalid UTF-8 in section 'label'"
    assert flat_error(db, [0, 2]) == "Invalid data: Invalid UTF-8 in section 'label'"


# ---- tensors ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "tag, fmt, dtype",
    [(TENSOR_F32, "f", np.float32), (TENSOR_F64, "d", np.float64), (TENSOR_I32, "i", np.int32), (TENSOR_I64, "q", np.int64)],
)
def test_per_molecule_tensors_stack(tmp_path, tag, fmt, dtype):
    records = [(1, [section(MOLECULE, "t", tag, tensor(fmt, [2, 3], range(6 * i, 6 * i + 6)))]) for i in range(3)]
    got = crafted_db(tmp_path / "t.db", records).get_molecules_flat([2, 0, 1, 2])
    value = got["properties"]["t"]
    assert value.dtype == dtype and value.shape == (4, 2, 3)
    np.testing.assert_array_equal(value.reshape(4, 6), [range(12, 18), range(6), range(6, 12), range(12, 18)])


def test_per_molecule_tensor_shapes_must_agree(tmp_path):
    def t(shape, n_values):
        return section(MOLECULE, "t", TENSOR_F64, tensor("d", shape, [0.5] * n_values))
    records = [(1, [t([2, 3], 6)]), (1, [t([3, 2], 6)]), (1, [t([], 1)]), (1, []), (1, [t([], 1)])]
    db = crafted_db(tmp_path / "ts.db", records)
    assert flat_error(db, [0, 1]) == f"Tensor property 't' has incompatible shapes [2, 3] and [3, 2]; {NOT_BATCHABLE}"
    assert flat_error(db, [2, 0]) == f"Tensor property 't' has incompatible shapes [] and [2, 3]; {NOT_BATCHABLE}"
    assert db.get_molecules_flat([2, 4])["properties"]["t"].shape == (2,)
    # Keyed (the first selected lacks it): the molecule without it is named.
    assert flat_error(db, [3, 2]) == f"Tensor property 't' is missing for selected molecule 0; {NOT_BATCHABLE}"


def test_per_atom_tensors_stack_over_atoms(tmp_path):
    def t(shape, fill):
        n_values = int(np.prod(shape))
        return section(ATOM, "g", TENSOR_I32, tensor("i", shape, [fill] * n_values))
    records = [(4, [t([4, 2], 1)]), (1, [t([1, 2], 2)]), (4, [t([4, 3], 3)]), (4, [t([], 4)]), (4, [t([3, 2], 5)]), (4, [])]
    db = crafted_db(tmp_path / "at.db", records)
    got = db.get_molecules_flat([1, 0, 1])
    value = got["atom_properties"]["g"]
    assert value.dtype == np.int32 and value.shape == (6, 2)
    np.testing.assert_array_equal(value[:, 0], [2, 1, 1, 1, 1, 2])
    cases = [
        ([0, 2], f"Atom tensor property 'g' has incompatible per-atom tensor suffix shapes [2] and [3]; {NOT_BATCHABLE}"),
        ([0, 3], "Atom tensor property 'g' has shape []; first dimension None does not match atom count 4. "
                 "It cannot be flat-batched/concatenated. Retrieve molecules individually with get_molecule(s) instead."),
        ([0, 4], "Atom tensor property 'g' has shape [3, 2]; first dimension 3 does not match atom count 4. "
                 "It cannot be flat-batched/concatenated. Retrieve molecules individually with get_molecule(s) instead."),
        ([5, 0], f"Tensor property 'g' is missing for selected molecule 0; {NOT_BATCHABLE}"),
        # The first selected record is checked when the columns are made.
        ([4], "Invalid data: Atom tensor property 'g' first dimension (3) doesn't match atom count (4)"),
        ([3], "Invalid data: Atom tensor property 'g' must have at least one dimension"),
    ]
    for indices, message in cases:
        assert flat_error(db, indices) == message


# ---- sections that would corrupt the result ------------------------------------------------------


def test_a_section_may_not_replace_one_of_the_dicts_own_entries(tmp_path):
    # A kind-0 section named like a base entry (no writer of this system makes one).
    records = [(1, [section(BUILTIN, "n_atoms", F64, f64(5.0))])]
    db = crafted_db(tmp_path / "own.db", records)
    assert flat_error(db, [0]) == (
        f"Section 'n_atoms' of kind 0 would replace the flat export's own 'n_atoms' entry; {NOT_BATCHABLE}")


def test_a_cell_that_is_not_whole_values_fails_whatever_the_selection_size(tmp_path):
    # Three bytes read as float64: eight molecules would make exactly three values.
    records = [(1, [section(BUILTIN, "pbc", F64, bytes([1, 0, 1]))])]
    db = crafted_db(tmp_path / "odd.db", records)
    assert flat_error(db, [0]) == "Byte length 3 is not a multiple of element size 8"
    assert flat_error(db, [0] * 8) == "Byte length 3 is not a multiple of element size 8"


# ---- stored sizes that the records do not back ----------------------------------------------------

DAMAGED = "the database's stored schema is damaged. Retrieve molecules individually with get_molecule(s) instead."

# get_molecules_flat(indices) on each database in each open mode, in a child that may map only
# 2 GiB more than it has once the databases are open and the worker pool runs: an allocation
# sized by a damaged number fails there. Prints the ValueError texts, or "MemoryError". The pool
# runs first, on every selected record: get_molecules reads them all before it refuses one.
FLAT_IN_SMALL_ADDRESS_SPACE = """
import json, resource
from crivane import Database

dbs = [Database.open(path, **mode) for path in {paths!r}
       for mode in (dict(), dict(populate=True), dict(mmap=False))]
for db in dbs:
    try:
        db.get_molecules({indices!r})  # reads every record, whichever it then refuses
    except ValueError:
        pass
if {limit}:
    with open("/proc/self/status") as f:
        used = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (used + (2 << 30), used + (2 << 30)))
out = []
for db in dbs:
    try:
        db.get_molecules_flat({indices!r})
        out.append("ok")
    except ValueError as e:
        out.append(str(e))
    except MemoryError:
        out.append("MemoryError")
print(json.dumps(out))
"""


# Each case writes a database to `path` and gives the selection to read.


def damaged_schema_entry(key, field, at, value):
    """100 molecules of 40 atoms whose stored schema entry for the builtin `key` has byte `at`
    of `field` (type tag, elem_bytes or slot_bytes) set to `value`."""
    def make(path, codec):
        new_db(path, [make_molecule(i, 40) for i in range(100)], compression=codec)
        offset = schema_entries(path)[(BUILTIN, key)][0]
        overwrite(path, offset + {"tag": 1, "elem": 5, "slot": 9}[field] + at, bytes([value]))
        return list(range(100))
    return make


def damaged_atom_count(path, codec):
    # Index entry 1 claims 2**31 - 1 atoms: positions alone would take 24 GiB.
    new_db(path, [make_molecule(i, 40) for i in range(100)], compression=codec)
    _, header = index_entries(path)
    overwrite(path, header["index_offset"] + 8 + 20 + 16, struct.pack("<I", 0x7FFFFFFF))
    return list(range(100))


def damaged_record_length_and_atom_count(path, codec):
    # Index entry 1 claims a record of 2 GiB with 2e7 atoms, which that length would hold;
    # selected 16 times, positions alone would take 3.8 GB. No codec makes such a record of
    # the bytes stored for it.
    new_db(path, [make_molecule(i, 40) for i in range(100)], compression=codec)
    _, header = index_entries(path)
    overwrite(path, header["index_offset"] + 8 + 20 + 12, struct.pack("<II", 0x7FFFFFF0, 20_000_000))
    return [0] + [1] * 16


def damaged_cell_slot_and_a_record_beyond_the_file(path, codec):
    # As "per-molecule-slot-huge", with an unselected index entry that claims 4 GiB of
    # stored bytes past the end of the file: no record that a read reaches is that long.
    indices = damaged_schema_entry("cell", "slot", 3, 0x40)(path, codec)
    _, header = index_entries(path)
    overwrite(path, header["index_offset"] + 8 + 20 * 99 + 8, struct.pack("<II", 0xFFFFFFF0, 0x7FFFFFF0))
    return indices[:99]


def first_record_with_a_large_cell(path, codec):
    # Ordered: the first record's 4 MiB per-molecule value would make a column of 8 GiB for
    # 2000 more molecules, none of which has room for it.
    big = section(MOLECULE, "x", F64, bytes(4 << 20))
    crafted_db(path, [(1, [big]), (1, [])], compression=codec)
    return [0] + [1] * 2000


def longest_record(path):
    size = os.path.getsize(path)
    return max(raw_len for offset, stored, raw_len, _ in index_entries(path)[0] if offset + stored <= size)


@pytest.mark.parametrize(
    "make, message",
    [
        (damaged_schema_entry("forces", "elem", 3, 0x10),
         "Stored schema entry for section 'forces' gives element size 268435468, but type tag 4 has "
         f"elements of 12 bytes; {DAMAGED}"),
        (damaged_schema_entry("charges", "elem", 0, 9),
         f"Stored schema entry for section 'charges' gives element size 9, but type tag 3 has elements of 8 bytes; {DAMAGED}"),
        (damaged_schema_entry("energy", "elem", 1, 1),
         f"Stored schema entry for section 'energy' gives element size 264, but type tag 0 has elements of 8 bytes; {DAMAGED}"),
        (damaged_schema_entry("forces", "tag", 0, 200),
         f"Stored schema entry for section 'forces' has unknown type tag 200; {DAMAGED}"),
        (damaged_schema_entry("cell", "slot", 3, 0x40),
         "Stored schema entry for section 'cell' gives 1073741896 bytes per molecule, more than the longest "
         "record of the database holds ({longest} bytes); " + DAMAGED),
        # The records themselves are intact: the scatter's own message, before any column exists.
        (damaged_cell_slot_and_a_record_beyond_the_file,
         "Stored schema entry for section 'cell' gives 1073741896 bytes per molecule, more than the longest "
         "record of the database holds ({longest} bytes); " + DAMAGED),
        (damaged_atom_count, "SOA n_atoms mismatch for molecule 1: the record holds 40 atoms, its index entry 2147483647"),
        (damaged_record_length_and_atom_count,
         "SOA n_atoms mismatch for molecule 1: the record holds 40 atoms, its index entry 20000000"),
        (first_record_with_a_large_cell, "SOA schema mismatch for molecule 1: expected 1 sections, got 0"),
    ],
    ids=["per-atom-elem-huge", "per-atom-elem", "per-molecule-elem", "type-tag", "per-molecule-slot-huge",
         "per-molecule-slot-huge-and-an-entry-beyond-the-file", "index-atom-count-huge",
         "index-record-length-and-atom-count-huge", "first-record-cell-huge"],
)
def test_sizes_the_records_cannot_hold_are_invalid_data_before_any_column_is_allocated(
    tmp_path, run_python, make, message
):
    paths = [str(tmp_path / f"{codec}.db") for codec in CODECS]
    indices = [make(path, codec) for path, codec in zip(paths, CODECS)][0]
    out = json.loads(run_python(FLAT_IN_SMALL_ADDRESS_SPACE.format(
        paths=paths, indices=indices, limit=not SANITIZED)))
    expected = ["Invalid data: " + message.format(longest=longest_record(p)) for p in paths for _ in range(3)]
    assert out == expected


def test_a_keyed_column_larger_than_the_selected_records_is_zeros(tmp_path):
    # A property none of the selected molecules has is zeros, however large its cells.
    spectrum = section(MOLECULE, "spectrum", F64_ARRAY, f64(*range(1000)))
    db = crafted_db(tmp_path / "wide.db", [(1, [spectrum]), (1, []), (2, [])])
    got = db.get_molecules_flat([1, 2, 1])
    assert got["properties"]["spectrum"].shape == (3000,) and not got["properties"]["spectrum"].any()
    np.testing.assert_array_equal(db.get_molecules_flat([2, 0])["properties"]["spectrum"][1000:], range(1000))


def with_properties(molecules, spectrum_length):
    """The molecules with a per-molecule float64 array 'spectrum' and a per-atom float32 'a'."""
    for i, m in enumerate(molecules):
        m.set_property("spectrum", np.arange(spectrum_length, dtype=np.float64) + i)
        m.set_property("a", np.arange(len(m), dtype=np.float32) + i, scope="atom")
    return molecules


@pytest.mark.parametrize(
    "kind, key, slot, message",
    [
        (BUILTIN, "energy", 0, "Stored schema entry for section 'energy' gives slot size 0, but a per-molecule "
         f"section of type tag 0 has slots of 8 bytes; {DAMAGED}"),
        (BUILTIN, "cell", 0, "Stored schema entry for section 'cell' gives slot size 0, but a per-molecule "
         f"section of type tag 10 has slots of 72 bytes; {DAMAGED}"),
        (BUILTIN, "pbc", 0, "Stored schema entry for section 'pbc' gives slot size 0, but a per-molecule "
         f"section of type tag 9 has slots of 3 bytes; {DAMAGED}"),
        (BUILTIN, "name", 10, "Stored schema entry for section 'name' gives slot size 10, but a per-molecule "
         f"section of type tag 2 has slots of 0 bytes; {DAMAGED}"),
        (BUILTIN, "forces", 0, "Stored schema entry for section 'forces' gives slot size 0, but a per-atom "
         f"section of type tag 4 has slots of 12 bytes; {DAMAGED}"),
        (ATOM, "a", 0, "Stored schema entry for section 'a' gives slot size 0, but a per-atom "
         f"section of type tag 6 has slots of 4 bytes; {DAMAGED}"),
        # Read as elem_bytes per atom before, whatever the slot said.
        (ATOM, "a", 8, "Stored schema entry for section 'a' gives slot size 8, but a per-atom "
         f"section of type tag 6 has slots of 4 bytes; {DAMAGED}"),
        (MOLECULE, "spectrum", 12, "Stored schema entry for section 'spectrum' gives slot size 12, but a "
         f"per-molecule section of type tag 3 has slots of a multiple of 8 bytes; {DAMAGED}"),
        # An empty array has slots of 0 bytes: the records say otherwise.
        (MOLECULE, "spectrum", 0, "Section 'spectrum' has invalid payload length 40 (expected 0)"),
    ],
    ids=["energy", "cell", "pbc", "name", "forces", "atom-array-0", "atom-array-8", "spectrum-12",
         "spectrum-0"],
)
@pytest.mark.parametrize("mode", OPEN_MODES, ids=OPEN_IDS)
def test_stored_slot_sizes_that_cannot_hold_the_values_are_invalid_data(tmp_path, kind, key, slot, message,
                                                                        mode):
    path = tmp_path / "slots.db"
    molecules = with_properties([make_molecule(i) for i in range(3)], 5)
    new_db(path, molecules)
    overwrite(path, schema_entries(path)[(kind, key)][0] + 9, struct.pack("<I", slot))
    db = Database.open(str(path), **mode)
    assert flat_error(db, [0, 1, 2]) == "Invalid data: " + message
    # What the single reads give is still there.
    assert db[1].energy == molecules[1].energy


@pytest.mark.parametrize("mode", OPEN_MODES, ids=OPEN_IDS)
def test_stored_slot_sizes_of_empty_arrays_and_molecules_without_atoms_export(tmp_path, mode):
    path = tmp_path / "empty.db"
    molecules = with_properties([make_molecule(i, n) for i, n in enumerate([0, 3, 0])], 0)
    new_db(path, molecules)
    entries = schema_entries(path)
    assert entries[(MOLECULE, "spectrum")][4] == 0 and entries[(ATOM, "a")][4] == 4
    got = Database.open(str(path), **mode).get_molecules_flat([0, 1, 2])
    assert_arrays(got, expected(molecules))
    assert got["name"] == ["molecule 0", "molecule 1", "molecule 2"]
    np.testing.assert_array_equal(got["atom_properties"]["a"], np.array([1, 2, 3], np.float32))
    # An array without values makes no column, as before.
    assert "properties" not in got
