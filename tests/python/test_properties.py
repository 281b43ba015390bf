import decimal
import pickle

import numpy as np
import pytest

from conftest import traced_growth
from crivane import Database, PyAtom, PyMolecule
from databases import new_db
from records import is_view, view_of

N = 4


def molecule(n=N, dtype=np.float32, **fields):
    positions = (np.arange(n * 3, dtype=np.float64).reshape(n, 3) - 2.5).astype(dtype)
    return PyMolecule(positions, np.arange(1, n + 1, dtype=np.uint8), **fields)


def assert_value(got, expected):
    """Equal values of the same Python type, and for arrays the same dtype and shape."""
    assert type(got) is type(expected), (got, expected)
    if isinstance(expected, np.ndarray):
        assert got.dtype == expected.dtype and got.shape == expected.shape
        np.testing.assert_array_equal(got, expected)
    else:
        assert got == expected


class Index:
    """An integer whose conversion runs a callback (set_property converts
    values while it holds the molecule exclusively)."""

    def __init__(self, value, callback):
        self.value, self.callback = value, callback

    def __index__(self):
        self.callback()
        return self.value


# What set_property stores, and what get_property gives back.
VALUES = [
    ("none", None, None),
    ("int", 3, 3),
    ("bool", True, 1),
    ("big-int", 2**63, 9.223372036854776e18),
    ("float", 1.5, 1.5),
    ("np-float32", np.float32(0.1), float(np.float32(0.1))),
    ("str", "\u00e9t\u00e9 \U0001f600", "\u00e9t\u00e9 \U0001f600"),
    ("empty-str", "", ""),
    ("f64", np.linspace(0, 1, 5), np.linspace(0, 1, 5)),
    ("f32", np.arange(3, dtype=np.float32), np.arange(3, dtype=np.float32)),
    ("i64", np.array([-(2**62), 7]), np.array([-(2**62), 7])),
    ("i32", np.array([1, -2, 3], np.int32), np.array([1, -2, 3], np.int32)),
    ("vec3-f32", np.ones((2, 3), np.float32) * 0.5, np.ones((2, 3), np.float32) * 0.5),
    ("vec3-f64", np.arange(6.0).reshape(2, 3), np.arange(6.0).reshape(2, 3)),
    ("vec3-empty", np.zeros((0, 3), np.float32), np.zeros((0, 3), np.float32)),
    ("tensor-f32", np.arange(8, dtype=np.float32).reshape(2, 2, 2), np.arange(8, dtype=np.float32).reshape(2, 2, 2)),
    ("tensor-f64", np.arange(6.0).reshape(2, 3).T, np.arange(6.0).reshape(2, 3).T.copy()),
    ("tensor-i32", np.arange(12, dtype=np.int32).reshape(3, 4), np.arange(12, dtype=np.int32).reshape(3, 4)),
    ("tensor-i64", np.arange(4).reshape(1, 2, 2, 1), np.arange(4).reshape(1, 2, 2, 1)),
    ("tensor-empty", np.zeros((2, 0), np.float64), np.zeros((2, 0), np.float64)),
    ("empty-f64", np.zeros(0), np.zeros(0)),
]
VALUE_IDS = [v[0] for v in VALUES]

# Per-atom values for a molecule of N atoms, as stored and read back.
ATOM_VALUES = [
    ("f64", np.linspace(0, 1, N)),
    ("f32", np.arange(N, dtype=np.float32)),
    ("i64", np.arange(N, dtype=np.int64) - 2),
    ("i32", np.arange(N, dtype=np.int32)),
    ("vec3-f32", np.arange(N * 3, dtype=np.float32).reshape(N, 3)),
    ("vec3-f64", np.arange(N * 3, dtype=np.float64).reshape(N, 3)),
    ("tensor", np.arange(N * 4, dtype=np.float32).reshape(N, 2, 2)),
    ("tensor-i64", np.arange(N * 2, dtype=np.int64).reshape(N, 2)),
]


