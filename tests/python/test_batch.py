import ctypes
import mmap
import struct
import tracemalloc

import numpy as np
import pytest

from conftest import FREED_MEMORY, SANITIZED
from crivane import Database, PyMolecule
from databases import index_entries, stored_records
from test_database import assert_same

B, N = 2, 3  # the shape of the batches most tests use


def batch_inputs(b=B, n=N, seed=0, dtypes=None, fields=None):
    """Stacked inputs of b molecules of n atoms; canonical dtypes unless `dtypes` says otherwise."""
    rng = np.random.default_rng(seed)
    dt = dict(positions=np.float32, energy=np.float64, forces=np.float32, charges=np.float64,
              velocities=np.float32, cell=np.float64, stress=np.float64)
    dt.update(dtypes or {})
    shapes = dict(positions=(b, n, 3), energy=(b,), forces=(b, n, 3), charges=(b, n),
                  velocities=(b, n, 3), cell=(b, 3, 3), stress=(b, 3, 3))
    inputs = {k: rng.normal(size=shapes[k]).astype(dt[k]) for k in shapes}
    inputs["atomic_numbers"] = rng.integers(1, 119, size=(b, n)).astype(np.uint8)
    inputs["pbc"] = rng.integers(0, 2, size=(b, 3)).astype(bool)
    inputs["name"] = [f"molecule {i}" for i in range(b)]
    if fields is not None:
        inputs = {k: v for k, v in inputs.items() if k in fields or k in ("positions", "atomic_numbers")}
    return inputs


def molecules_of(inputs):
    """The same molecules one by one (builtins only)."""
    out = []
    for i in range(len(inputs["positions"])):
        kw = {k: inputs[k][i] for k in ("forces", "charges", "velocities", "cell", "stress") if k in inputs}
        if "energy" in inputs:
            kw["energy"] = inputs["energy"][i]
        if "pbc" in inputs:
            kw["pbc"] = tuple(bool(x) for x in inputs["pbc"][i])
        if "name" in inputs:
            kw["name"] = inputs["name"][i]
        out.append(PyMolecule(inputs["positions"][i], inputs["atomic_numbers"][i], **kw))
    return out


def take(inputs, sl):
    """The molecules `sl` of a batch, custom dicts included."""
    def cut(v):
        if isinstance(v, dict):
            return {k: cut(x) for k, x in v.items()}
        return v[sl]
    return {k: cut(v) for k, v in inputs.items()}


def parse_record(raw, row=12):
    """(atom count, positions bytes, atomic numbers, [(kind, key, tag, payload)])."""
    (n,) = struct.unpack_from("<I", raw)
    at = 4 + n * row + n
    (count,) = struct.unpack_from("<H", raw, at)
    at += 2
    sections = []
    for _ in range(count):
        kind, key_len = raw[at], raw[at + 1]
        key = raw[at + 2 : at + 2 + key_len].decode()
        at += 2 + key_len
        tag, length = raw[at], struct.unpack_from("<I", raw, at + 1)[0]
        at += 5
        sections.append((kind, key, tag, raw[at : at + length]))
        at += length
    assert at == len(raw)
    return n, raw[4 : 4 + n * row], raw[4 + n * row : 4 + n * row + n], sections


def record_format(path):
    """The record format of the last commit."""
    return index_entries(path)[1]["record_format"]


def flushed_records(db, path):
    db.flush()
    return stored_records(path)


def custom_sections(raw):
    return [s for s in parse_record(raw)[3] if s[0] != 0]


# ---- the method ---------------------------------------------------------------


def test_docstring_and_signature():
    method = Database.add_arrays_batch
    assert method.__text_signature__ == (
        "($self, positions, atomic_numbers, *, energy=None, forces=None, charges=None, "
        "velocities=None, cell=None, stress=None, pbc=None, name=None, properties=None, "
        "atom_properties=None)")
    assert method.__doc__ == ("Add a batch of molecules from stacked numpy arrays.\n\n"
                              "This avoids creating one Python Molecule object per record.")


# ---- the same records as add_molecules -------------------------------------------

EQUIVALENT = {
    "canonical (fast path)": dict(),
    "float32 cell and stress (fast path)": dict(dtypes=dict(cell=np.float32, stress=np.float32)),
    "float32 charges": dict(dtypes=dict(charges=np.float32)),
    "float64 everything": dict(dtypes=dict(positions=np.float64, forces=np.float64,
                                           velocities=np.float64, cell=np.float64)),
    "positions only": dict(fields=()),
    "energy only, float64 positions": dict(fields=("energy",), dtypes=dict(positions=np.float64)),
    "no atoms": dict(n=0),
    "one molecule, one atom": dict(b=1, n=1),
}


@pytest.mark.parametrize("case", EQUIVALENT.values(), ids=EQUIVALENT.keys())
def test_a_batch_writes_the_records_of_add_molecules(tmp_path, case):
    inputs = batch_inputs(**case)
    batch_db, list_db = Database(str(tmp_path / "batch")), Database(str(tmp_path / "list"))
    assert batch_db.add_arrays_batch(**inputs) is None
    list_db.add_molecules(molecules_of(inputs))

    assert flushed_records(batch_db, tmp_path / "batch") == flushed_records(list_db, tmp_path / "list")
    assert record_format(tmp_path / "batch") == record_format(tmp_path / "list")
    reopened = Database.open(str(tmp_path / "batch"))
    for i, mol in enumerate(molecules_of(inputs)):
        assert_same(reopened[i], mol)


def test_positions_type_of_each_path_reaches_the_records(tmp_path):
    db32, db64 = Database(str(tmp_path / "a")), Database(str(tmp_path / "b"))
    db32.add_arrays_batch(**batch_inputs(fields=("energy",)))
    db64.add_arrays_batch(**batch_inputs(fields=("energy",), dtypes=dict(positions=np.float64)))
    db32.flush()
    db64.flush()
    assert (record_format(tmp_path / "a"), record_format(tmp_path / "b")) == (2, 3)
    assert db64[1].positions.dtype == np.float64


def with_custom(inputs, b):
    rng = np.random.default_rng(7)
    inputs["properties"] = {"label": [f"#{i}" for i in range(b)], "e": rng.normal(size=b),
                            "grid": rng.normal(size=(b, 2, 2)).astype(np.float32)}
    inputs["atom_properties"] = {"q": rng.normal(size=(b, N)).astype(np.float32)}
    return inputs


