"""crivane: a storage engine for atomistic structures."""

from . import _crivane_rs
from ._crivane_rs import PyAtom, PyAtomDatabase, PyMolecule

# The database class under the name its messages use.
Database = PyAtomDatabase

__all__ = ["PyAtom", "PyMolecule", "PyAtomDatabase", "Database"]
