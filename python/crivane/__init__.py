"""crivane: a storage engine for atomistic structures."""

from . import _crivane_rs
from ._crivane_rs import PyAtom, PyMolecule

__all__ = ["PyAtom", "PyMolecule"]