@pytest.mark.parametrize("dtypes", [{}, dict(positions=np.float64, energy=np.float32)],
                         ids=["fast path", "general path"])
def test_1023_and_1024_molecules_give_the_same_records(tmp_path, dtypes):
    # 1024 molecules are built on the worker pool, 1023 on the calling thread.
    inputs = with_custom(batch_inputs(b=1024, dtypes=dtypes), 1024)
    split, whole = Database(str(tmp_path / "split")), Database(str(tmp_path / "whole"))
    split.add_arrays_batch(**take(inputs, slice(0, 1023)))
    split.add_arrays_batch(**take(inputs, slice(1023, 1024)))
    whole.add_arrays_batch(**inputs)
    records = flushed_records(whole, tmp_path / "whole")
    assert flushed_records(split, tmp_path / "split") == records
    assert [parse_record(r, 24 if dtypes else 12)[2] for r in records[:3]] == [
        inputs["atomic_numbers"][i].tobytes() for i in range(3)]


@pytest.mark.parametrize("codec", ["lz4", "zstd"])
def test_compressed_batches_read_back(tmp_path, codec):
    inputs = batch_inputs(b=1100)
    db = Database(str(tmp_path / codec), compression=codec)
    db.add_arrays_batch(**inputs)
    db.flush()
    db = Database.open(str(tmp_path / codec))
    for i, mol in zip((0, 517, 1099), [molecules_of(take(inputs, slice(i, i + 1)))[0] for i in (0, 517, 1099)]):
        assert_same(db[i], mol)


# ---- custom property columns ---------------------------------------------------


def f64(*values):
    return struct.pack(f"<{len(values)}d", *values)


def tensor_header(*dims):
    return struct.pack(f"<B{len(dims)}I", len(dims), *dims)


# (scope, value for B molecules of N atoms, tag, payload of molecule i)
GRID = np.arange(B * 2 * 2, dtype=np.float32).reshape(B, 2, 2)
CUSTOM = {
    "list of str": ("properties", ["a", "\u00e9t\u00e9"], 2, lambda i: ["a", "\u00e9t\u00e9"][i].encode()),
    "tuple of str": ("properties", ("", "b"), 2, lambda i: ["", "b"][i].encode()),
    "numpy str": ("properties", np.array(["x", "yz"]), 2, lambda i: ["x", "yz"][i].encode()),
    "float32 widened": ("properties", np.array([0.1, -2], np.float32), 0,
                        lambda i: f64(float(np.float32([0.1, -2][i])))),
    "int32 widened, sign kept": ("properties", np.array([-7, 2**31 - 1], np.int32), 1,
                                 lambda i: struct.pack("<q", [-7, 2**31 - 1][i])),
    "strided float64": ("properties", np.arange(4.0)[::-2], 0, lambda i: f64([3.0, 1.0][i])),
    "(B, 3) float32 is an array": ("properties", np.arange(6, dtype=np.float32).reshape(B, 3), 6,
                                   lambda i: np.arange(6, dtype=np.float32)[3 * i : 3 * i + 3].tobytes()),
    "(B, k) int64": ("properties", np.arange(4, dtype=np.int64).reshape(B, 2), 5,
                     lambda i: struct.pack("<2q", 2 * i, 2 * i + 1)),
    "(B, k, 3) float64": ("properties", np.arange(B * 12.0).reshape(B, 4, 3), 7,
                          lambda i: np.arange(B * 12.0)[12 * i : 12 * i + 12].tobytes()),
    "(B, k, 3) int32 is a tensor": ("properties", np.arange(12, dtype=np.int32).reshape(B, 2, 3), 16,
                                    lambda i: tensor_header(2, 3) + np.arange(12, dtype=np.int32)[6 * i : 6 * i + 6].tobytes()),
    "(B, 2, 2) float32 tensor": ("properties", GRID, 14, lambda i: tensor_header(2, 2) + GRID[i].tobytes()),
    "zero-size tensor": ("properties", np.zeros((B, 3, 0)), 15, lambda i: tensor_header(3, 0)),
    "atom float32": ("atom_properties", np.arange(B * N, dtype=np.float32).reshape(B, N), 6,
                     lambda i: np.arange(B * N, dtype=np.float32)[N * i : N * i + N].tobytes()),
    "atom int32": ("atom_properties", np.full((B, N), -3, np.int32), 8, lambda i: struct.pack(f"<{N}i", *[-3] * N)),
    "atom vec3 float32": ("atom_properties", np.ones((B, N, 3), np.float32), 4, lambda i: np.ones(3 * N, np.float32).tobytes()),
    "atom (B, N, 4) float32 tensor": ("atom_properties", np.ones((B, N, 4), np.float32), 14,
                                      lambda i: tensor_header(N, 4) + np.ones(4 * N, np.float32).tobytes()),
    "atom (B, N, 2, 2) float64 tensor": ("atom_properties", np.ones((B, N, 2, 2)), 15,
                                         lambda i: tensor_header(N, 2, 2) + np.ones(4 * N).tobytes()),
}


@pytest.mark.parametrize("case", CUSTOM.values(), ids=CUSTOM.keys())
def test_custom_columns(tmp_path, case):
    scope, value, tag, payload = case
    db = Database(str(tmp_path / "db"))
    db.add_arrays_batch(**batch_inputs(fields=()), **{scope: {"k": value}})
    kind = 2 if scope == "properties" else 1
    for i, raw in enumerate(flushed_records(db, tmp_path / "db")):
        assert custom_sections(raw) == [(kind, "k", tag, payload(i))]


def test_custom_sections_follow_the_dicts_order(tmp_path):
    db = Database(str(tmp_path / "db"))
    db.add_arrays_batch(**batch_inputs(fields=("energy",)),
                        properties={"b": np.zeros(B), "a": ["x", "y"]},
                        atom_properties={"c": np.zeros((B, N)), "Stress": np.zeros((B, N))})
    raw = flushed_records(db, tmp_path / "db")[0]
    assert [(kind, key) for kind, key, _, _ in parse_record(raw)[3]] == [
        (0, "energy"), (2, "b"), (2, "a"), (1, "c"), (1, "Stress")]