def every_variant(n=N):
    mol = molecule(n)
    for name, value, _ in VALUES:
        mol.set_property("m-" + name, value)
    for name, value in ATOM_VALUES:
        mol.set_property("a-" + name, value, scope="atom")
    return mol


def expected_properties():
    out = {"m-" + name: expected for name, _, expected in VALUES}
    out.update({"a-" + name: value for name, value in ATOM_VALUES})
    return out


# ---- the class surface -----------------------------------------------------------


def test_signatures_and_docstrings():
    members = {
        "get_property": ("($self, key)", "Get a custom property by key"),
        "set_property": ("($self, key, value, *, scope=None)", "Set a custom property"),
        "property_keys": ("($self, *, scope=None)", "Get all property keys"),
        "has_property": ("($self, key, *, scope=None)", "Check if a property exists"),
        "delete_property": ("($self, key)", "Delete a custom property by key."),
    }
    got = {name: (getattr(PyMolecule, name).__text_signature__, getattr(PyMolecule, name).__doc__) for name in members}
    assert got == members


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda m: m.get_property(1), TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"),
        (lambda m: m.set_property(b"k", 1), TypeError, "argument 'key': 'bytes' object cannot be converted to 'PyString'"),
        (lambda m: m.has_property(None), TypeError, "argument 'key': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda m: m.delete_property(1.0), TypeError, "argument 'key': 'float' object cannot be converted to 'PyString'"),
        (lambda m: m.set_property("k", 1, scope=1), TypeError, "argument 'scope': 'int' object cannot be converted to 'PyString'"),
        (lambda m: m.property_keys(scope=b"atom"), TypeError, "argument 'scope': 'bytes' object cannot be converted to 'PyString'"),
        (lambda m: m.set_property("k", 1, "atom"), TypeError, "PyMolecule.set_property() takes 2 positional arguments but 3 were given"),
        (lambda m: m.get_property(), TypeError, "PyMolecule.get_property() missing 1 required positional argument: 'key'"),
        (lambda m: m.property_keys("atom"), TypeError, "PyMolecule.property_keys() takes 0 positional arguments but 1 was given"),
        (lambda m: m.has_property("k", kind="atom"), TypeError, "PyMolecule.has_property() got an unexpected keyword argument 'kind'"),
        (lambda m: m.delete_property("k", key="k"), TypeError, "PyMolecule.delete_property() got multiple values for argument 'key'"),
        (lambda m: m.set_property("k", 1, scope="Atom"), ValueError, "scope must be 'molecule' or 'atom', got 'Atom'"),
        (lambda m: m.has_property("k", scope=""), ValueError, "scope must be 'molecule' or 'atom', got ''"),
        (lambda m: m.property_keys(scope="molecules"), ValueError, "scope must be 'molecule' or 'atom', got 'molecules'"),
        (lambda m: m.set_property("stress", np.eye(3)), ValueError, "'stress' is a reserved field; use molecule.stress instead"),
        (lambda m: m.set_property("stress", np.zeros(N), scope="atom"), ValueError, "'stress' is a reserved field; use molecule.stress instead"),
        (lambda m: m.set_property("k", [1.0]), ValueError, "Unsupported property type. Supported: None, float, int, str, and numeric ndarray with dtype float32, float64, int32, or int64"),
        (lambda m: m.get_property("missing"), KeyError, "Property 'missing' not found"),
        (lambda m: m["missing"], KeyError, "Property 'missing' not found"),
        (lambda m: m.delete_property("missing"), KeyError, "Property 'missing' not found"),
    ],
)
def test_argument_and_value_refusals(call, error, message):
    mol = molecule()
    mol.set_property("k", 1.0)
    with pytest.raises(error) as excinfo:
        call(mol)
    assert excinfo.value.args == (message,)
    assert mol.property_keys() == ["k"] and mol.get_property("k") == 1.0


# ---- setting and reading ---------------------------------------------------------


