import copy
import pickle
import random
import re
import struct

import numpy as np
import pytest

import crivane
from crivane import Database, PyMolecule
from crivane._crivane_rs import _molecule_from_pickle_bytes
from conftest import SANITIZED
from databases import new_db
from records import is_view, view_of

N = 3
ARRAY_FIELDS = ["positions", "atomic_numbers", "forces", "charges", "velocities", "cell", "stress"]


def payload_of(mol):
    return mol.__reduce__()[1][0]


def simple(n=N, dtype=np.float32, **fields):
    positions = (np.arange(n * 3, dtype=np.float64).reshape(n, 3) * 0.75 - 1).astype(dtype)
    return PyMolecule(positions, np.arange(1, n + 1, dtype=np.uint8), **fields)


def full(dtype):
    other = np.float64 if dtype == np.float32 else np.float32
    mol = simple(
        dtype=dtype,
        energy=-3.25,
        forces=np.arange(N * 3, dtype=dtype).reshape(N, 3),
        charges=np.linspace(-1, 1, N).astype(other),
        velocities=np.ones((N, 3), other),
        cell=np.eye(3, dtype=dtype) * 4,
        stress=np.arange(9, dtype=other).reshape(3, 3),
        pbc=(True, False, True),
        name="w\u00e4ter",
    )
    mol.set_property("none", None)
    mol.set_property("int", -(2**62))
    mol.set_property("float", 0.1)
    mol.set_property("str", "\u00e9t\u00e9")
    mol.set_property("f64", np.linspace(0, 1, 7))
    mol.set_property("f32", np.arange(2, dtype=np.float32))
    mol.set_property("i64", np.array([2**40]))
    mol.set_property("i32", np.array([-1], np.int32))
    mol.set_property("v3", np.ones((5, 3), np.float32))
    mol.set_property("v64", np.zeros((1, 3)))
    mol.set_property("t32", np.zeros((2, 2, 2), np.float32))
    mol.set_property("t64", np.ones((1, 4)))
    mol.set_property("ti32", np.arange(6, dtype=np.int32).reshape(3, 2))
    mol.set_property("ti64", np.arange(4).reshape(2, 2))
    mol.set_property("q", np.arange(N, dtype=np.float32), scope="atom")
    mol.set_property("grid", np.zeros((N, 2, 3)), scope="atom")
    return mol


def float32_energy():
    # A float32 energy comes only from a record (the setter stores float64).
    payload = bytearray(payload_of(simple(energy=1.0)))
    at = payload.index(struct.pack("<BId", 1, 1, 1.0))
    return _molecule_from_pickle_bytes(bytes(payload[:at]) + struct.pack("<BIf", 1, 0, 0.1) + bytes(payload[at + 13 :]))


MOLECULES = {
    "empty": lambda: PyMolecule(np.zeros((0, 3), np.float32), np.zeros(0, np.uint8)),
    "positions-only": simple,
    "f64-positions": lambda: simple(dtype=np.float64),
    "full-f32": lambda: full(np.float32),
    "full-f64": lambda: full(np.float64),
    "float32-energy": float32_energy,
}