def test_builtin_payloads(tmp_path):
    db = Database(str(tmp_path / "db"))
    db.add_arrays_batch(**batch_inputs(fields=()),
                        pbc=np.array([[True, False, True], [False, False, True]]), name=["", "b"])
    sections = [parse_record(r)[3] for r in flushed_records(db, tmp_path / "db")]
    assert sections == [[(0, "name", 2, b""), (0, "pbc", 9, b"\x01\x00\x01")],
                        [(0, "name", 2, b"b"), (0, "pbc", 9, b"\x00\x00\x01")]]


def test_float32_energy_takes_its_own_tag(tmp_path):
    # PyMolecule keeps energy in float64; only a batch stores float32 energy.
    db = Database(str(tmp_path / "db"))
    db.add_arrays_batch(**batch_inputs(fields=("energy",), dtypes=dict(energy=np.float32)))
    records = flushed_records(db, tmp_path / "db")
    energy = batch_inputs(dtypes=dict(energy=np.float32))["energy"]
    assert [parse_record(r)[3] for r in records] == [[(0, "energy", 11, e.tobytes())] for e in energy]
    assert record_format(tmp_path / "db") == 3
    assert Database.open(str(tmp_path / "db"))[1].energy == float(energy[1])


def test_one_atom_with_energy_is_the_forty_byte_record(tmp_path):
    db = Database(str(tmp_path / "db"))
    db.add_arrays_batch(np.array([[[1, 2, 3]]], np.float32), np.array([[8]], np.uint8),
                        energy=np.array([1.5]))
    (raw,) = flushed_records(db, tmp_path / "db")
    assert raw == (struct.pack("<I3fBH", 1, 1, 2, 3, 8, 1) + b"\x00\x06energy\x00"
                   + struct.pack("<I", 8) + f64(1.5))
    assert len(raw) == 40


@pytest.mark.parametrize("dtypes", [{}, dict(positions=np.float64)], ids=["fast path", "general path"])
def test_pbc_flags_are_stored_as_one_and_zero(tmp_path, dtypes):
    # A NumPy bool array may hold any byte, for instance as a view of uint8.
    flags = np.array([[2, 0, 255], [0, 1, 128]], np.uint8).view(bool)
    db = Database(str(tmp_path / "db"))
    db.add_arrays_batch(**batch_inputs(fields=(), dtypes=dtypes), pbc=flags)
    assert [parse_record(r, 24 if dtypes else 12)[3] for r in flushed_records(db, tmp_path / "db")] == [
        [(0, "pbc", 9, b"\x01\x00\x01")], [(0, "pbc", 9, b"\x00\x01\x01")]]


def test_general_path_reads_pbc_in_any_layout(tmp_path):
    pbc = np.array([[True, False, True, False], [False, True, True, True]])[:, :3]
    db = Database(str(tmp_path / "db"))
    db.add_arrays_batch(**batch_inputs(fields=(), dtypes=dict(positions=np.float64)), pbc=pbc)
    assert [db[0].pbc, db[1].pbc] == [(True, False, True), (False, True, True)]


# ---- what changes and what does not ------------------------------------------------


def test_empty_batches_append_nothing(tmp_path):
    path = str(tmp_path / "db")
    db = Database(path)
    db.add_arrays_batch(**batch_inputs(b=1))
    db.flush()
    del db
    mapped = Database.open(path)  # refuses every non-empty append
    before = open(path, "rb").read()
    assert mapped.add_arrays_batch(np.zeros((0, 5, 3), np.float32), np.zeros((0, 5), np.uint8)) is None
    assert mapped.add_arrays_batch(**batch_inputs(b=0, dtypes=dict(positions=np.float64)),
                                   properties={"p": np.zeros((0, 4)), "s": [], "f": np.zeros(0)},
                                   atom_properties={"t": np.zeros((0, 3, 2, 2), np.int32)}) is None
    assert len(mapped) == 1 and open(path, "rb").read() == before
    with pytest.raises(ValueError, match="^Invalid data: Cannot add molecules to a database opened"):
        mapped.add_arrays_batch(**batch_inputs(b=1))


def test_molecules_without_atoms(tmp_path):
    db = Database(str(tmp_path / "db"))
    db.add_arrays_batch(np.zeros((2, 0, 3), np.float32), np.zeros((2, 0), np.uint8),
                        forces=np.zeros((2, 0, 3), np.float32))
    assert len(db) == 2 and len(db[1]) == 0 and db[1].forces.shape == (0, 3)


# Records built under an address-space limit that leaves 128 MiB: building
# them fails on the calling thread (fewer than 1024 molecules) or on the
# pool's, the call raises MemoryError and appends nothing, and the database
# takes batches afterwards.
OUT_OF_MEMORY_RUN = """
import resource
import numpy as np
import crivane

db = crivane.Database({path!r})
db.add_arrays_batch(np.zeros((1024, 1, 3), np.float32), np.ones((1024, 1), np.uint8))  # starts the pool
positions = np.zeros(({batch}, {atoms}, 3), np.float32)
numbers = np.ones(({batch}, {atoms}), np.uint8)
with open("/proc/self/status") as f:
    used = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (used + (128 << 20), used + (128 << 20)))
try:
    db.add_arrays_batch(positions, numbers)
except MemoryError:
    pass
else:
    raise AssertionError("no MemoryError")
assert len(db) == 1024
db.add_arrays_batch(np.zeros((2, 5, 3), np.float32), np.ones((2, 5), np.uint8))
assert len(db) == 1026 and len(db[1025]) == 5
"""


@pytest.mark.skipif(SANITIZED, reason="ASan reserves more address space than the limit leaves")
@pytest.mark.parametrize("batch, atoms", [(100, 200_000), (1100, 20_000)], ids=["caller", "pool"])
def test_out_of_memory_while_building_records_is_a_memory_error(
    tmp_path, subprocess_env, run_python, batch, atoms
):
    # Worker threads' malloc arenas are address space reserved up front; with
    # one arena every record counts against the limit.
    subprocess_env["MALLOC_ARENA_MAX"] = "1"
    run_python(OUT_OF_MEMORY_RUN.format(path=str(tmp_path / "db"), batch=batch, atoms=atoms))


def test_unflushed_batch_is_gone_after_reopening(tmp_path):
    path = str(tmp_path / "db")
    db = Database(path)
    db.add_arrays_batch(**batch_inputs())
    assert len(db) == B
    del db
    assert len(Database.open(path, mmap=False)) == 0