def test_a_float_under_a_new_key_is_a_molecule_property():
    mol = molecule()
    assert mol.set_property("x", 1.5) is None
    assert mol.get_property("x") == 1.5 and mol["x"] == 1.5
    assert mol.has_property("x") and mol.has_property("x", scope="molecule")
    assert not mol.has_property("x", scope="atom")
    assert mol.property_keys() == ["x"] == mol.property_keys(scope="molecule")
    assert mol.property_keys(scope="atom") == []


def test_builtin_names_other_than_stress_are_free_keys():
    mol = molecule(energy=-2.0)
    mol.set_property("energy", 1.0)
    mol.set_property("forces", np.zeros(N), scope="atom")
    assert mol.energy == -2.0 and mol.forces is None
    assert mol.property_keys() == ["energy", "forces"]


@pytest.mark.parametrize("name, value, expected", VALUES, ids=VALUE_IDS)
def test_values_read_back_by_type(name, value, expected):
    mol = molecule()
    mol.set_property("k", value)
    assert_value(mol.get_property("k"), expected)
    assert_value(mol["k"], expected)


UNSUPPORTED = (
    "Unsupported property type. Supported: None, float, int, str, and numeric ndarray with dtype "
    "float32, float64, int32, or int64"
)


def hooks(**results):
    """An object with only the conversion hooks named (index=, float=), each
    returning the value given or raising the exception given."""

    def hook(result):
        def call(self):
            if isinstance(result, BaseException):
                raise result
            return result

        return call

    return type("Hooks", (), {f"__{name}__": hook(result) for name, result in results.items()})()


def two_element_tensor():
    return pytest.importorskip("torch").tensor([1.0, 2.0])


STOP, FULL, BYE, CLOSED = KeyboardInterrupt("stop"), MemoryError("full"), SystemExit(3), GeneratorExit()

# (what, a maker of the value, the stored value, or the exception raised)
HOSTILE_VALUES = [
    # A failed attempt leaves nothing behind: the next kind of value is tried.
    ("index raises ValueError", lambda: hooks(index=ValueError("no"), float=2.5), 2.5),
    ("index raises RuntimeError", lambda: hooks(index=RuntimeError("no"), float=2.5), 2.5),
    ("index raises KeyError", lambda: hooks(index=KeyError("k"), float=-1.0), -1.0),
    ("float raises RuntimeError", lambda: hooks(float=RuntimeError("no")), ValueError(UNSUPPORTED)),
    ("both raise", lambda: hooks(index=ValueError("no"), float=ArithmeticError("no")), ValueError(UNSUPPORTED)),
    ("signaling NaN", lambda: decimal.Decimal("sNaN"), ValueError(UNSUPPORTED)),
    ("2-element torch tensor", two_element_tensor, ValueError(UNSUPPORTED)),
    # These say nothing about the value: they reach the caller as raised.
    ("index interrupted", lambda: hooks(index=STOP, float=2.5), STOP),
    ("float interrupted", lambda: hooks(float=STOP), STOP),
    ("index out of memory", lambda: hooks(index=FULL, float=2.5), FULL),
    ("float out of memory", lambda: hooks(float=FULL), FULL),
    ("index exits", lambda: hooks(index=BYE, float=2.5), BYE),
    ("float closed", lambda: hooks(float=CLOSED), CLOSED),
]


@pytest.mark.parametrize("what, make, expected", HOSTILE_VALUES, ids=[v[0] for v in HOSTILE_VALUES])
def test_conversion_hooks_that_raise(what, make, expected):
    mol = molecule()
    value = make()
    if not isinstance(expected, BaseException):
        mol.set_property("k", value)
        assert_value(mol.get_property("k"), expected)
        return
    with pytest.raises(BaseException) as excinfo:
        mol.set_property("k", value)
    if isinstance(expected, ValueError):
        assert (type(excinfo.value), excinfo.value.args) == (type(expected), expected.args)
    else:
        assert excinfo.value is expected
    assert mol.property_keys() == []


