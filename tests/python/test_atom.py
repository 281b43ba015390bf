import gc
import math

import numpy as np
import pytest

from conftest import traced_growth
from crivane import PyAtom


def f32(value):
    """The float32 nearest to value, widened back to a Python float."""
    return float(np.float32(value))


def repr_fields(atom):
    inner = repr(atom)[len("Atom(") : -1]
    return dict(part.split("=") for part in inner.split(", "))


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1.0, 2.5, -0.0, 6), "Atom(x=1, y=2.5, z=-0, atomic_number=6)"),
        ((1, 2, 3, 6), "Atom(x=1, y=2, z=3, atomic_number=6)"),
        ((0.1, 250.0, -1.5, 255), "Atom(x=0.1, y=250, z=-1.5, atomic_number=255)"),
        ((1e-7, 1e20, 0, 0), "Atom(x=0.0000001, y=100000000000000000000, z=0, atomic_number=0)"),
        ((math.nan, math.inf, -math.inf, 1), "Atom(x=NaN, y=inf, z=-inf, atomic_number=1)"),
        # Beyond the float32 range: infinities; below half the smallest subnormal: zero.
        ((1e300, -1e300, 1e-46, 1), "Atom(x=inf, y=-inf, z=0, atomic_number=1)"),
        ((-math.nan, 0.0, 0.0, 1), "Atom(x=NaN, y=0, z=0, atomic_number=1)"),
        (
            (3.4028234663852886e38, 1e-45, 123456789.0, 1),
            "Atom(x=340282350000000000000000000000000000000, y=0."
            + "0" * 44
            + "1, z=123456790, atomic_number=1)",
        ),
    ],
)
def test_repr(args, expected):
    assert repr(PyAtom(*args)) == expected


def test_repr_is_the_shortest_positional_text_of_any_float32():
    rng = np.random.default_rng(20240611)
    bits = rng.integers(0, 2**32, size=4000, dtype=np.uint64).astype(np.uint32)
    values = [v for v in bits.view(np.float32) if np.isfinite(v)]
    # Powers of ten and subnormals are where digit generation goes wrong.
    values += [np.float32(10.0**e) for e in range(-45, 39)]
    values += [np.float32(s) * np.float32(1e-45) for s in (1, 2, 3, 7, 100, 8388607)]
    for v in values:
        text = repr_fields(PyAtom(float(v), 0, 0, 1))["x"]
        assert text == np.format_float_positional(v, unique=True, trim="-"), v
        assert "e" not in text


def test_position_widens_the_stored_float32():
    x, y, z = PyAtom(0.1, -2, 1e300, 1).position()
    assert x == f32(0.1) and x != 0.1
    assert (y, z) == (-2.0, math.inf)
    assert all(type(c) is float for c in (x, y, z))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "value, expected",
    [(2, 2.0), (True, 1.0), (Float(), 2.5), (Index(7), 7.0), (2**200, math.inf)],
)
def test_coordinates_accept_what_float_accepts(value, expected):
    assert PyAtom(value, value, value, 1).position() == (expected,) * 3


@pytest.mark.parametrize("value, expected", [(0, 0), (255, 255), (True, 1), (Index(12), 12)])
def test_atomic_number_accepts_integers_in_range(value, expected):
    assert PyAtom(0, 0, 0, value).atomic_number == expected