@pytest.mark.parametrize("second, message", [
    (dict(properties={"x": np.zeros(B, np.int64)}),
     "Invalid data: Schema mismatch for section 'x': expected SchemaEntry { type_tag: 0, per_atom: false, "
     "elem_bytes: 8, slot_bytes: 8 }, got SchemaEntry { type_tag: 1, per_atom: false, elem_bytes: 8, "
     "slot_bytes: 8 }"),
    (dict(dtypes=dict(positions=np.float64)),
     "Invalid data: record format 2 does not support float64 positions"),
    (dict(dtypes=dict(energy=np.float32)),
     "Invalid data: record format 2 does not support float32 energy"),
])
def test_engine_refusals_append_nothing(tmp_path, second, message):
    db = Database(str(tmp_path / "db"))
    db.add_arrays_batch(**batch_inputs(fields=("energy",)), properties={"x": np.zeros(B)})
    second = dict(second)
    properties = second.pop("properties", {"x": np.zeros(B)})
    with pytest.raises(ValueError) as error:
        db.add_arrays_batch(**batch_inputs(fields=("energy",), **second), properties=properties)
    assert str(error.value) == message
    assert len(db) == B


# ---- inputs read in place, and inputs copied --------------------------------------


class Holder:
    """Names an array's memory by __array_interface__ and keeps the array under
    another name than `base`: no check can see whether that memory is still there."""

    def __init__(self, array):
        self.owner = array
        self.__array_interface__ = array.__array_interface__


def held(array):
    """array's values, viewed through a Holder (add_arrays_batch copies such an input)."""
    return np.asarray(Holder(array))


def traced_growth_while(call):
    """How far traced memory (NumPy's arrays among it) rises while call() runs."""
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        call()
        return tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()


def in_mmap(a):
    memory = mmap.mmap(-1, a.nbytes)
    memory[:] = a.tobytes()
    return np.frombuffer(memory, a.dtype).reshape(a.shape)


# How positions are given, made from an owning float32 array: the memory of
# each but the last can be checked where it is; the last is copied.
POSITIONS_SOURCES = {
    "owning array": lambda a: a,
    "view": lambda a: np.concatenate([a, a])[: len(a)],
    "bytearray": lambda a: np.frombuffer(bytearray(a.tobytes()), a.dtype).reshape(a.shape),
    "memoryview": lambda a: np.asarray(memoryview(a)),
    "mmap": in_mmap,
    "ctypes": lambda a: np.ctypeslib.as_array((ctypes.c_float * a.size).from_buffer_copy(a)).reshape(a.shape),
    "as_strided": lambda a: np.lib.stride_tricks.as_strided(a, a.shape, a.strides),
    "holder": held,
}


@pytest.mark.parametrize("source", POSITIONS_SOURCES)
def test_only_an_input_whose_owner_is_out_of_sight_is_copied(tmp_path, source):
    inputs = batch_inputs(b=8, n=2000, fields=())
    positions = POSITIONS_SOURCES[source](inputs["positions"])
    db = Database(str(tmp_path / "db"))
    grown = traced_growth_while(lambda: db.add_arrays_batch(positions, inputs["atomic_numbers"]))
    assert (grown >= positions.nbytes) == (source == "holder"), grown
    np.testing.assert_array_equal(db[7].positions, inputs["positions"][7])


def test_get_molecules_flat_columns_are_read_in_place(tmp_path):
    # Their memory is this module's own, freed only with the arrays.
    b, n = 8, 2000
    inputs = batch_inputs(b=b, n=n, fields=("energy", "forces", "charges", "velocities", "cell", "stress", "pbc"))
    rng = np.random.default_rng(1)
    source = Database(str(tmp_path / "source"))
    source.add_arrays_batch(**inputs, properties={"p": rng.normal(size=b)},
                            atom_properties={"a": rng.normal(size=(b, n))})
    flat = source.get_molecules_flat(list(range(b)))
    per_atom = lambda column: column.reshape((b, n) + column.shape[1:])
    columns = {k: per_atom(flat[k]) for k in ("positions", "atomic_numbers", "forces", "charges", "velocities")}
    columns.update({k: flat[k] for k in ("energy", "cell", "stress", "pbc")})
    columns["properties"] = flat["properties"]
    columns["atom_properties"] = {"a": per_atom(flat["atom_properties"]["a"])}

    copy = Database(str(tmp_path / "copy"))
    grown = traced_growth_while(lambda: copy.add_arrays_batch(**columns))
    assert grown < flat["charges"].nbytes, grown
    assert flushed_records(copy, tmp_path / "copy") == flushed_records(source, tmp_path / "source")


# ---- bad input: every check, in order, leaves the database as it was --------------


class Mutating:
    """A sequence of B str whose reading adds a key to the dict it sits in."""

    def __init__(self, target):
        self.target = target

    def __len__(self):
        return B

    def __getitem__(self, i):
        if i >= B:
            raise IndexError
        self.target[object()] = 0
        return "s"


class Unreadable:
    """A sequence whose reading raises `error` (Ctrl-C while values are read, a failing source)."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        return B

    def __getitem__(self, i):
        raise self.error


def fortran(a):
    return np.asfortranarray(a)


def gappy(a):
    """A view that is not contiguous, with a's values."""
    wide = np.zeros(a.shape[:-1] + (2 * a.shape[-1],), a.dtype)
    wide[..., ::2] = a
    return wide[..., ::2]


LIST_TUPLE = ("custom property 'k' must be a stacked ndarray tensor for add_arrays_batch; list/tuple "
              "tensor inputs are not supported. Ragged tensors should use per-molecule construction "
              "plus add_molecules(...) and non-flat retrieval with get_molecule(s).")
UNSUPPORTED = ("Unsupported batched property 'k' type. Supported: list[str], 1D numeric arrays, 2D "
               "numeric arrays, 3D float arrays with trailing dimension 3, or stacked tensor ndarrays "
               "with dtype float32, float64, int32, or int64")
UNSUPPORTED_ATOM = ("Unsupported batched atom property 'k' type. Supported: 2D numeric arrays with "
                    "shape (batch, n_atoms), 3D float arrays with shape (batch, n_atoms, 3), or stacked "
                    "tensor ndarrays with dtype float32, float64, int32, or int64")
F32, F64 = np.float32, np.float64
MUTATED = {"k": None}
MUTATED["k"] = Mutating(MUTATED)