def test_arrays_are_copies_both_ways():
    mol = molecule()
    given = np.arange(N, dtype=np.float64)
    mol.set_property("a", given, scope="atom")
    given[:] = -1
    first = mol.get_property("a")
    first[:] = 99
    second = mol.get_property("a")
    np.testing.assert_array_equal(second, np.arange(N, dtype=np.float64))
    assert not np.shares_memory(first, second) and second.flags.writeable


def test_property_keys_sort_bytes_across_scopes():
    mol = molecule()
    mol.set_property("b", 1)
    mol.set_property("a", 2)
    mol.set_property("ab", np.zeros(N), scope="atom")
    mol.set_property("\u00e9", 3)  # UTF-8 c3 a9 sorts after every ASCII key
    mol.set_property("B", 4)
    assert mol.property_keys() == ["B", "a", "ab", "b", "\u00e9"]
    assert mol.property_keys(scope="atom") == ["ab"]
    assert mol.property_keys(scope="molecule") == ["B", "a", "b", "\u00e9"]
    assert mol.property_keys() is not mol.property_keys()


# ---- the per-atom route and scope conflicts ------------------------------------------


NUMERIC = "Atom property 'p' must be a numeric ndarray with first dimension equal to atom count (4)"


@pytest.mark.parametrize(
    "value, message",
    [
        (np.zeros(5), "Atom property 'p' first dimension (5) doesn't match atom count (4)"),
        (np.zeros(3, np.int32), "Atom property 'p' first dimension (3) doesn't match atom count (4)"),
        (np.zeros((5, 3), np.float32), "Atom property 'p' first dimension (5) doesn't match atom count (4)"),
        (np.zeros((3, 2, 2)), "Atom property 'p' first dimension (3) doesn't match atom count (4)"),
        (np.zeros((0, 4)), "Atom property 'p' first dimension (0) doesn't match atom count (4)"),
        (3, NUMERIC),
        (2.5, NUMERIC),
        ("text", NUMERIC),
        (None, NUMERIC),
        (np.array(1.5, np.float32), NUMERIC),  # 0-D: the float step takes it
    ],
)
def test_per_atom_values_must_cover_the_atoms(value, message):
    mol = molecule()
    with pytest.raises(ValueError) as excinfo:
        mol.set_property("p", value, scope="atom")
    assert str(excinfo.value) == message
    assert mol.property_keys() == []


@pytest.mark.parametrize("name, value", ATOM_VALUES, ids=[v[0] for v in ATOM_VALUES])
def test_per_atom_values_of_every_kind(name, value):
    mol = molecule()
    mol.set_property("p", value, scope="atom")
    assert mol.property_keys(scope="atom") == ["p"]
    assert_value(mol.get_property("p"), value)


def test_a_per_atom_key_set_again_without_scope_stays_per_atom():
    mol = molecule()
    mol.set_property("p", np.zeros(N), scope="atom")
    mol.set_property("p", np.ones(N, np.float32))
    assert mol.property_keys(scope="atom") == ["p"]
    assert_value(mol.get_property("p"), np.ones(N, np.float32))
    with pytest.raises(ValueError) as excinfo:
        mol.set_property("p", np.ones(N + 1))
    assert str(excinfo.value) == "Atom property 'p' first dimension (5) doesn't match atom count (4)"
    with pytest.raises(ValueError) as excinfo:
        mol.set_property("p", 1.0, scope="molecule")
    assert str(excinfo.value) == (
        "Property 'p' already exists as an atom property; delete it before setting molecule scope"
    )
    mol.set_property("m", np.zeros(N))  # no scope: per molecule, whatever its length
    with pytest.raises(ValueError) as excinfo:
        mol.set_property("m", np.zeros(N), scope="atom")
    assert str(excinfo.value) == (
        "Property 'm' already exists as a molecule property; delete it before setting atom scope"
    )
    mol.set_property("m", "replaced", scope="molecule")
    assert mol.property_keys(scope="molecule") == ["m"] and mol["m"] == "replaced"
    assert_value(mol["p"], np.ones(N, np.float32))


