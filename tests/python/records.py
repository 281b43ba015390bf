"""Views of stored records, edited by hand, for tests that need record bytes no
writer produces (duplicate keys, malformed payloads) or need to tell a view
from an owned molecule."""

import itertools
import struct

from crivane import Database
from databases import index_entries, new_db, stored_records

_probes = itertools.count()


def edit_record(path, replacements=(), trailing=0):
    """Replaces byte strings inside the first record (each must occur once and
    keep its length), and lets its index entry cover `trailing` more bytes."""
    entries, header = index_entries(path)
    index_offset = header["index_offset"]
    offset, length, raw_len, atoms = entries[0]
    data = bytearray(path.read_bytes())
    record = bytes(data[offset : offset + length])
    for old, new in replacements:
        assert len(old) == len(new) and record.count(old) == 1, (old, record)
        record = record.replace(old, new)
    data[offset : offset + length] = record
    struct.pack_into("<QIII", data, index_offset + 8, offset, length + trailing, raw_len + trailing, atoms)
    path.write_bytes(bytes(data))


# The stored bytes (trailer included) of each view that view_of made, by the
# view's id; the tests keep their views alive while they ask.
_view_records = {}


def view_of(folder, molecule, replacements=(), mmap=True):
    """Molecule 0 of a new uncompressed database holding `molecule`, whose
    record carries 8 bytes past its end (see is_view) and the replacements."""
    path = folder / f"view-{next(_probes)}.db"
    new_db(path, [molecule])
    edit_record(path, replacements, trailing=8)
    view = Database.open(str(path), mmap=mmap)[0]
    _view_records[id(view)] = stored_records(path)[0]
    return view


def is_view(molecule, folder):
    """Whether a molecule made by view_of is still a view: a view is appended
    as its record bytes, trailer included; an owned one is encoded anew."""
    path = folder / f"probe-{next(_probes)}.db"
    new_db(path, [molecule])
    return stored_records(path) == [_view_records[id(molecule)]]


def section(kind, key, tag, payload):
    """The bytes of one record section."""
    k = key if isinstance(key, bytes) else key.encode()
    return struct.pack("<BB", kind, len(k)) + k + struct.pack("<BI", tag, len(payload)) + payload
