import math

import numpy as np
import pytest

from conftest import FREED_MEMORY
from crivane import PyAtom, PyMolecule

N = 4


def positions(n=N, dtype=np.float32):
    return (np.arange(n * 3, dtype=np.float64).reshape(n, 3) * 0.5 - 1.0).astype(dtype)


def numbers(n=N):
    return np.arange(1, n + 1, dtype=np.uint8)


def molecule(n=N, dtype=np.float32, **fields):
    return PyMolecule(positions(n, dtype), numbers(n), **fields)


def vec3(n=N, dtype=np.float64, scale=1.0):
    return (np.arange(n * 3, dtype=np.float64).reshape(n, 3) * scale + 0.25).astype(dtype)


def mat3(dtype=np.float64, first=1.0):
    return (np.arange(9, dtype=np.float64).reshape(3, 3) + first).astype(dtype)


def byte_swapped(array):
    return array.astype(array.dtype.newbyteorder())


class Float:
    def __init__(self, value, on_call=None):
        self.value = value
        self.on_call = on_call

    def __float__(self):
        if self.on_call is not None:
            self.on_call()
        return self.value


class Index:
    def __index__(self):
        return 7


# ---- construction ------------------------------------------------------------


@pytest.mark.parametrize("make", [PyMolecule, PyMolecule.from_arrays])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_constructors_build_an_owned_molecule(make, dtype):
    pos = positions(dtype=dtype)
    mol = make(
        pos,
        numbers(),
        energy=-1.5,
        forces=vec3(dtype=np.float32),
        charges=np.linspace(-1, 1, N),
        velocities=vec3(scale=2.0),
        cell=mat3(),
        stress=mat3(np.float32, 10.0),
        pbc=(True, False, True),
        name="water",
    )
    assert type(mol) is PyMolecule
    assert len(mol) == N
    assert mol.positions.dtype == dtype
    np.testing.assert_array_equal(mol.positions, pos)
    np.testing.assert_array_equal(mol.atomic_numbers, numbers())
    assert mol.atomic_numbers.dtype == np.uint8
    assert mol.energy == -1.5
    assert mol.forces.dtype == np.float32
    np.testing.assert_array_equal(mol.forces, vec3(dtype=np.float32))
    np.testing.assert_array_equal(mol.charges, np.linspace(-1, 1, N))
    np.testing.assert_array_equal(mol.velocities, vec3(scale=2.0))
    np.testing.assert_array_equal(mol.cell, mat3())
    assert mol.stress.dtype == np.float32
    np.testing.assert_array_equal(mol.stress, mat3(np.float32, 10.0))
    assert mol.pbc == (True, False, True)


def test_positions_and_atomic_numbers_may_be_keywords():
    mol = PyMolecule(atomic_numbers=numbers(), positions=positions())
    assert len(mol) == N


def test_optional_fields_default_to_none():
    mol = molecule()
    for field in ("forces", "energy", "charges", "velocities", "cell", "stress", "pbc"):
        assert getattr(mol, field) is None, field
    assert repr(mol) == "Molecule(n_atoms=4, has_forces=false, has_energy=false)"
    optional = ("energy", "forces", "charges", "velocities", "cell", "stress", "pbc", "name")
    explicit = molecule(**{f: None for f in optional})
    assert repr(explicit) == repr(mol)


def test_empty_molecule():
    mol = PyMolecule(np.zeros((0, 3), np.float32), np.zeros(0, np.uint8))
    assert len(mol) == 0
    assert not mol
    assert repr(mol) == "Molecule(n_atoms=0, has_forces=false, has_energy=false)"
    assert mol.atoms() == []
    assert mol.positions.shape == (0, 3)
    assert mol.atomic_numbers.shape == (0,)
    mol.forces = np.zeros((0, 3), np.float64)
    mol.charges = np.zeros(0, np.float32)
    assert mol.forces.shape == (0, 3) and mol.charges.shape == (0,)