def test_delete_property():
    mol = molecule()
    mol.set_property("m", 1)
    mol.set_property("a", np.zeros(N), scope="atom")
    assert mol.delete_property("m") is None
    assert mol.delete_property("a") is None
    assert mol.property_keys() == []
    with pytest.raises(KeyError):
        mol.delete_property("a")


# ---- item access -------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(
    "key, atom",
    [(0, 0), (2, 2), (-1, 2), (-3, 0), (True, 1), (False, 0), (np.int64(1), 1), (np.uint8(2), 2)],
)
def test_integer_keys_give_atoms(dtype, key, atom):
    mol = molecule(3, dtype)
    got = mol[key]
    assert type(got) is PyAtom
    assert got.atomic_number == atom + 1
    assert got.position() == tuple(float(np.float32(v)) for v in mol.positions[atom])


@pytest.mark.parametrize(
    "key, error, message",
    [
        (3, IndexError, "Atom index 3 out of bounds for molecule of length 3"),
        (-4, IndexError, "Atom index -4 out of bounds for molecule of length 3"),
        (2**62, IndexError, "Atom index 4611686018427387904 out of bounds for molecule of length 3"),
        (1.0, TypeError, "Molecule indices must be integers or strings"),
        (None, TypeError, "Molecule indices must be integers or strings"),
        ([0], TypeError, "Molecule indices must be integers or strings"),
        (b"k", TypeError, "Molecule indices must be integers or strings"),
        (2**70, TypeError, "Molecule indices must be integers or strings"),
        (-(2**70), TypeError, "Molecule indices must be integers or strings"),
        (np.float64(0), TypeError, "Molecule indices must be integers or strings"),
    ],
)
def test_refused_item_keys(key, error, message):
    mol = molecule(3)
    with pytest.raises(error) as excinfo:
        mol[key]
    assert str(excinfo.value) == message


INDICES = "Molecule indices must be integers or strings"

# (what the key's __index__ raises, the TypeError text, or None when the
# exception itself reaches the caller)
RAISING_INDICES = [
    # A hook that fails in an ordinary way makes the key no integer.
    (TypeError("no"), INDICES),
    (ValueError("no"), INDICES),
    (KeyError("k"), INDICES),
    (RuntimeError("no"), INDICES),
    # These say nothing about the key.
    (KeyboardInterrupt("stop"), None),
    (MemoryError(), None),
    (SystemExit(3), None),
]


@pytest.mark.parametrize("error, message", RAISING_INDICES, ids=[type(e).__name__ for e, _ in RAISING_INDICES])
def test_an_index_hook_that_raises(error, message):
    with pytest.raises(BaseException) as excinfo:
        molecule(3)[hooks(index=error)]
    if message is None:
        assert excinfo.value is error
    else:
        assert type(excinfo.value) is TypeError and str(excinfo.value) == message


def test_item_access_on_an_empty_molecule_and_through_a_str_subclass():
    empty = PyMolecule(np.zeros((0, 3), np.float32), np.zeros(0, np.uint8))
    with pytest.raises(IndexError, match="^Atom index 0 out of bounds for molecule of length 0$"):
        empty[0]

    class Key(str):
        pass

    mol = molecule()
    mol.set_property("k", 5)
    assert mol[Key("k")] == 5 and mol.get_property(Key("k")) == 5


# ---- views -----------------------------------------------------------------------------


def test_reads_leave_a_view_a_view(tmp_path):
    view = view_of(tmp_path, every_variant())
    expected = expected_properties()
    assert view.property_keys() == sorted(expected, key=str.encode)
    for key, value in expected.items():
        assert_value(view.get_property(key), value)
        assert_value(view[key], value)
        scope = "atom" if key.startswith("a-") else "molecule"
        assert view.has_property(key) and view.has_property(key, scope=scope)
        assert not view.has_property(key, scope={"atom": "molecule", "molecule": "atom"}[scope])
    with pytest.raises(KeyError):
        view.get_property("nothing")
    assert view[-1].atomic_number == N
    assert is_view(view, tmp_path)