COPIES = {
    **{f"protocol-{p}": (lambda p: lambda m: pickle.loads(pickle.dumps(m, protocol=p)))(p) for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


def assert_same(a, b):
    assert len(a) == len(b)
    for field in ARRAY_FIELDS:
        x, y = getattr(a, field), getattr(b, field)
        assert (x is None) == (y is None), field
        if x is not None:
            assert x.dtype == y.dtype, field
            np.testing.assert_array_equal(x, y, err_msg=field)
    assert (a.energy, a.pbc) == (b.energy, b.pbc)
    assert a.property_keys() == b.property_keys()
    for key in a.property_keys():
        for scope in ("atom", "molecule"):
            assert a.has_property(key, scope=scope) == b.has_property(key, scope=scope)
        x, y = a.get_property(key), b.get_property(key)
        assert type(x) is type(y), key
        if isinstance(x, np.ndarray):
            assert (x.dtype, x.shape) == (y.dtype, y.shape), key
            np.testing.assert_array_equal(x, y, err_msg=key)
        else:
            assert x == y, key
    # The name has no getter; the payloads carry it, byte for byte.
    assert payload_of(a) == payload_of(b)


@pytest.mark.parametrize("how", list(COPIES))
@pytest.mark.parametrize("kind", list(MOLECULES))
def test_copies_keep_every_field(kind, how):
    mol = MOLECULES[kind]()
    again = COPIES[how](mol)
    assert type(again) is PyMolecule and again is not mol
    assert_same(again, mol)
    if kind == "float32-energy":
        assert again.energy == float(np.float32(0.1)) != 0.1
    again.set_property("changed", 1)  # an independent copy
    assert not mol.has_property("changed")


def test_reduce():
    mol = simple()
    function, args = mol.__reduce__()
    assert function is crivane._crivane_rs._molecule_from_pickle_bytes
    assert type(args) is tuple and len(args) == 1 and type(args[0]) is bytes
    assert PyMolecule.__reduce__.__text_signature__ == "($self)"
    assert PyMolecule.__reduce__.__doc__ is None
    assert function.__text_signature__ == "(payload)" and function.__doc__ is None
    assert function.__self__ is crivane._crivane_rs
    assert function.__module__ == "crivane._crivane_rs"
    with pytest.raises(TypeError, match=r"^PyMolecule.__reduce__\(\) takes 0 positional arguments but 1 was given$"):
        mol.__reduce__(2)


# ---- the payload, byte for byte ---------------------------------------------------------

EMPTY = b"\x00" + struct.pack("<IQQ", 0, 0, 0) + b"\x00" * 7 + struct.pack("<QQ", 0, 0)
WORKED = (
    b"\x00"
    + struct.pack("<IQ3f", 0, 1, 1.0, 2.0, 3.0)
    + struct.pack("<Q", 1) + b"\x06"
    + b"\x00"
    + struct.pack("<BId", 1, 1, -1.5)
    + b"\x00" * 5
    + struct.pack("<QQ", 0, 0)
)
TAG_MAP = struct.pack("<QQ", 1, 3) + b"tag" + struct.pack("<Iq", 2, 7)


def tagged_empty():
    mol = MOLECULES["empty"]()
    mol.set_property("tag", 7)
    return mol


@pytest.mark.parametrize(
    "make, expected",
    [
        (MOLECULES["empty"], EMPTY),
        (lambda: PyMolecule(np.array([[1.0, 2.0, 3.0]], np.float32), np.array([6], np.uint8), energy=-1.5), WORKED),
        (tagged_empty, EMPTY[:-8] + TAG_MAP),
    ],
    ids=["empty-44", "worked-69", "tag-map-31"],
)
def test_payload_bytes(make, expected):
    assert (len(EMPTY), len(WORKED), len(TAG_MAP)) == (44, 69, 31)
    payload = payload_of(make())
    assert payload == expected
    assert payload_of(_molecule_from_pickle_bytes(expected)) == expected


def test_trailing_bytes_are_ignored_and_subclasses_accepted():
    class Payload(bytes):
        pass

    mol = full(np.float64)
    payload = payload_of(mol)
    assert_same(_molecule_from_pickle_bytes(payload + b"\x02garbage"), mol)
    assert_same(_molecule_from_pickle_bytes(Payload(payload)), mol)
    assert_same(_molecule_from_pickle_bytes(payload=payload), mol)


@pytest.mark.parametrize(
    "arg, type_name",
    [(bytearray(EMPTY), "bytearray"), (memoryview(EMPTY), "memoryview"), ("x", "str"), (None, "NoneType")],
)
def test_payload_must_be_bytes(arg, type_name):
    with pytest.raises(TypeError) as excinfo:
        _molecule_from_pickle_bytes(arg)
    assert str(excinfo.value) == f"argument 'payload': '{type_name}' object cannot be converted to 'PyBytes'"


def test_payload_argument_binding():
    with pytest.raises(TypeError, match=r"^_molecule_from_pickle_bytes\(\) missing 1 required positional argument: 'payload'$"):
        _molecule_from_pickle_bytes()
    with pytest.raises(TypeError, match=r"^_molecule_from_pickle_bytes\(\) got an unexpected keyword argument 'data'$"):
        _molecule_from_pickle_bytes(data=EMPTY)


EOF = "Failed to deserialize molecule: io error: unexpected end of file"


@pytest.mark.parametrize(
    "payload, message",
    [
        (b"", EOF),
        (WORKED[:30], EOF),
        (WORKED[:-1], EOF),
        (b"\x01" + struct.pack("<Q", 50) + b"abc", "Failed to deserialize molecule: io error: "),
        (b"\x02" + EMPTY[1:], "Failed to deserialize molecule: tag for enum is not valid, found 2"),
        (b"\x00" + struct.pack("<I", 7) + EMPTY[5:], "Failed to deserialize molecule: invalid value: integer `7`, expected variant index 0 <= i < 2"),
        (b"\x01" + struct.pack("<Q", 2) + b"\xc3\x28" + EMPTY[1:], "Failed to deserialize molecule: string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\x00" + struct.pack("<IQ", 0, 2**60) + b"\x00" * 64, EOF),
    ],
    ids=["empty", "cut", "one-short", "name-too-long", "tag-2", "variant-7", "utf8", "2^60-rows"],
)
def test_refused_payloads(payload, message):
    with pytest.raises(ValueError) as excinfo:
        _molecule_from_pickle_bytes(payload)
    assert str(excinfo.value) == message


# What a damaged payload may raise: one of the reader's texts.
DECODE_ERROR = re.compile(
    r"Failed to deserialize molecule: (io error: (unexpected end of file)?"
    r"|tag for enum is not valid, found \d+"
    r"|invalid u8 while decoding bool, expected 0 or 1, found \d+"
    r"|invalid value: integer `\d+`, expected variant index 0 <= i < (2|4|11)"
    r"|string is not valid utf8: (invalid utf-8 sequence of [123] bytes|incomplete utf-8 byte sequence) from index \d+)\Z"
)


def exercise(mol, folder):
    """Every accessor either answers or raises a ValueError; pickling always works."""
    for field in ARRAY_FIELDS + ["energy", "pbc"]:
        getattr(mol, field)
    mol.atoms()
    repr(mol)
    for i in range(min(len(mol), 4)):
        try:
            mol[i]
        except ValueError as exc:
            assert str(exc) == "Failed to read atom from owned molecule"
    keys = mol.property_keys()
    for key in keys:
        try:
            mol.get_property(key)
        except ValueError:
            pass
    try:
        mol._ase_payload()
    except ValueError:
        pass
    assert payload_of(pickle.loads(pickle.dumps(mol))) == payload_of(mol)


def test_damaged_payloads_give_a_molecule_or_the_reader_error(tmp_path):
    base = payload_of(full(np.float64))
    rng = random.Random(1234)
    damaged = [base[:n] for n in range(len(base))]
    damaged += [bytes(base[:i]) + bytes([base[i] ^ (1 << b)]) + base[i + 1 :] for i in range(len(base)) for b in range(8)]
    for _ in range(2000):
        data = bytearray(base)
        for _ in range(rng.randint(2, 6)):
            data[rng.randrange(len(data))] = rng.choice([0, 1, 2, 0xFF, rng.randrange(256)])
        damaged.append(bytes(data))
    outcomes = {"molecule": 0, "error": 0}
    for data in damaged:
        try:
            mol = _molecule_from_pickle_bytes(data)
        except ValueError as exc:
            assert DECODE_ERROR.match(str(exc)), str(exc)
            outcomes["error"] += 1
            continue
        outcomes["molecule"] += 1
        exercise(mol, tmp_path)
    assert outcomes["molecule"] > 100 and outcomes["error"] > 100


@pytest.mark.skipif(SANITIZED, reason="ASan reserves more address space than the limit leaves")
def test_running_out_of_memory_while_decoding_is_a_memory_error(run_python):
    out = run_python("""
    import resource
    import numpy as np
    from crivane import PyMolecule
    from crivane._crivane_rs import _molecule_from_pickle_bytes

    n = 4_000_000
    (payload,) = PyMolecule(np.zeros((n, 3)), np.ones(n, np.uint8)).__reduce__()[1]
    with open("/proc/self/status") as f:
        used = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (used + (32 << 20), used + (32 << 20)))
    try:
        _molecule_from_pickle_bytes(payload)
    except MemoryError:
        print("MemoryError")
    """)
    assert out == "MemoryError\n"


def test_lists_that_disagree_with_the_atom_count_decode_then_fail_to_append(tmp_path):
    # Two atoms, one atomic number; a key in both maps; a tensor too short for its shape.
    good = simple(2)
    payload = payload_of(good)
    numbers = struct.pack("<Q", 2) + bytes([1, 2])
    assert payload.count(numbers) == 1
    short = payload.replace(numbers, struct.pack("<Q", 1) + bytes([1]))
    mol = _molecule_from_pickle_bytes(short)
    assert len(mol) == 2 and mol.positions.shape == (2, 3)
    np.testing.assert_array_equal(mol.atomic_numbers, [1])
    assert mol[0].atomic_number == 1
    with pytest.raises(ValueError, match="^Failed to read atom from owned molecule$"):
        mol[1]
    assert len(mol.atoms()) == 1
    db = Database(str(tmp_path / "short.db"))
    with pytest.raises(ValueError) as excinfo:
        db.add_molecule(mol)
    assert str(excinfo.value) == "Invalid data: Atomic numbers length (1) doesn't match atom count (2)"

    head = payload[:-16]  # everything before the two (empty) maps
    atom_k = struct.pack("<QQ", 1, 1) + b"k" + struct.pack("<IQ", 4, 0)  # atom_properties {k: []}
    mol_k = struct.pack("<QQ", 1, 1) + b"k" + struct.pack("<I", 0)  # properties {k: None}
    mol_t = struct.pack("<QQ", 1, 1) + b"t" + struct.pack("<IIQQQd", 10, 1, 1, 5, 1, 2.0)  # shape [5], one value
    both = _molecule_from_pickle_bytes(head + atom_k + mol_k)
    assert both.property_keys() == ["k", "k"]
    with pytest.raises(ValueError, match="^Property 'k' exists in both molecule and atom scopes$"):
        both.get_property("k")
    tensor = _molecule_from_pickle_bytes(head + struct.pack("<Q", 0) + mol_t)
    with pytest.raises(ValueError, match=r"^ValueError: cannot reshape array of size 1 into shape \(5,\)$"):
        tensor.get_property("t")
    for odd in (both, tensor):
        with pytest.raises(ValueError, match="^Invalid data: "):
            db.add_molecule(odd)
    assert len(db) == 0
    both.delete_property("k")
    assert both.property_keys() == []
    db.add_molecule(both)


# ---- views -------------------------------------------------------------------------------


@pytest.mark.parametrize("mmap", [True, False], ids=["mmap", "file"])
def test_a_view_pickles_to_an_owned_molecule_and_stays_a_view(tmp_path, mmap):
    mol = full(np.float32)
    view = view_of(tmp_path, mol, mmap=mmap)
    for how in COPIES.values():
        again = how(view)
        assert_same(again, mol)
        again.set_property("changed", 1.0)  # owned: it takes writes; the view is untouched
    assert not view.has_property("changed")
    assert payload_of(view) == payload_of(mol)
    assert is_view(view, tmp_path)


def test_a_view_that_does_not_materialize_does_not_pickle(tmp_path):
    mol = simple()
    mol.set_property("bad", np.zeros(3, np.float32))
    view = view_of(tmp_path, mol, [(b"\x02\x03bad\x06", b"\x02\x03bad\x03")])
    for how in COPIES.values():
        with pytest.raises(ValueError) as excinfo:
            how(view)
        assert str(excinfo.value) == "Invalid f64 array payload length"
    assert view.energy is None and len(view) == N


def test_pickles_of_a_view_go_back_into_a_database(tmp_path):
    path = tmp_path / "again.db"
    view = view_of(tmp_path, full(np.float64))
    new_db(path, [pickle.loads(pickle.dumps(view))], compression="zstd")
    assert_same(Database.open(str(path))[0], view)


def test_a_fresh_interpreter_unpickles_by_the_dotted_name(run_python):
    data = pickle.dumps(full(np.float32))
    out = run_python(
        f"""
        import pickle, sys
        mol = pickle.loads({data!r})
        print(type(mol).__module__, len(mol), "numpy" in sys.modules, mol.property_keys()[:2])
        """
    )
    assert out == "builtins 3 False ['f32', 'f64']\n"