def test_truthiness_follows_the_atom_count():
    assert molecule(1)
    assert len(molecule(7)) == molecule(7).positions.shape[0] == 7


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: PyMolecule(), "PyMolecule.__new__() missing 2 required positional arguments: 'positions' and 'atomic_numbers'"),
        (lambda: PyMolecule.from_arrays(positions()), "PyMolecule.from_arrays() missing 1 required positional argument: 'atomic_numbers'"),
        (lambda: PyMolecule(positions(), numbers(), None), "PyMolecule.__new__() takes 2 positional arguments but 3 were given"),
        (lambda: PyMolecule(positions(), numbers(), mass=1.0), "PyMolecule.__new__() got an unexpected keyword argument 'mass'"),
        (lambda: PyMolecule(positions(), numbers(), positions=positions()), "PyMolecule.__new__() got multiple values for argument 'positions'"),
        (lambda: PyMolecule.from_arrays(positions(), numbers(), 1.0), "PyMolecule.from_arrays() takes 2 positional arguments but 3 were given"),
        (lambda: PyMolecule(positions(), numbers()).atoms(1), "PyMolecule.atoms() takes 0 positional arguments but 1 was given"),
        (lambda: PyMolecule(positions(), numbers()).to_owned(deep=True), "PyMolecule.to_owned() got an unexpected keyword argument 'deep'"),
    ],
)
def test_argument_binding(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "value, type_name",
    [
        ([1, 2, 3, 4], "list"),
        (np.arange(1, 5, dtype=np.int64), "ndarray"),
        (np.arange(1, 5, dtype=np.int8), "ndarray"),
        (np.ones((4, 1), np.uint8), "ndarray"),
        (np.ones(4, bool), "ndarray"),
        (None, "NoneType"),
    ],
)
def test_atomic_numbers_must_be_a_1d_uint8_array(value, type_name):
    with pytest.raises(TypeError) as excinfo:
        PyMolecule(positions(), value)
    assert str(excinfo.value) == (
        f"argument 'atomic_numbers': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    )


@pytest.mark.parametrize(
    "array",
    [
        np.arange(1, 9, dtype=np.uint8)[::2],
        np.arange(7, 3, -1, dtype=np.uint8)[::-1],
        np.array([[1, 2], [3, 4], [5, 6], [7, 8]], np.uint8)[:, 1],
    ],
    ids=["every-second", "reversed", "column"],
)
def test_atomic_numbers_in_any_layout_are_copied(array):
    expected = array.copy()
    mol = PyMolecule(positions(), array)
    np.testing.assert_array_equal(mol.atomic_numbers, expected)
    array[...] = 99
    np.testing.assert_array_equal(mol.atomic_numbers, expected)


@pytest.mark.parametrize("n_numbers, n_positions", [(3, 2), (0, 1), (5, 0)])
def test_count_mismatch_is_a_bare_value_error(n_numbers, n_positions):
    with pytest.raises(ValueError) as excinfo:
        PyMolecule(positions(n_positions), numbers(n_numbers))
    assert str(excinfo.value) == (
        f"Atomic numbers length ({n_numbers}) doesn't match atom count ({n_positions})"
    )


@pytest.mark.parametrize(
    "value, expected",
    [(1, 1.0), (True, 1.0), (np.float32(0.1), float(np.float32(0.1))), (Float(2.5), 2.5), (Index(), 7.0), (math.inf, math.inf)],
)
def test_energy_takes_what_float_conversion_accepts(value, expected):
    energy = molecule(energy=value).energy
    assert type(energy) is float and energy == expected
    mol = molecule()
    mol.energy = value
    assert type(mol.energy) is float and mol.energy == expected


BAD_SCALARS = [
    ("energy", "x", TypeError, "argument 'energy': must be real number, not str"),
    ("energy", [1.0], TypeError, "argument 'energy': must be real number, not list"),
    ("pbc", [True, True, True], TypeError, "argument 'pbc': 'list' object cannot be converted to 'PyTuple'"),
    ("pbc", (True, True), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    ("pbc", (True,) * 4, ValueError, "expected tuple of length 3, but got tuple of length 4"),
    ("pbc", (1, 0, 1), TypeError, "argument 'pbc': 'int' object cannot be converted to 'PyBool'"),
    ("pbc", (True, np.int64(1), True), TypeError, "argument 'pbc': 'int64' object cannot be converted to 'PyBool'"),
]


@pytest.mark.parametrize("field, value, error, message", BAD_SCALARS)
def test_scalar_fields_refuse_other_types(field, value, error, message):
    with pytest.raises(error) as excinfo:
        molecule(**{field: value})
    assert str(excinfo.value) == message
    mol = molecule(energy=2.0, pbc=(False, False, True))
    with pytest.raises(error) as excinfo:
        setattr(mol, field, value)
    assert str(excinfo.value) == message
    assert (mol.energy, mol.pbc) == (2.0, (False, False, True))


def test_name_must_be_a_str():
    with pytest.raises(TypeError) as excinfo:
        molecule(name=1)
    assert str(excinfo.value) == "argument 'name': 'int' object cannot be converted to 'PyString'"
    molecule(name="")


def test_pbc_accepts_numpy_bools_and_returns_python_bools():
    mol = molecule(pbc=(np.bool_(True), np.bool_(False), True))
    assert mol.pbc == (True, False, True)
    assert all(type(flag) is bool for flag in mol.pbc)
    mol.pbc = (np.True_, np.True_, np.False_)
    assert mol.pbc == (True, True, False)


# The first failing check wins, in the order binding, atomic_numbers, energy,
# pbc, name, positions, count, forces, charges, velocities, cell, stress.
GOOD = dict(positions=positions(), atomic_numbers=numbers())
BAD = {
    "atomic_numbers": [1, 2],
    "energy": "x",
    "pbc": [True],
    "name": 5,
    "positions": positions().astype(np.int64),
    "count": None,
    "forces": np.zeros((N, 2)),
    "charges": np.zeros(N + 1),
    "velocities": np.zeros((N + 1, 3)),
    "cell": np.zeros((3, 4)),
    "stress": np.zeros(9),
}
ORDER = list(BAD)


def bad_kwargs(*fields):
    kwargs = dict(GOOD)
    for field in reversed(fields):
        if field == "count":
            kwargs["atomic_numbers"] = numbers(N + 1)
        else:
            kwargs[field] = BAD[field]
    return kwargs


def error_of(kwargs):
    with pytest.raises((TypeError, ValueError)) as excinfo:
        PyMolecule(**kwargs)
    return f"{type(excinfo.value).__name__}: {excinfo.value}"


@pytest.mark.parametrize("first, second", list(zip(ORDER, ORDER[1:])))
def test_error_order(first, second):
    alone = error_of(bad_kwargs(first))
    assert alone != error_of(bad_kwargs(second))
    assert error_of(bad_kwargs(first, second)) == alone


def test_forces_error_comes_before_cell_and_is_lower_case():
    message = error_of(dict(GOOD, forces=np.zeros((N, 2), np.float32), cell=np.zeros((3, 4))))
    assert message == "ValueError: forces must have shape (4, 3)"
    mol = molecule()
    with pytest.raises(ValueError) as excinfo:
        mol.forces = np.zeros((N, 2), np.float32)
    assert str(excinfo.value) == "Forces must have shape (4, 3)"


# ---- array fields: dtype and shape refusals ----------------------------------

VEC3_DTYPE = "{} must be a float32 or float64 ndarray with shape (4, 3)"
VEC3_SHAPE = "{} must have shape (4, 3)"
MAT3_DTYPE = "{} must be a float32 or float64 ndarray with shape (3, 3)"
MAT3_SHAPE = "{} must have shape (3, 3)"
FLOAT_DTYPE = "{} must be a float32 or float64 ndarray with shape (4,)"

REFUSED = [
    # (field, value, template)
    *[
        (field, value, template)
        for field in ("forces", "velocities")
        for value, template in [
            (vec3().tolist(), VEC3_DTYPE),
            (vec3(dtype=np.int64), VEC3_DTYPE),
            (vec3(dtype=np.float16), VEC3_DTYPE),
            (byte_swapped(vec3()), VEC3_DTYPE),
            (vec3().reshape(N, 3, 1), VEC3_DTYPE),
            (vec3().ravel(), VEC3_DTYPE),
            (np.float64(1.0), VEC3_DTYPE),
            (vec3(N + 1), VEC3_SHAPE),
            (vec3(N - 1, np.float32), VEC3_SHAPE),
            (np.zeros((N, 2)), VEC3_SHAPE),
            (np.zeros((N, 4), np.float32), VEC3_SHAPE),
        ]
    ],
    *[
        (field, value, template)
        for field in ("cell", "stress")
        for value, template in [
            (mat3().tolist(), MAT3_DTYPE),
            (mat3(np.int64), MAT3_DTYPE),
            (mat3(np.float16), MAT3_DTYPE),
            (byte_swapped(mat3()), MAT3_DTYPE),
            (mat3().ravel(), MAT3_DTYPE),
            (np.zeros((3, 4)), MAT3_SHAPE),
            (np.zeros((4, 3), np.float32), MAT3_SHAPE),
            (np.zeros((0, 3)), MAT3_SHAPE),
        ]
    ],
    ("charges", [0.0] * N, FLOAT_DTYPE),
    ("charges", np.zeros(N, np.int32), FLOAT_DTYPE),
    ("charges", byte_swapped(np.zeros(N, np.float32)), FLOAT_DTYPE),
    ("charges", np.zeros((N, 1)), FLOAT_DTYPE),
    ("charges", np.zeros(N + 1, np.float32), "{} length (5) doesn't match atom count (4)"),
    ("charges", np.zeros(0), "{} length (0) doesn't match atom count (4)"),
]


def refused_id(case):
    field, value, _ = case
    if isinstance(value, np.ndarray):
        return f"{field}-{value.dtype.str}-{'x'.join(map(str, value.shape))}"
    return f"{field}-{type(value).__name__}"


@pytest.mark.parametrize("field, value, template", REFUSED, ids=map(refused_id, REFUSED))
def test_array_fields_refuse_wrong_dtype_or_shape(field, value, template):
    with pytest.raises(ValueError) as excinfo:
        molecule(**{field: value})
    assert str(excinfo.value) == template.format(field)
    mol = molecule()
    with pytest.raises(ValueError) as excinfo:
        setattr(mol, field, value)
    assert str(excinfo.value) == template.format(field.capitalize())
    assert getattr(mol, field) is None


@pytest.mark.parametrize(
    "field, template",
    [("forces", VEC3_DTYPE), ("velocities", VEC3_DTYPE), ("charges", FLOAT_DTYPE), ("cell", MAT3_DTYPE), ("stress", MAT3_DTYPE)],
)
def test_array_setters_refuse_none(field, template):
    mol = molecule(forces=vec3(), charges=np.zeros(N), velocities=vec3(), cell=mat3(), stress=mat3())
    before = getattr(mol, field)
    with pytest.raises(ValueError) as excinfo:
        setattr(mol, field, None)
    assert str(excinfo.value) == template.format(field.capitalize())
    np.testing.assert_array_equal(getattr(mol, field), before)


@pytest.mark.parametrize(
    "value, message",
    [
        (positions(dtype=np.int64), "positions must be a float32 or float64 ndarray with shape (n_atoms, 3)"),
        (positions(dtype=np.float16), "positions must be a float32 or float64 ndarray with shape (n_atoms, 3)"),
        (byte_swapped(positions()), "positions must be a float32 or float64 ndarray with shape (n_atoms, 3)"),
        (positions().tolist(), "positions must be a float32 or float64 ndarray with shape (n_atoms, 3)"),
        (positions().ravel(), "positions must be a float32 or float64 ndarray with shape (n_atoms, 3)"),
        (np.zeros((N, 2), np.float32), "positions must have shape (n, 3)"),
        (np.zeros((N, 3, 1)), "positions must be a float32 or float64 ndarray with shape (n_atoms, 3)"),
    ],
)
def test_positions_refusals(value, message):
    with pytest.raises(ValueError) as excinfo:
        PyMolecule(value, numbers())
    assert str(excinfo.value) == message


def test_positions_and_atomic_numbers_are_read_only():
    mol = molecule()
    for field in ("positions", "atomic_numbers"):
        with pytest.raises(AttributeError):
            setattr(mol, field, getattr(mol, field))
        with pytest.raises(AttributeError):
            delattr(mol, field)


@pytest.mark.parametrize("field", ["forces", "energy", "charges", "velocities", "cell", "stress", "pbc"])
def test_deleting_a_field_is_refused(field):
    mol = molecule(energy=1.0, forces=vec3(), charges=np.zeros(N), velocities=vec3(), cell=mat3(), stress=mat3(), pbc=(True,) * 3)
    with pytest.raises(AttributeError) as excinfo:
        delattr(mol, field)
    assert str(excinfo.value) == "can't delete attribute"
    assert getattr(mol, field) is not None


# ---- array fields: layouts ---------------------------------------------------


def fortran(a):
    return np.asfortranarray(a)


def strided(a):
    big = np.full((a.shape[0] * 2,) + tuple(d * 3 for d in a.shape[1:]), np.nan, a.dtype)
    index = (slice(None, None, 2),) + (slice(1, None, 3),) * (a.ndim - 1)
    big[index] = a
    return big[index]


def reversed_rows(a):
    return a[::-1].copy()[::-1]


def reversed_all(a):
    flip = (slice(None, None, -1),) * a.ndim
    return a[flip].copy()[flip]


LAYOUTS = [fortran, strided, reversed_rows, reversed_all]


@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_any_layout_reads_like_its_c_copy(layout, dtype):
    pos, forces, charges, cell = positions(dtype=dtype), vec3(dtype=dtype), np.linspace(0, 1, N).astype(dtype), mat3(dtype)
    given = {"forces": layout(forces), "charges": layout(charges), "cell": layout(cell), "stress": layout(cell.T.copy())}
    assert not given["forces"].flags.c_contiguous
    mol = PyMolecule(layout(pos), numbers(), **given)
    np.testing.assert_array_equal(mol.positions, pos)
    np.testing.assert_array_equal(mol.forces, forces)
    np.testing.assert_array_equal(mol.charges, charges)
    np.testing.assert_array_equal(mol.cell, cell)
    np.testing.assert_array_equal(mol.stress, cell.T)
    set_later = molecule()
    set_later.velocities = layout(forces)
    set_later.cell = layout(cell)
    np.testing.assert_array_equal(set_later.velocities, forces)
    np.testing.assert_array_equal(set_later.cell, cell)


def test_matrices_read_row_by_row():
    mol = molecule(cell=mat3())
    assert mol.cell[0, 1] == 2.0 and mol.cell[1, 0] == 4.0


# ---- getters -----------------------------------------------------------------


def full_molecule(dtype=np.float64):
    return molecule(
        dtype=dtype,
        forces=vec3(dtype=dtype),
        charges=np.linspace(0, 1, N).astype(dtype),
        velocities=vec3(dtype=dtype, scale=3),
        cell=mat3(dtype),
        stress=mat3(dtype, 5),
    )


ARRAY_FIELDS = ["positions", "atomic_numbers", "forces", "charges", "velocities", "cell", "stress"]


@pytest.mark.parametrize("field", ARRAY_FIELDS)
def test_returned_arrays_are_independent_copies(field):
    mol = full_molecule()
    first = getattr(mol, field)
    expected = first.copy()
    assert first.flags.writeable and first.flags.c_contiguous
    first[...] = 0
    second = getattr(mol, field)
    assert second is not first
    assert not np.shares_memory(first, second)
    np.testing.assert_array_equal(second, expected)
    del mol
    np.testing.assert_array_equal(second, expected)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_getters_keep_the_stored_precision(dtype):
    mol = full_molecule(dtype)
    for field in ("positions", "forces", "charges", "velocities", "cell", "stress"):
        assert getattr(mol, field).dtype == dtype, field
    mol.forces = vec3(dtype=np.float32)
    assert mol.forces.dtype == np.float32


def test_float64_positions_stay_float64_while_atoms_are_float32():
    pos = np.array([[0.1, 0.2, 0.3], [1e-10, -7.0, 1 / 3]])
    mol = PyMolecule(pos, np.array([8, 1], np.uint8))
    assert mol.positions.dtype == np.float64
    np.testing.assert_array_equal(mol.positions, pos)
    atoms = mol.atoms()
    assert all(type(a) is PyAtom for a in atoms)
    assert [a.atomic_number for a in atoms] == [8, 1]
    for atom, row in zip(atoms, pos):
        assert atom.position() == tuple(float(np.float32(v)) for v in row)
        assert atom.position() != tuple(row)


def test_atoms_in_order():
    mol = molecule(dtype=np.float32)
    atoms = mol.atoms()
    assert len(atoms) == N
    for atom, row, z in zip(atoms, positions(), numbers()):
        assert atom.position() == tuple(float(v) for v in row)
        assert atom.atomic_number == z


NAN32 = np.array([0x7FC00001, 0xFFC12345, 0x7F800001, 0x7F800000], np.uint32)
NAN64 = np.array([0x7FF8000000000001, 0xFFF0000000ABCDEF, 0x7FF0000000000000, 0x8000000000000000], np.uint64)


@pytest.mark.parametrize("bits, float_type", [(NAN32, np.float32), (NAN64, np.float64)])
def test_bit_patterns_pass_unchanged(bits, float_type):
    pattern = np.tile(bits, 3)  # 12 values
    rows = pattern.view(float_type).reshape(N, 3)
    mat = pattern[:9].view(float_type).reshape(3, 3)
    charges = bits.view(float_type)
    mol = PyMolecule(rows, numbers(), forces=rows, velocities=rows, cell=mat, stress=mat, charges=charges)
    for field, expected in [("positions", rows), ("forces", rows), ("velocities", rows), ("cell", mat), ("stress", mat), ("charges", charges)]:
        got = getattr(mol, field)
        assert got.dtype == float_type
        np.testing.assert_array_equal(got.view(bits.dtype), expected.view(bits.dtype), err_msg=field)


# ---- setters -----------------------------------------------------------------


def test_none_clears_energy_and_pbc():
    mol = molecule(energy=3.0, pbc=(True, True, True))
    assert repr(mol) == "Molecule(n_atoms=4, has_forces=false, has_energy=true)"
    mol.energy = None
    mol.pbc = None
    assert mol.energy is None and mol.pbc is None
    assert repr(mol) == "Molecule(n_atoms=4, has_forces=false, has_energy=false)"


@pytest.mark.parametrize(
    "field, first, second",
    [
        ("forces", vec3(dtype=np.float64), vec3(dtype=np.float32, scale=2)),
        ("velocities", vec3(dtype=np.float32), vec3(dtype=np.float64, scale=-1)),
        ("charges", np.zeros(N), np.arange(N, dtype=np.float32)),
        ("cell", mat3(), mat3(np.float32, -4)),
        ("stress", mat3(np.float32), mat3(np.float64, 9)),
    ],
)
def test_setters_replace_whatever_precision(field, first, second):
    second = second.copy()  # zeroed below; the table's array serves every run
    mol = molecule()
    setattr(mol, field, first)
    setattr(mol, field, second)
    got = getattr(mol, field)
    assert got.dtype == second.dtype
    np.testing.assert_array_equal(got, second)
    second[...] = 0  # the molecule holds its own copy
    assert not np.array_equal(getattr(mol, field), second)


def test_setters_leave_other_fields_alone():
    mol = full_molecule()
    mol.forces = vec3(dtype=np.float32, scale=7)
    mol.stress = mat3(np.float32)
    np.testing.assert_array_equal(mol.positions, positions(dtype=np.float64))
    np.testing.assert_array_equal(mol.cell, mat3())
    np.testing.assert_array_equal(mol.charges, np.linspace(0, 1, N))
    assert len(mol) == N


def test_energy_and_pbc_convert_before_they_borrow():
    mol = molecule()
    seen = []
    mol.energy = Float(4.0, on_call=lambda: seen.append((len(mol), repr(mol), mol.positions.shape, mol.energy)))
    assert mol.energy == 4.0
    assert seen == [(N, "Molecule(n_atoms=4, has_forces=false, has_energy=false)", (N, 3), None)]
    other = PyMolecule(positions(), numbers(), energy=Float(1.0, on_call=lambda: seen.append("ctor")))
    assert other.energy == 1.0 and seen[-1] == "ctor"


# An array whose memory a conversion hook of the same call frees (see
# FREED_MEMORY). The call must refuse and build or change nothing.
FREED_PRELUDE = """
import numpy as np
from crivane import PyMolecule

N = 40
rng = np.random.default_rng(0)
kept = []
""" + FREED_MEMORY + """

class Float:
    def __init__(self, hook):
        self.hook = hook
    def __float__(self):
        self.hook()
        return 1.0

class Index:
    def __init__(self, hook):
        self.hook = hook
    def __index__(self):
        self.hook()
        return 1

# An array whose own __index__ frees the case's `owner` and then declines.
class FreesOwner(np.ndarray):
    def __index__(self):
        free(owner)
        raise TypeError("not an integer")

positions = rng.normal(size=(N, 3)).astype(np.float32)
numbers = np.ones(N, np.uint8)
mol = PyMolecule(positions, numbers)
"""

FREED_RUN = """
try:
    call()
    print("done")
except ValueError as error:
    print(error)
print(mol.property_keys())
"""

FREED_INPUTS = {
    "positions, owner freed by energy's __float__": """
owner, view = owned_and_view((N, 3), np.float64)
def call():
    PyMolecule(view, numbers, energy=Float(lambda: free(owner)))
""",
    "positions through as_strided, owner freed by energy's __float__": """
owner = owner_of(np.float64)
view = np.lib.stride_tricks.as_strided(owner, (N, 3), (24, 8))
def call():
    PyMolecule(view, numbers, energy=Float(lambda: free(owner)))
""",
    "atomic numbers, owner freed by energy's __index__": """
owner, view = owned_and_view(N, np.uint8)
def call():
    PyMolecule.from_arrays(positions, view, energy=Index(lambda: free(owner)))
""",
    "charges, owner freed by energy's __float__": """
owner, view = owned_and_view(N, np.float64)
def call():
    PyMolecule(positions, numbers, charges=view, energy=Float(lambda: free(owner)))
""",
    "cell, owner freed by energy's __float__": """
owner, view = owned_and_view((3, 3), np.float32)
def call():
    PyMolecule(positions, numbers, cell=view, energy=Float(lambda: free(owner)))
""",
    "set_property, owner freed by the value's own __index__": """
owner, view = owned_and_view((N, 2), np.float64)
def call():
    mol.set_property("k", view.view(FreesOwner))
""",
}


@pytest.mark.parametrize("case", FREED_INPUTS.values(), ids=FREED_INPUTS.keys())
def test_memory_freed_under_an_input_is_refused(run_python, case):
    assert run_python(FREED_PRELUDE + case + FREED_RUN) == (
        "input array changed while it was being read: its memory was freed or moved; keep input "
        "arrays and the buffers they view unchanged until the call returns\n[]\n"
    )


# The same through a Holder (see FREED_MEMORY): the owner is out of sight, so
# the call copies such an array when it takes it, before the hook runs, and
# keeps the values it held then.
HELD_INPUTS = {
    "positions, owner freed by energy's __float__": """
owner, view = owned_and_view((N, 3), np.float64)
view = held(view)
def call():
    return PyMolecule(view, numbers, energy=Float(lambda: free(owner))).positions
""",
    "cell, owner freed by energy's __float__": """
owner, view = owned_and_view((3, 3), np.float32)
view = held(view)
def call():
    return PyMolecule(positions, numbers, cell=view, energy=Float(lambda: free(owner))).cell
""",
    "set_property, owner freed by the value's own __index__": """
owner, view = owned_and_view((N, 2), np.float64)
view = held(view).view(FreesOwner)
def call():
    mol.set_property("k", view)
    return mol.get_property("k")
""",
}

HELD_RUN = """
expected = np.array(view)
print(np.array_equal(call(), expected))
"""


@pytest.mark.parametrize("case", HELD_INPUTS.values(), ids=HELD_INPUTS.keys())
def test_memory_freed_under_an_input_of_unseen_owner_is_not_read(run_python, case):
    assert run_python(FREED_PRELUDE + case + HELD_RUN) == "True\n"


# ---- copies ------------------------------------------------------------------


def test_to_owned_is_an_independent_copy():
    mol = full_molecule()
    mol.energy = -2.0
    mol.pbc = (True, False, False)
    copy = mol.to_owned()
    assert copy is not mol and type(copy) is PyMolecule
    for field in ARRAY_FIELDS:
        np.testing.assert_array_equal(getattr(copy, field), getattr(mol, field))
    assert (copy.energy, copy.pbc, repr(copy)) == (mol.energy, mol.pbc, repr(mol))
    copy.forces = np.zeros((N, 3), np.float32)
    copy.energy = None
    np.testing.assert_array_equal(mol.forces, vec3())
    assert mol.energy == -2.0


# ---- class surface -----------------------------------------------------------

SIGNATURE = (
    "(positions, atomic_numbers, *, energy=None, forces=None, charges=None, velocities=None, "
    "cell=None, stress=None, pbc=None, name=None)"
)


def test_docstrings_and_signatures():
    assert PyMolecule.__doc__ == "Python wrapper for Molecule"
    assert PyMolecule.__text_signature__ == SIGNATURE
    assert PyMolecule.from_arrays.__text_signature__ == SIGNATURE
    assert PyMolecule.from_arrays.__doc__ == "Create a molecule from numpy arrays."
    assert PyMolecule.atoms.__text_signature__ == "($self)"
    assert PyMolecule.atoms.__doc__ == "Get atoms as a list"
    assert PyMolecule.to_owned.__text_signature__ == "($self)"
    assert PyMolecule.to_owned.__doc__ == "Materialize the molecule into an owned, self-contained object."
    docs = {
        "forces": "forces property (getter)",
        "energy": "Get energy",
        "charges": "charges property (getter)",
        "velocities": "velocities property (getter)",
        "cell": "cell property (getter)",
        "stress": "stress property (getter)",
        "pbc": "pbc property (getter)",
        "positions": "positions property (read-only)",
        "atomic_numbers": "atomic_numbers property (read-only)",
    }
    assert {name: getattr(PyMolecule, name).__doc__ for name in docs} == docs
    properties = [k for k, v in vars(PyMolecule).items() if type(v).__name__ == "getset_descriptor"]
    assert properties == list(docs)


def test_from_arrays_is_static():
    mol = molecule()
    assert len(mol.from_arrays(positions(2), numbers(2))) == 2