@pytest.mark.parametrize(
    "change, error, message, owned",
    [
        (lambda v: v.set_property("k", 1, scope="Atom"), ValueError, "scope must be 'molecule' or 'atom', got 'Atom'", False),
        (lambda v: v.set_property("stress", 1.0), ValueError, "'stress' is a reserved field; use molecule.stress instead", False),
        (lambda v: v.set_property("k", object()), ValueError, None, False),
        (lambda v: v.set_property("x", 1, scope="atom"), ValueError, NUMERIC.replace("'p'", "'x'"), True),
        (lambda v: v.set_property("m-int", 1, scope="atom"), ValueError, "Property 'm-int' already exists as a molecule property; delete it before setting atom scope", True),
        (lambda v: v.delete_property("nothing"), KeyError, "Property 'nothing' not found", True),
        (lambda v: v.set_property("new", 2.0), None, None, True),
        (lambda v: v.delete_property("m-int"), None, None, True),
    ],
)
def test_writes_make_a_view_owned_at_their_step(tmp_path, change, error, message, owned):
    mol = molecule()
    mol.set_property("m-int", 7)
    view = view_of(tmp_path, mol)
    if error is None:
        change(view)
    else:
        with pytest.raises(error) as excinfo:
            change(view)
        if message is not None:
            assert excinfo.value.args == (message,)
    assert is_view(view, tmp_path) is not owned


def test_a_key_in_both_scopes_of_a_view(tmp_path):
    mol = molecule()
    mol.set_property("ka", np.arange(N, dtype=np.float64), scope="atom")
    mol.set_property("kb", np.arange(N, dtype=np.float64) + 10)
    view = view_of(tmp_path, mol, [(b"\x02\x02kb", b"\x02\x02ka")])
    for read in (lambda: view.get_property("ka"), lambda: view["ka"]):
        with pytest.raises(ValueError) as excinfo:
            read()
        assert str(excinfo.value) == "Property 'ka' exists in both molecule and atom scopes"
    assert view.has_property("ka") and view.has_property("ka", scope="atom")
    assert view.property_keys() == ["ka", "ka"]
    owned = view.to_owned()
    assert owned.property_keys() == ["ka", "ka"]
    with pytest.raises(ValueError, match="exists in both molecule and atom scopes"):
        owned.set_property("ka", 1.0)
    view.delete_property("ka")
    assert view.property_keys() == []


def test_two_sections_of_one_key_read_the_first(tmp_path):
    mol = molecule()
    mol.set_property("k1", 1)
    mol.set_property("k2", 2)
    view = view_of(tmp_path, mol, [(b"\x02\x02k2", b"\x02\x02k1")])
    assert view.property_keys() == ["k1", "k1"]
    assert view.get_property("k1") == 1
    assert view.to_owned().get_property("k1") == 2  # materializing keeps the later one


# Sections of the record edited in place: (property value, old bytes, new bytes).
F32x3 = np.array([1.0, 0.0, 0.0], np.float32)
F32x3_BYTES = F32x3.tobytes()


def tag_edit(key, old_tag, new_tag):
    return bytes([2, len(key)]) + key.encode() + bytes([old_tag]), bytes([2, len(key)]) + key.encode() + bytes([new_tag])


