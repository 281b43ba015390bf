"""crivane: a storage engine for atomistic structures."""

from . import _crivane_rs
from ._crivane_rs import PyAtom

__all__ = ["PyAtom"]