@pytest.mark.parametrize("value", [256, -1, 2**63, -(2**70)])
def test_atomic_number_out_of_range(value):
    with pytest.raises(OverflowError) as excinfo:
        PyAtom(0, 0, 0, value)
    assert str(excinfo.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "args, message",
    [
        ((0, 0, 0, 6.0), "argument 'atomic_number': 'float' object cannot be interpreted as an integer"),
        ((0, 0, 0, "6"), "argument 'atomic_number': 'str' object cannot be interpreted as an integer"),
        ((0, 0, 0, None), "argument 'atomic_number': 'NoneType' object cannot be interpreted as an integer"),
        (("1", 0, 0, 1), "argument 'x': must be real number, not str"),
        ((0, None, 0, 1), "argument 'y': must be real number, not NoneType"),
        ((0, 0, [1.0], 1), "argument 'z': must be real number, not list"),
        # Arguments convert in order x, y, z, atomic_number: the first failure wins.
        (("a", "b", 0, 256), "argument 'x': must be real number, not str"),
        ((0, 0, "c", 6.0), "argument 'z': must be real number, not str"),
    ],
)
def test_constructor_conversion_errors(args, message):
    with pytest.raises(TypeError) as excinfo:
        PyAtom(*args)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: PyAtom(), "PyAtom.__new__() missing 4 required positional arguments: 'x', 'y', 'z', and 'atomic_number'"),
        (lambda: PyAtom(1, 2), "PyAtom.__new__() missing 2 required positional arguments: 'z' and 'atomic_number'"),
        (lambda: PyAtom(1, 2, 3), "PyAtom.__new__() missing 1 required positional argument: 'atomic_number'"),
        (lambda: PyAtom(1, z=3), "PyAtom.__new__() missing 2 required positional arguments: 'y' and 'atomic_number'"),
        (lambda: PyAtom(1, 2, 3, 4, 5), "PyAtom.__new__() takes 4 positional arguments but 5 were given"),
        (lambda: PyAtom(1, 2, 3, 4, x=1), "PyAtom.__new__() got multiple values for argument 'x'"),
        (lambda: PyAtom(1, 2, 3, atomic_number=4, z=3), "PyAtom.__new__() got multiple values for argument 'z'"),
        (lambda: PyAtom(1, 2, 3, 4, w=1), "PyAtom.__new__() got an unexpected keyword argument 'w'"),
        # Keywords are checked before missing arguments, binding before conversion.
        (lambda: PyAtom(1, w=1), "PyAtom.__new__() got an unexpected keyword argument 'w'"),
        (lambda: PyAtom("x", "y"), "PyAtom.__new__() missing 2 required positional arguments: 'z' and 'atomic_number'"),
        (lambda: PyAtom(0, 0, 0, 1).distance_to(), "PyAtom.distance_to() missing 1 required positional argument: 'other'"),
        (lambda: PyAtom(0, 0, 0, 1).distance_to(1, 2), "PyAtom.distance_to() takes 1 positional arguments but 2 were given"),
        (lambda: PyAtom(0, 0, 0, 1).distance_to(atom=1), "PyAtom.distance_to() got an unexpected keyword argument 'atom'"),
        (lambda: PyAtom(0, 0, 0, 1).position(1), "PyAtom.position() takes 0 positional arguments but 1 was given"),
        (lambda: PyAtom(0, 0, 0, 1).position(x=1), "PyAtom.position() got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message


def test_arguments_by_keyword():
    assert repr(PyAtom(x=1, y=2, z=3, atomic_number=4)) == "Atom(x=1, y=2, z=3, atomic_number=4)"
    assert repr(PyAtom(1, 2, atomic_number=6, z=3)) == "Atom(x=1, y=2, z=3, atomic_number=6)"
    a, b = PyAtom(0, 0, 0, 1), PyAtom(3, 4, 0, 1)
    assert a.distance_to(other=b) == 5.0


def test_fields_are_read_only():
    atom = PyAtom(1, 2, 3, 6)
    with pytest.raises(AttributeError):
        atom.atomic_number = 7
    with pytest.raises(AttributeError):
        atom.x
    assert atom.atomic_number == 6


def test_atoms_compare_by_identity():
    a, b = PyAtom(1, 2, 3, 6), PyAtom(1, 2, 3, 6)
    assert a != b and a == a
    assert not gc.is_tracked(a)


def f32_distance(p, q):
    p, q = np.array(p, dtype=np.float32), np.array(q, dtype=np.float32)
    dx, dy, dz = p[0] - q[0], p[1] - q[1], p[2] - q[2]
    return float(np.sqrt((dx * dx + dy * dy) + dz * dz))


@pytest.mark.parametrize(
    "p, q, expected",
    [
        ((0, 0, 0), (3, 4, 0), 5.0),
        ((1.5, -2, 7), (1.5, -2, 7), 0.0),
        # The float32 difference and squares overflow where float64 would not.
        ((1e30, 0, 0), (-1e30, 0, 0), math.inf),
        # float32 all the way: rounding an exact float64 distance gives 8.210359573364258.
        ((-9.2, 0.6, -0.8), (-8.8, 2.8, 7.1), float.fromhex("0x1.06bb42p+3")),
    ],
)
def test_distance_examples(p, q, expected):
    assert PyAtom(*p, 1).distance_to(PyAtom(*q, 1)) == expected


def test_distance_to_itself_is_zero():
    atom = PyAtom(1e10, -3.25, 0.1, 8)
    assert atom.distance_to(atom) == 0.0


def test_distance_is_computed_in_float32():
    rng = np.random.default_rng(7)
    points = rng.uniform(-100, 100, size=(300, 2, 3)).astype(np.float32)
    for p, q in points:
        p, q = [float(c) for c in p], [float(c) for c in q]
        assert PyAtom(*p, 1).distance_to(PyAtom(*q, 1)) == f32_distance(p, q)


@pytest.mark.parametrize("other, name", [(None, "NoneType"), ((0, 0, 0), "tuple"), (5, "int")])
def test_distance_to_requires_an_atom(other, name):
    with pytest.raises(TypeError) as excinfo:
        PyAtom(0, 0, 0, 1).distance_to(other)
    assert str(excinfo.value) == f"argument 'other': '{name}' object cannot be converted to 'PyAtom'"


@pytest.mark.parametrize(
    "member, signature, doc",
    [
        ("position", "($self)", "Get the position as a tuple (x, y, z)"),
        ("distance_to", "($self, other)", "Calculate distance to another atom"),
    ],
)
def test_method_signatures(member, signature, doc):
    method = getattr(PyAtom, member)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_class_docstrings():
    assert PyAtom.__text_signature__ == "(x, y, z, atomic_number)"
    assert PyAtom.__doc__ == "Python wrapper for Atom"
    assert PyAtom.atomic_number.__doc__ == "Get the atomic number"


ATOM = PyAtom(1, 2, 3, 4)


@pytest.mark.parametrize(
    "call",
    [
        lambda: PyAtom(1, 2, 3, 4),
        lambda: PyAtom(x=1, y=2, z=3, atomic_number=4),
        lambda: repr(ATOM),
        lambda: ATOM.position(),
        lambda: ATOM.atomic_number,
        lambda: ATOM.distance_to(other=ATOM),
        lambda: PyAtom(),
        lambda: PyAtom(1, 2, 3, 4, 5),
        lambda: PyAtom(1, 2, 3, 4, x=1),
        lambda: PyAtom(1, 2, 3, 4, w=1),
        lambda: PyAtom("x", 2, 3, 4),
        lambda: PyAtom(1, 2, 3, 256),
        lambda: ATOM.distance_to(None),
    ],
)
def test_no_reference_leaks(call):
    assert traced_growth(call) < 1000