MALFORMED = [
    ("tag 3, 12 bytes", F32x3, tag_edit("bad", 6, 3), "Byte length 12 is not a multiple of element size 8", "Invalid f64 array payload length"),
    ("tag 5, 12 bytes", F32x3, tag_edit("bad", 6, 5), "Byte length 12 is not a multiple of element size 8", "Invalid i64 array payload length"),
    ("tag 0, 12 bytes", F32x3, tag_edit("bad", 6, 0), "Invalid f64 payload length", "Invalid f64 payload length"),
    ("tag 1, 12 bytes", F32x3, tag_edit("bad", 6, 1), "Invalid i64 payload length", "Invalid i64 payload length"),
    ("tag 7, 12 bytes", F32x3, tag_edit("bad", 6, 7), "Invalid vec3<f64> payload length", "Invalid vec3<f64> payload length"),
    ("tag 13, 12 bytes", F32x3, tag_edit("bad", 6, 13), "Null property payload must be empty", "Null property payload must be empty"),
    ("tag 9", F32x3, tag_edit("bad", 6, 9), "Unsupported property type tag 9", "Unsupported property type tag 9"),
    ("tag 200", F32x3, tag_edit("bad", 6, 200), "Unsupported property type tag 200", "Unsupported property type tag 200"),
    ("string", "abc", (b"abc", b"ab\xff"), "Invalid UTF-8 in string property", "Invalid UTF-8 in string property"),
    ("tensor", F32x3, tag_edit("bad", 6, 14), "Invalid data: ", "Invalid data: "),
]


@pytest.mark.parametrize("name, value, edit, read_error, materialize_error", MALFORMED, ids=[m[0] for m in MALFORMED])
def test_a_malformed_section_fails_only_when_read(tmp_path, name, value, edit, read_error, materialize_error):
    mol = molecule(energy=-1.0)
    mol.set_property("bad", value)
    mol.set_property("good", np.arange(N, dtype=np.float64), scope="atom")
    mol.set_property("z", "after")
    view = view_of(tmp_path, mol, [edit])
    # The other sections never decode the bad one.
    np.testing.assert_array_equal(view.get_property("good"), np.arange(N, dtype=np.float64))
    assert view["z"] == "after" and view.has_property("bad")
    assert view.property_keys() == ["bad", "good", "z"]
    assert view.energy == -1.0 and view[0].atomic_number == 1
    for read in (lambda: view.get_property("bad"), lambda: view["bad"]):
        with pytest.raises(ValueError) as excinfo:
            read()
        assert str(excinfo.value).startswith(read_error)
    for materialize in (view.to_owned, lambda: view.set_property("new", 1), lambda: view.delete_property("z")):
        with pytest.raises(ValueError) as excinfo:
            materialize()
        assert str(excinfo.value).startswith(materialize_error)
    assert view["z"] == "after"  # still the same view


def test_a_section_key_that_is_not_utf8(tmp_path):
    mol = molecule()
    mol.set_property("ok", 1)
    mol.set_property("kk", np.zeros(N), scope="atom")
    view = view_of(tmp_path, mol, [(b"\x01\x02kk", b"\x01\x02k\xff")])
    # Reads look in both scopes; has_property stops at the first scope that has the key.
    assert view.has_property("ok") and view.has_property("ok", scope="molecule")
    for call in (lambda: view.get_property("ok"), lambda: view["ok"], lambda: view.property_keys(),
                 lambda: view.has_property("x"), lambda: view.property_keys(scope="atom"), view._ase_payload):
        with pytest.raises(ValueError) as excinfo:
            call()
        assert str(excinfo.value) == "Invalid UTF-8 in section key"
    assert view.property_keys(scope="molecule") == ["ok"]


# ---- through a database --------------------------------------------------------------


@pytest.mark.parametrize("codec", ["none", "lz4", "zstd"])
@pytest.mark.parametrize("mmap", [True, False], ids=["mmap", "file"])
def test_every_variant_through_a_database(tmp_path, codec, mmap):
    path = tmp_path / f"props-{codec}.db"
    molecules = [every_variant(), every_variant(N)]
    molecules[1].set_property("m-int", -5)
    new_db(path, molecules, compression=codec)
    db = Database.open(str(path), mmap=mmap)
    expected = expected_properties()
    for got, mol in zip(db.get_molecules([0, 1]), molecules):
        assert got.property_keys() == mol.property_keys() == sorted(expected, key=str.encode)
        for key in expected:
            assert_value(got.get_property(key), mol.get_property(key))
        owned = got.to_owned()
        for key in expected:
            assert_value(owned.get_property(key), mol.get_property(key))


# ---- borrows ----------------------------------------------------------------------------


