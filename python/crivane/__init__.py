"""crivane: a storage engine for atomistic structures."""

from . import _crivane_rs
from ._crivane_rs import *  # noqa: F401,F403

__all__ = list(_crivane_rs.__all__) if hasattr(_crivane_rs, "__all__") else []