# (what, changes to a canonical batch of B molecules of N atoms, exception, message)
BAD_INPUTS = [
    # Not a failed conversion to swallow and try the next form with: it reaches the caller.
    ("interrupted while reading", dict(properties={"k": Unreadable(KeyboardInterrupt("stop"))}),
     KeyboardInterrupt, "stop"),
    ("out of memory while reading", dict(properties={"k": Unreadable(MemoryError("full"))}), MemoryError, "full"),
    ("atomic_numbers int64, positions wrong too",
     dict(atomic_numbers=np.zeros((B, N), np.int64), positions=np.zeros((B, N, 4), F32)), TypeError,
     "argument 'atomic_numbers': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ("atomic_numbers 1-D", dict(atomic_numbers=np.zeros(N, np.uint8)), TypeError,
     "argument 'atomic_numbers': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ("atomic_numbers list", dict(atomic_numbers=[[1, 2, 3]] * B), TypeError,
     "argument 'atomic_numbers': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ("pbc uint8", dict(pbc=np.ones((B, 3), np.uint8)), TypeError,
     "argument 'pbc': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ("pbc tuple", dict(pbc=(True, True, True)), TypeError,
     "argument 'pbc': 'tuple' object cannot be converted to 'PyArray<T, D>'"),
    ("name str", dict(name="ab"), TypeError, "argument 'name': Can't extract `str` to `Vec`"),
    ("name of ints", dict(name=[1, 2]), TypeError,
     "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ("name int", dict(name=2), TypeError, "argument 'name': 'int' object cannot be converted to 'Sequence'"),
    ("properties list before any array", dict(properties=[], positions=None), TypeError,
     "argument 'properties': 'list' object cannot be converted to 'PyDict'"),
    ("atom_properties list", dict(atom_properties=[("k", 1)]), TypeError,
     "argument 'atom_properties': 'list' object cannot be converted to 'PyDict'"),
    # 1-3: positions
    ("positions float16", dict(positions=np.zeros((B, N, 3), np.float16)), ValueError,
     "positions must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"),
    ("positions nested list", dict(positions=np.zeros((B, N, 3)).tolist()), ValueError,
     "positions must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"),
    ("positions 2-D", dict(positions=np.zeros((B, 3), F32)), ValueError,
     "positions must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"),
    ("positions absent", dict(positions=None), ValueError,
     "positions must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"),
    ("positions (B, N, 4)", dict(positions=np.zeros((B, N, 4), F32)), ValueError,
     "positions must have shape (batch, n_atoms, 3)"),
    ("positions Fortran float32", dict(positions=fortran(np.zeros((B, N, 3), F32))), ValueError,
     "positions must be C-contiguous"),
    ("positions Fortran float64", dict(positions=fortran(np.zeros((B, N, 3), F64))), ValueError,
     "positions must be C-contiguous"),
    ("positions strided, through a holder", dict(positions=held(gappy(np.zeros((B, N, 3), F32)))),
     ValueError, "positions must be C-contiguous"),
    # 4-5: atomic numbers
    ("atomic_numbers (B, N + 1)", dict(atomic_numbers=np.zeros((B, N + 1), np.uint8)), ValueError,
     f"atomic_numbers must have shape ({B}, {N})"),
    ("atomic_numbers strided", dict(atomic_numbers=gappy(np.zeros((B, N), np.uint8))), ValueError,
     "atomic_numbers must be C-contiguous"),
    # 6-8: energy
    ("energy int64", dict(energy=np.zeros(B, np.int64)), ValueError,
     "energy must be a float32 or float64 ndarray with shape (batch,)"),
    ("energy 2-D", dict(energy=np.zeros((B, 1))), ValueError,
     "energy must be a float32 or float64 ndarray with shape (batch,)"),
    ("energy length", dict(energy=np.zeros(B + 1)), ValueError,
     f"energy length ({B + 1}) doesn't match batch size ({B})"),
    ("energy strided float64", dict(energy=np.zeros(2 * B)[::2]), ValueError, "energy must be C-contiguous"),
    ("energy strided float32", dict(energy=np.zeros(2 * B, F32)[::2]), ValueError,
     "energy must be C-contiguous"),
    # 9-17: forces, charges, velocities
    ("forces list", dict(forces=np.zeros((B, N, 3)).tolist()), ValueError,
     "forces must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"),
    ("forces shape, cell list (fast path)", dict(forces=np.zeros((B, N + 1, 3), F32), cell=[[0] * 3] * 3),
     ValueError, f"forces must have shape ({B}, {N}, 3)"),
    ("forces shape, cell list (general path)", dict(forces=np.zeros((B, N + 1, 3), F64), cell=[[0] * 3] * 3),
     ValueError, f"forces must have shape ({B}, {N}, 3)"),
    ("forces Fortran float32", dict(forces=fortran(np.zeros((B, N, 3), F32))), ValueError,
     "forces must be C-contiguous"),
    ("forces Fortran float64", dict(forces=fortran(np.zeros((B, N, 3), F64))), ValueError,
     "forces must be C-contiguous"),
    ("charges int32", dict(charges=np.zeros((B, N), np.int32)), ValueError,
     "charges must be a float32 or float64 ndarray with shape (batch, n_atoms)"),
    ("charges shape", dict(charges=np.zeros((B, N + 1))), ValueError, f"charges must have shape ({B}, {N})"),
    ("charges strided float32", dict(charges=gappy(np.zeros((B, N), F32))), ValueError,
     "charges must be C-contiguous"),
    ("velocities 2-D", dict(velocities=np.zeros((B, 3), F32)), ValueError,
     "velocities must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"),
    ("velocities shape", dict(velocities=np.zeros((B + 1, N, 3), F32)), ValueError,
     f"velocities must have shape ({B}, {N}, 3)"),
    ("velocities strided", dict(velocities=gappy(np.zeros((B, N, 3), F32))), ValueError,
     "velocities must be C-contiguous"),
    # 18-23: cell, stress
    ("cell list", dict(cell=np.zeros((B, 3, 3)).tolist()), ValueError,
     "cell must be a float32 or float64 ndarray with shape (batch, 3, 3)"),
    ("cell (3, 3, 3)", dict(cell=np.zeros((3, 3, 3))), ValueError, f"cell must have shape ({B}, 3, 3)"),
    ("cell Fortran", dict(cell=fortran(np.zeros((B, 3, 3)))), ValueError, "cell must be C-contiguous"),
    ("stress float16", dict(stress=np.zeros((B, 3, 3), np.float16)), ValueError,
     "stress must be a float32 or float64 ndarray with shape (batch, 3, 3)"),
    ("stress (B, 3, 4)", dict(stress=np.zeros((B, 3, 4), F32)), ValueError, f"stress must have shape ({B}, 3, 3)"),
    ("stress strided", dict(stress=gappy(np.zeros((B, 3, 3)))), ValueError, "stress must be C-contiguous"),
    # 24-26: pbc, name
    ("pbc (B, 4)", dict(pbc=np.ones((B, 4), bool)), ValueError, f"pbc must have shape ({B}, 3)"),
    ("pbc strided (fast path)", dict(pbc=np.ones((B, 4), bool)[:, :3]), ValueError, "pbc must be C-contiguous"),
    ("pbc strided (fast path), through a holder", dict(pbc=held(np.ones((B, 4), bool)[:, :3])), ValueError,
     "pbc must be C-contiguous"),
    ("name length", dict(name=["a"]), ValueError, f"name length (1) doesn't match batch size ({B})"),
    # 27: custom columns
    ("key not a str", dict(properties={1: np.zeros(B)}), TypeError,
     "'int' object cannot be converted to 'PyString'"),
    ("stress property", dict(properties={"stress": np.zeros((B, 3, 3))}), ValueError,
     "'stress' is a reserved field; use the builtin stress argument instead"),
    ("stress atom property", dict(atom_properties={"stress": np.zeros((B, N))}), ValueError,
     "'stress' is a reserved field; use the builtin stress argument instead"),
    ("key in both dicts", dict(properties={"k": np.zeros(B)}, atom_properties={"k": np.zeros((B, N))}),
     ValueError, "Duplicate custom key 'k' across batched atom property inputs"),
    ("str list length", dict(properties={"k": ["a"]}), ValueError,
     f"custom property 'k' length (1) doesn't match batch size ({B})"),
    ("1-D length", dict(properties={"k": np.zeros(B + 1, np.int32)}), ValueError,
     f"custom property 'k' length ({B + 1}) doesn't match batch size ({B})"),
    ("list of floats", dict(properties={"k": [1.0, 2.0]}), ValueError, LIST_TUPLE),
    ("list with None", dict(properties={"k": ["a", None]}), ValueError, LIST_TUPLE),
    ("atom tuple of str", dict(atom_properties={"k": ("a", "b")}), ValueError, LIST_TUPLE),
    ("2-D first dimension", dict(properties={"k": np.zeros((B + 1, 2))}), ValueError,
     f"custom property 'k' must have shape ({B}, k)"),
    ("2-D transposed", dict(properties={"k": np.zeros((4, B), np.int64).T}), ValueError,
     "custom property 'k' must be C-contiguous"),
    ("vec3 Fortran", dict(properties={"k": fortran(np.zeros((B, 4, 3)))}), ValueError,
     "custom property 'k' must be C-contiguous"),
    ("2-D transposed, through a holder", dict(properties={"k": held(np.zeros((4, B), np.int64).T)}),
     ValueError, "custom property 'k' must be C-contiguous"),
    ("str value", dict(properties={"k": "ab"}), ValueError, UNSUPPORTED),
    ("int value", dict(properties={"k": 5}), ValueError, UNSUPPORTED),
    ("None value", dict(properties={"k": None}), ValueError, UNSUPPORTED),
    ("dict value", dict(properties={"k": {"a": 1}}), ValueError, UNSUPPORTED),
    ("sequence that fails to read", dict(properties={"k": Unreadable(RuntimeError("gone"))}), ValueError,
     UNSUPPORTED),
    ("uint8 array", dict(properties={"k": np.zeros(B, np.uint8)}), ValueError, UNSUPPORTED),
    ("float16 tensor", dict(properties={"k": np.zeros((B, 2, 2), np.float16)}), ValueError, UNSUPPORTED),
    ("0-D float64", dict(properties={"k": np.array(1.0)}), ValueError,
     f"custom property 'k' must have stacked tensor shape ({B}, ...)"),
    ("(B + 1, 3, 3) float32", dict(properties={"k": np.zeros((B + 1, 3, 3), F32)}), ValueError,
     f"custom property 'k' must have stacked tensor shape ({B}, ...)"),
    ("tensor Fortran", dict(properties={"k": fortran(np.zeros((B, 2, 2), np.int32))}), ValueError,
     "custom property 'k' must be C-contiguous"),
    ("tensor dimension beyond u32", dict(properties={"k": np.zeros((B, 0, 2**32), F32)}), ValueError,
     "custom property 'k' tensor dimensions must fit in u32 for storage"),
    ("atom (B, N + 1)", dict(atom_properties={"k": np.zeros((B, N + 1))}), ValueError,
     f"atom property 'k' must have shape ({B}, {N})"),
    ("atom (B + 1, N)", dict(atom_properties={"k": np.zeros((B + 1, N))}), ValueError,
     f"custom property 'k' must have shape ({B}, k)"),
    ("atom 1-D", dict(atom_properties={"k": np.zeros(B)}), ValueError,
     f"custom property 'k' must have stacked tensor shape ({B}, ...)"),
    ("atom (B, N + 1, 2)", dict(atom_properties={"k": np.zeros((B, N + 1, 2))}), ValueError,
     f"atom property 'k' must have stacked tensor shape ({B}, {N}, ...)"),
    ("atom 0-D int32", dict(atom_properties={"k": np.array(1, np.int32)}), ValueError,
     f"custom property 'k' must have stacked tensor shape ({B}, ...)"),
    ("atom str", dict(atom_properties={"k": "ab"}), ValueError, UNSUPPORTED_ATOM),
    ("atom bool", dict(atom_properties={"k": np.zeros((B, N), bool)}), ValueError, UNSUPPORTED_ATOM),
    ("later entry fails", dict(properties={"ok": np.zeros(B), "k": None}), ValueError, UNSUPPORTED),
    ("dict changed while read", dict(properties=MUTATED), BaseException,
     "dictionary changed size during iteration"),
    # after every check: the atom count of a record, the record writer
    ("n_atoms beyond u32", dict(positions=np.zeros((0, 2**32, 3), F32), atomic_numbers=np.zeros((0, 2**32), np.uint8),
                                energy=None, forces=None, charges=None, velocities=None, cell=None, stress=None,
                                pbc=None, name=None), ValueError,
     "n_atoms (4294967296) exceeds the largest atom count a record holds (4294967295)"),
    ("key of 256 bytes", dict(properties={"k" * 256: np.zeros(B)}), ValueError,
     f"Section key '{'k' * 256}' is too long"),
]


def failing_call(db, changes):
    kwargs = batch_inputs(b=B, n=N, seed=3)
    kwargs.update(changes)
    positions = kwargs.pop("positions")
    numbers = kwargs.pop("atomic_numbers")
    return lambda: db.add_arrays_batch(positions, numbers, **kwargs)


BINDING = [
    (lambda db, a: db.add_arrays_batch(a["positions"]),
     "PyAtomDatabase.add_arrays_batch() missing 1 required positional argument: 'atomic_numbers'"),
    (lambda db, a: db.add_arrays_batch(a["positions"], a["atomic_numbers"], a["energy"]),
     "PyAtomDatabase.add_arrays_batch() takes 2 positional arguments but 3 were given"),
    (lambda db, a: db.add_arrays_batch(a["positions"], a["atomic_numbers"], energies=a["energy"]),
     "PyAtomDatabase.add_arrays_batch() got an unexpected keyword argument 'energies'"),
    (lambda db, a: db.add_arrays_batch(a["positions"], positions=a["positions"]),
     "PyAtomDatabase.add_arrays_batch() got multiple values for argument 'positions'"),
]


def test_bad_inputs_leave_the_database_as_it_was(tmp_path):
    path = str(tmp_path / "db")
    db = Database(path)
    db.add_arrays_batch(**batch_inputs())
    db.flush()
    db.add_arrays_batch(**batch_inputs(seed=1))  # never committed: a tail the next append cuts
    del db
    db = Database.open(path, mmap=False)
    before = open(path, "rb").read()
    assert len(db) == B

    for call, message in BINDING:
        with pytest.raises(TypeError) as error:
            call(db, batch_inputs())
        assert str(error.value) == message
    for what, changes, exception, message in BAD_INPUTS:
        with pytest.raises(exception) as error:
            failing_call(db, changes)()
        assert (type(error.value).__name__, str(error.value)) == (
            "PanicException" if exception is BaseException else exception.__name__, message), what

    assert open(path, "rb").read() == before
    assert len(db) == B
    # A valid batch still goes in after every refusal, behind the cut tail.
    failing_call(db, {})()
    db.flush()
    assert len(Database.open(path)) == 2 * B
    assert record_format(path) == 2


def test_the_database_stays_borrowed_while_values_are_read(tmp_path):
    db = Database(str(tmp_path / "db"))
    seen = []

    class Probe:
        def __len__(self):
            return B

        def __getitem__(self, i):
            if i >= B:
                raise IndexError
            try:
                len(db)
            except RuntimeError as e:
                seen.append(str(e))
            return "x"

    db.add_arrays_batch(**batch_inputs(), properties={"k": Probe()})
    assert seen == ["Already mutably borrowed"] * B
    assert len(db) == B


@pytest.mark.parametrize("dtypes", [{}, dict(positions=np.float64)], ids=["fast path", "general path"])
def test_an_array_replaced_while_values_are_read(tmp_path, dtypes):
    inputs = batch_inputs(dtypes=dtypes)
    positions = inputs["positions"]
    original = positions.copy()

    class Shrinking:
        """B str; reading them swaps the positions' buffer for a smaller one."""

        def __len__(self):
            return B

        def __getitem__(self, i):
            if i >= B:
                raise IndexError
            positions.__setstate__((1, (1, 1, 3), positions.dtype, False, bytes(3 * positions.itemsize)))
            return "s"

    db = Database(str(tmp_path / "db"))
    if dtypes:  # the general path copied the positions before
        db.add_arrays_batch(**inputs, properties={"k": Shrinking()})
        np.testing.assert_array_equal(db[1].positions, original[1])
    else:  # the fast path would read them in place
        with pytest.raises(ValueError, match="^input arrays changed while add_arrays_batch was reading them$"):
            db.add_arrays_batch(**inputs, properties={"k": Shrinking()})
        assert len(db) == 0


# Inputs whose memory Python code that the call runs frees (see FREED_MEMORY)
# or moves. The call must refuse and leave the database as it was: its
# length, the pending tail of an earlier batch and the file bytes.
FREED_PRELUDE = """
import ctypes, sys
import numpy as np
from crivane import Database

B, N = 4, 40
rng = np.random.default_rng(0)
kept = []
""" + FREED_MEMORY + """

def move(memory):
    at = ctypes.addressof(memory)
    ctypes.resize(memory, 1 << 26)
    assert ctypes.addressof(memory) != at

class Strings:
    # B str; reading the first runs the hook.
    def __init__(self, hook):
        self.hook = hook
    def __len__(self):
        return B
    def __getitem__(self, i):
        if i >= B:
            raise IndexError
        if i == 0:
            self.hook()
        return "s"

numbers = np.ones((B, N), np.uint8)
positions = rng.normal(size=(B, N, 3)).astype(np.float32)
"""

FREED_RUN = """
path = sys.argv[1]
db = Database(path)
db.add_arrays_batch(positions[:2], numbers[:2], energy=np.zeros(2, np.float32))  # format 3
db.flush()
db.add_arrays_batch(positions[:3], numbers[:3])  # pending
before = open(path, "rb").read()
try:
    call(db)
    print("stored")
except ValueError as error:
    print(error)
print(len(db), open(path, "rb").read() == before)
db.flush()
print(len(Database.open(path)))
"""

FREED_BATCH_INPUTS = {
    "positions, owner freed by a str column": """
owner, view = owned_and_view((B, N, 3), np.float32)
def call(db):
    db.add_arrays_batch(view, numbers, properties={"k": Strings(lambda: free(owner))})
""",
    "cell, owner freed by a str column": """
owner, view = owned_and_view((B, 3, 3), np.float64)
def call(db):
    db.add_arrays_batch(positions, numbers, cell=view, properties={"k": Strings(lambda: free(owner))})
""",
    "positions in ctypes memory, moved by a str column": """
memory = (ctypes.c_float * (B * N * 3))(*range(B * N * 3))
view = np.frombuffer(memory, np.float32).reshape(B, N, 3)
def call(db):
    db.add_arrays_batch(view, numbers, properties={"k": Strings(lambda: move(memory))})
""",
    "positions in ctypes memory through a memoryview, moved by a str column": """
memory = (ctypes.c_float * (B * N * 3))(*range(B * N * 3))
view = np.ctypeslib.as_array(memory).reshape(B, N, 3)
def call(db):
    db.add_arrays_batch(view, numbers, properties={"k": Strings(lambda: move(memory))})
""",
    "positions (general path), owner freed by the names": """
owner, view = owned_and_view((B, N, 3), np.float32)
def call(db):
    db.add_arrays_batch(view, numbers, energy=np.zeros(B, np.float32), name=Strings(lambda: free(owner)))
""",
    "2-D property, owner freed by an earlier str column": """
owner, view = owned_and_view((B, 5), np.float64)
def call(db):
    db.add_arrays_batch(positions, numbers, properties={"a": Strings(lambda: free(owner)), "b": view})
""",
    "strided 1-D property, owner freed by an earlier str column": """
owner = owner_of(np.float64)
def call(db):
    db.add_arrays_batch(positions, numbers, properties={"a": Strings(lambda: free(owner)), "b": owner[: 2 * B : 2]})
""",
    "positions through as_strided, owner freed by a str column": """
owner = owner_of(np.float32)
view = np.lib.stride_tricks.as_strided(owner[8:], (B, N, 3), (N * 12, 12, 4))
def call(db):
    db.add_arrays_batch(view, numbers, properties={"k": Strings(lambda: free(owner))})
""",
    "property through sliding_window_view, owner freed by an earlier str column": """
owner = owner_of(np.float64)
view = np.lib.stride_tricks.sliding_window_view(owner, 5)[:B, 2]
def call(db):
    db.add_arrays_batch(positions, numbers, properties={"a": Strings(lambda: free(owner)), "b": view})
""",
    "str array property, owner freed by an earlier str column": """
owner = owner_of("<U2")
def call(db):
    db.add_arrays_batch(positions, numbers, properties={"a": Strings(lambda: free(owner)), "b": owner[:B]})
""",
    "stacked tensor, owner freed while it is tried as a sequence of str": """
owner, view = owned_and_view((B, 2, 2), np.float32)
class Probed(np.ndarray):
    def __getitem__(self, i):
        free(owner)
        return super().__getitem__(i)
def call(db):
    db.add_arrays_batch(positions, numbers, properties={"t": view.view(Probed)})
""",
}


def test_views_through_array_interface_holders_are_read_as_they_are(tmp_path, run_python):
    # The in-place check follows such a holder to the array it was made
    # from; intact memory is read, and holders that name each other in a
    # ring end the walk (a subprocess, should it not).
    out = run_python(f"""
    import numpy as np
    from numpy.lib.stride_tricks import as_strided, sliding_window_view
    from crivane import Database, PyMolecule

    B, N = 3, 4
    source = np.arange(200, dtype=np.float32)
    strided = as_strided(source[6:], (B, N, 3), (N * 12, 12, 4))
    windows = sliding_window_view(np.arange(20.0), 5)[:B, 2]

    class Holder:
        pass
    holder = Holder()
    holder.__array_interface__ = source[:B * N * 3].reshape(B, N, 3).__array_interface__
    ringed = np.asarray(holder)
    holder.base = ringed

    numbers = np.ones((B, N), np.uint8)
    db = Database({str(tmp_path / "db")!r})
    db.add_arrays_batch(strided, numbers, properties={{"w": windows}})
    db.add_arrays_batch(ringed, numbers, energy=np.zeros(B))
    assert all((db[i].positions == strided[i]).all() for i in range(B))
    assert [db[i].get_property("w") for i in range(B)] == list(windows)
    assert all((db[B + i].positions == ringed[i]).all() for i in range(B))
    assert (PyMolecule(strided[1], numbers[1]).positions == strided[1]).all()
    print("read")
    """)
    assert out == "read\n"


@pytest.mark.parametrize("case", FREED_BATCH_INPUTS.values(), ids=FREED_BATCH_INPUTS.keys())
def test_memory_freed_under_an_input_is_refused(tmp_path, run_python, case):
    out = run_python(FREED_PRELUDE + case + FREED_RUN, str(tmp_path / "db"))
    assert out == "input arrays changed while add_arrays_batch was reading them\n5 True\n5\n"


# The same through a Holder: the owner is out of sight, so the call copies such
# an input when it takes it, before any Python code of the caller runs, and
# stores the values it held then. `read` gets them back from a molecule.
HELD_BATCH_INPUTS = {
    "positions, owner freed by a str column": """
owner, view = owned_and_view((B, N, 3), np.float32)
view = held(view)
read = lambda m: m.positions
def call(db):
    db.add_arrays_batch(view, numbers, properties={"k": Strings(lambda: free(owner))})
""",
    "positions in ctypes memory, moved by a str column": """
memory = (ctypes.c_float * (B * N * 3))(*range(B * N * 3))
view = held(np.ctypeslib.as_array(memory).reshape(B, N, 3))
read = lambda m: m.positions
def call(db):
    db.add_arrays_batch(view, numbers, properties={"k": Strings(lambda: (move(memory), refill(view.nbytes)))})
""",
    "positions (general path), owner freed by the names": """
owner, view = owned_and_view((B, N, 3), np.float64)
view = held(view)
read = lambda m: m.positions
def call(db):
    db.add_arrays_batch(view, numbers, name=Strings(lambda: free(owner)))
""",
    "strided 1-D property, owner freed by an earlier str column": """
owner = owner_of(np.float64)
view = held(owner[: 2 * B : 2])
read = lambda m: m.get_property("b")
def call(db):
    db.add_arrays_batch(positions, numbers, properties={"a": Strings(lambda: free(owner)), "b": view})
""",
    "stacked tensor atom property, owner freed by a str column": """
owner, view = owned_and_view((B, N, 2, 2), np.float32)
view = held(view)
read = lambda m: m.get_property("t")
def call(db):
    db.add_arrays_batch(positions, numbers, properties={"a": Strings(lambda: free(owner))},
                        atom_properties={"t": view})
""",
}

HELD_RUN = """
path = sys.argv[1]
expected = view.copy()
db = Database(path)
call(db)
db.flush()
db = Database.open(path)
print(np.array_equal(np.stack([read(db[i]) for i in range(B)]), expected))
"""


@pytest.mark.parametrize("case", HELD_BATCH_INPUTS.values(), ids=HELD_BATCH_INPUTS.keys())
def test_memory_freed_under_an_input_of_unseen_owner_is_not_read(tmp_path, run_python, case):
    assert run_python(FREED_PRELUDE + case + HELD_RUN, str(tmp_path / "db")) == "True\n"
