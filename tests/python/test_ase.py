import numpy as np
import pytest

from crivane import PyMolecule
from records import is_view, view_of

N = 4
BUILTINS = ["atomic_numbers", "positions", "cell", "pbc", "velocities", "energy", "forces", "stress", "charges"]
METHODS = ["_ase_payload", "_ase_builtin_tuple_fast"]


def molecule(n=N, dtype=np.float32, **fields):
    positions = (np.arange(n * 3, dtype=np.float64).reshape(n, 3) * 0.5).astype(dtype)
    return PyMolecule(positions, np.array([8, 1, 1, 6, 7, 9][:n], np.uint8), **fields)


def full(dtype=np.float64):
    return molecule(
        dtype=dtype,
        energy=-12.5,
        forces=np.arange(N * 3, dtype=dtype).reshape(N, 3) / 10,
        charges=np.linspace(-0.5, 0.5, N).astype(np.float32),
        velocities=np.ones((N, 3), np.float32),
        cell=np.diag([5.0, 6.0, 7.0]).astype(dtype),
        stress=np.arange(9, dtype=np.float32).reshape(3, 3),
        pbc=(True, False, True),
    )


def with_properties(mol):
    n = len(mol)
    mol.set_property("q", np.arange(n, dtype=np.float64), scope="atom")  # arrays
    mol.set_property("charges", np.ones(n), scope="atom")  # reserved: dropped
    mol.set_property("grid", np.zeros((n, 2, 2), np.float32), scope="atom")  # arrays
    mol.set_property("tags", np.arange(n, dtype=np.int32))  # per molecule, n long: arrays
    mol.set_property("dirs", np.ones((n, 3), np.float32))  # n rows: arrays
    mol.set_property("long", np.arange(n + 1, dtype=np.float64))  # n + 1: info
    mol.set_property("forces", np.zeros(n))  # reserved, n long: info
    mol.set_property("label", "run 7")  # info
    mol.set_property("step", 12)  # info
    mol.set_property("nothing", None)  # info
    mol.set_property("square", np.eye(n))  # a tensor, even at n rows: info
    return mol


ARRAYS = {"q", "grid", "tags", "dirs"}
INFO = {"long", "forces", "label", "step", "nothing", "square"}


def assert_equal_values(a, b):
    assert type(a) is type(b)
    if isinstance(a, np.ndarray):
        assert (a.dtype, a.shape) == (b.dtype, b.shape)
        np.testing.assert_array_equal(a, b)
    elif isinstance(a, dict):
        assert set(a) == set(b)
        for key in a:
            assert_equal_values(a[key], b[key])
    else:
        assert a == b


def assert_same_tuple(x, y):
    assert type(x) is type(y) is tuple and len(x) == len(y) == 11
    for a, b in zip(x, y):
        assert_equal_values(a, b)


# ---- the builtin elements ------------------------------------------------------------


def test_positions_and_numbers_only():
    mol = molecule()
    payload = mol._ase_payload()
    assert type(payload) is tuple and len(payload) == 11
    np.testing.assert_array_equal(payload[0], mol.atomic_numbers)
    assert payload[0].dtype == np.uint8
    np.testing.assert_array_equal(payload[1], mol.positions)
    assert payload[2:] == (None,) * 9


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_builtin_elements_are_the_getters(method, dtype):
    mol = full(dtype)
    payload = getattr(mol, method)()
    for element, field in zip(payload, BUILTINS):
        assert_equal_values(element, getattr(mol, field))
    assert type(payload[5]) is float and payload[3] == (True, False, True)
    first = payload[1]
    first[:] = 0  # new arrays, aliasing nothing
    assert not np.shares_memory(first, getattr(mol, method)()[1])
    assert mol.positions.any()


# ---- the dicts ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "flags, arrays, info",
    [
        ({}, ARRAYS, INFO),
        ({"copy_info": False}, ARRAYS, None),
        ({"copy_arrays": False}, None, INFO | {"tags", "dirs"}),
        ({"copy_info": False, "copy_arrays": False}, None, None),
        ({"copy_info": np.bool_(True), "copy_arrays": np.False_}, None, INFO | {"tags", "dirs"}),
    ],
    ids=["both", "arrays-only", "info-only", "neither", "numpy-bools"],
)
@pytest.mark.parametrize("method", METHODS)
def test_where_properties_go(method, flags, arrays, info):
    mol = with_properties(molecule())
    payload = getattr(mol, method)(**flags)
    got_arrays, got_info = payload[9], payload[10]
    assert (None if got_arrays is None else set(got_arrays)) == arrays
    assert (None if got_info is None else set(got_info)) == info
    for key, value in {**(got_arrays or {}), **(got_info or {})}.items():
        assert_equal_values(value, mol.get_property(key))


def test_dicts_that_end_up_empty_are_none():
    mol = molecule()
    mol.set_property("charges", np.zeros(N), scope="atom")  # reserved
    mol.set_property("x", 1.0)
    assert mol._ase_payload(copy_info=False)[9:] == (None, None)
    only_atoms = molecule()
    only_atoms.set_property("q", np.zeros(N), scope="atom")
    assert only_atoms._ase_payload(copy_arrays=False)[9:] == (None, None)
    assert set(only_atoms._ase_payload()[9]) == {"q"} and only_atoms._ase_payload()[10] is None