def test_calls_during_a_set_property_conversion(tmp_path):
    mol = molecule()
    mol.set_property("k", 1.0)
    seen = {}

    def attempt(name, call):
        try:
            seen[name] = ("returned", call())
        except BaseException as exc:  # PanicException derives from BaseException
            seen[name] = (type(exc).__name__, str(exc))

    def during():
        attempt("get_property", lambda: mol.get_property("k"))
        attempt("get_property non-str", lambda: mol.get_property(1))
        attempt("getitem", lambda: mol["k"])
        attempt("getitem int", lambda: mol[0])
        attempt("has_property", lambda: mol.has_property("k"))
        attempt("property_keys", lambda: mol.property_keys())
        attempt("set_property", lambda: mol.set_property("j", 1))
        attempt("delete_property", lambda: mol.delete_property("k"))
        attempt("ase", lambda: mol._ase_payload())
        attempt("reduce", lambda: mol.__reduce__())

    mol.set_property("n", Index(3, during))
    assert mol.get_property("n") == 3
    panic = ("PanicException", "Already mutably borrowed")
    assert seen == {
        "get_property": panic,
        "get_property non-str": ("TypeError", "argument 'key': 'int' object cannot be converted to 'PyString'"),
        "getitem": panic,
        "getitem int": panic,
        "has_property": ("RuntimeError", "Already mutably borrowed"),
        "property_keys": ("RuntimeError", "Already mutably borrowed"),
        "set_property": ("RuntimeError", "Already borrowed"),
        "delete_property": ("RuntimeError", "Already borrowed"),
        "ase": ("RuntimeError", "Already mutably borrowed"),
        "reduce": panic,
    }
    assert mol.property_keys() == ["k", "n"]


# ---- references --------------------------------------------------------------------------

LEAK_CHECKS = {
    "get owned": lambda m, v: m.get_property("m-tensor-f64"),
    "get view": lambda m, v: v.get_property("a-tensor"),
    "get view str": lambda m, v: v["m-str"],
    "get missing": lambda m, v: v.get_property("missing"),
    "get bad key": lambda m, v: m.get_property(1),
    "item atom": lambda m, v: v[-1],
    "item out of range": lambda m, v: m[99],
    "item refused": lambda m, v: m[1.5],
    "set": lambda m, v: m.set_property("m-f64", np.zeros(3)),
    "set per atom": lambda m, v: m.set_property("a-f64", np.zeros(N), scope="atom"),
    "set refused": lambda m, v: m.set_property("a-f64", np.zeros(N + 1)),
    "set unsupported": lambda m, v: m.set_property("x", [1]),
    "set scope": lambda m, v: m.set_property("x", 1, scope="x"),
    "keys": lambda m, v: (m.property_keys(), v.property_keys(scope="atom")),
    "has": lambda m, v: (m.has_property("m-int"), v.has_property("nope", scope="atom")),
    "delete missing": lambda m, v: m.delete_property("missing"),
    "reduce": lambda m, v: (m.__reduce__(), v.__reduce__()),
    "unpickle": lambda m, v: pickle.loads(pickle.dumps(m)),
    "unpickle refused": lambda m, v: type(m).__reduce__(m)[0](b"\x02"),
    "ase": lambda m, v: (m._ase_payload(), v._ase_builtin_tuple_fast(copy_info=False)),
    "ase refused": lambda m, v: m._ase_payload(copy_info=1),
}


@pytest.mark.parametrize("name", list(LEAK_CHECKS))
def test_no_reference_leaks(tmp_path, name):
    owned = every_variant()
    view = view_of(tmp_path, every_variant())
    call = LEAK_CHECKS[name]
    # A long warm-up, traced: the interpreter's type attribute cache keeps up
    # to 4096 attribute names slotted by address, and under ASan (whose
    # quarantine delays address reuse) unpickling fills it with fresh names;
    # only once the cache holds traced names does replacing them balance out.
    growth = traced_growth(lambda: call(owned, view), warm_up=5000)
    assert growth < 2000, growth