def test_dicts_keep_insertion_order_per_atom_first():
    mol = molecule()
    mol.set_property("z", np.zeros(N))
    mol.set_property("b", np.zeros(N), scope="atom")
    mol.set_property("a", np.zeros(N), scope="atom")
    assert list(mol._ase_payload()[9]) == ["a", "b", "z"]


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"copy_info": 1}, "argument 'copy_info': 'int' object cannot be converted to 'PyBool'"),
        ({"copy_arrays": None}, "argument 'copy_arrays': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"copy_info": "yes"}, "argument 'copy_info': 'str' object cannot be converted to 'PyBool'"),
        ({"copy": True}, "PyMolecule.{}() got an unexpected keyword argument 'copy'"),
    ],
)
@pytest.mark.parametrize("method", METHODS)
def test_flag_refusals(method, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        getattr(molecule(), method)(**kwargs)
    assert str(excinfo.value) == message.format(method)
    with pytest.raises(TypeError) as excinfo:
        getattr(molecule(), method)(True)
    assert str(excinfo.value) == f"PyMolecule.{method}() takes 0 positional arguments but 1 was given"


def test_signatures():
    for method in METHODS:
        function = getattr(PyMolecule, method)
        assert function.__text_signature__ == "($self, *, copy_info=True, copy_arrays=True)"
        assert function.__doc__ is None
    order = ["from_arrays", "atoms", "to_owned", "__reduce__", "_ase_builtin_tuple_fast", "_ase_payload",
             "get_property", "set_property", "property_keys", "has_property", "delete_property"]
    assert [k for k in vars(PyMolecule) if k in order] == order


# ---- views ----------------------------------------------------------------------------------


@pytest.mark.parametrize("mmap", [True, False], ids=["mmap", "file"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_a_view_and_its_owned_copy_agree(tmp_path, dtype, mmap):
    view = view_of(tmp_path, with_properties(full(dtype)), mmap=mmap)
    owned = view.to_owned()
    for method in METHODS:
        for flags in ({}, {"copy_info": False}, {"copy_arrays": False}):
            assert_same_tuple(getattr(view, method)(**flags), getattr(owned, method)(**flags))
    assert is_view(view, tmp_path)


def test_a_view_reads_only_what_it_returns(tmp_path):
    mol = molecule()
    mol.set_property("bad", np.zeros(3, np.float32))
    mol.set_property("ok", 1)
    view = view_of(tmp_path, mol, [(b"\x02\x03bad\x06", b"\x02\x03bad\x03")])
    # The malformed section goes to info, and only its conversion fails.
    with pytest.raises(ValueError, match="^Byte length 12 is not a multiple of element size 8$"):
        view._ase_payload()
    assert view._ase_payload(copy_info=False)[9:] == (None, None)
    assert is_view(view, tmp_path)


def test_malformed_builtin_sections_fail_in_index_order(tmp_path):
    mol = molecule(cell=np.eye(3), forces=np.zeros((N, 3), np.float32))
    # A cell read as float32 (tag 12) and forces read as float64 (tag 7) do not fit their lengths.
    view = view_of(tmp_path, mol, [(b"\x00\x04cell\x0a", b"\x00\x04cell\x0c"), (b"\x00\x06forces\x04", b"\x00\x06forces\x07")])
    with pytest.raises(ValueError) as excinfo:
        view._ase_payload()
    assert str(excinfo.value) == "Invalid cell section"


# ---- ASE itself ----------------------------------------------------------------------------


def to_ase(mol, **flags):
    """What a caller builds from the payload: one Atoms with its calculator results."""
    import ase
    from ase.calculators.singlepoint import SinglePointCalculator

    numbers, positions, cell, pbc, velocities, energy, forces, stress, charges, arrays, info = mol._ase_payload(**flags)
    atoms = ase.Atoms(numbers=numbers, positions=positions, cell=cell, pbc=pbc, velocities=velocities, charges=charges)
    for key, value in (arrays or {}).items():
        atoms.set_array(key, value)
    atoms.info.update(info or {})
    if energy is not None or forces is not None or stress is not None:
        atoms.calc = SinglePointCalculator(atoms, energy=energy, forces=forces, stress=stress)
    return atoms


@pytest.mark.parametrize("view", [False, True], ids=["owned", "view"])
def test_ase_builds_atoms_from_the_payload(tmp_path, view):
    pytest.importorskip("ase")
    from ase.stress import full_3x3_to_voigt_6_stress

    mol = with_properties(full())
    if view:
        mol = view_of(tmp_path, mol)
    atoms = to_ase(mol)
    assert list(atoms.numbers) == [8, 1, 1, 6]
    np.testing.assert_array_equal(atoms.positions, mol.positions)
    np.testing.assert_array_equal(atoms.cell[:], np.diag([5.0, 6.0, 7.0]))
    assert list(atoms.pbc) == [True, False, True]
    np.testing.assert_allclose(atoms.get_velocities(), mol.velocities, rtol=1e-12)
    np.testing.assert_array_equal(atoms.get_initial_charges(), mol.charges)
    np.testing.assert_array_equal(atoms.arrays["q"], np.arange(N, dtype=np.float64))
    assert atoms.arrays["grid"].shape == (N, 2, 2) and atoms.arrays["dirs"].shape == (N, 3)
    np.testing.assert_array_equal(atoms.arrays["tags"], np.arange(N))
    assert atoms.info["label"] == "run 7" and atoms.info["step"] == 12 and atoms.info["nothing"] is None
    np.testing.assert_array_equal(atoms.info["forces"], np.zeros(N))
    assert atoms.get_potential_energy() == -12.5
    np.testing.assert_array_equal(atoms.get_forces(), mol.forces)
    np.testing.assert_array_equal(atoms.get_stress(), full_3x3_to_voigt_6_stress(mol.stress))
    # Copies and slices of the structure carry the per-atom arrays along.
    assert np.array_equal(atoms[1:3].arrays["q"], [1.0, 2.0])


def test_ase_atoms_without_results_have_no_calculator():
    pytest.importorskip("ase")
    atoms = to_ase(molecule(pbc=(False, False, False)))
    assert atoms.calc is None and not atoms.pbc.any() and len(atoms) == N
