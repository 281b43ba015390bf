import gc
import os
import socket
import struct
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import crivane
from conftest import SANITIZED
from crivane import Database, PyAtomDatabase, PyMolecule
from databases import (
    CODECS,
    header_fields,
    index_entries,
    make_molecule,
    new_db,
    overwrite,
    read_in_threads,
    read_slot,
    stored_records,
    write_slot,
)

# (mmap, populate) for Database.open.
OPEN_MODES = [(True, False), (True, True), (False, False)]
OPEN_IDS = ["mmap", "mmap-populate", "file"]

ARRAY_FIELDS = ["positions", "atomic_numbers", "forces", "charges", "velocities", "cell", "stress"]

MAPPED_READ_ONLY = (
    "Cannot add molecules to a database opened with a memory-mapped index (read-only); "
    "reopen without mmap to write."
)
MAPPED_NO_FLUSH = (
    "Invalid data: Cannot flush a database opened with a memory-mapped index (read-only); "
    "reopen without mmap to write."
)


def exists_message(path):
    return (
        f"Database file already exists at '{path}'. Use Database.open(path) for read-only access, "
        "Database.open(path, mmap=False) to append, or pass overwrite=True to recreate it."
    )


def simple_molecule(energy, n=3, dtype=np.float32):
    return PyMolecule(np.full((n, 3), energy, dtype), np.arange(1, n + 1, dtype=np.uint8), energy=energy)


def assert_same(a, b):
    assert len(a) == len(b)
    for field in ARRAY_FIELDS:
        x, y = getattr(a, field), getattr(b, field)
        if x is None or y is None:
            assert x is None and y is None, field
        else:
            assert x.dtype == y.dtype, field
            np.testing.assert_array_equal(x, y, err_msg=field)
    assert a.energy == b.energy
    assert a.pbc == b.pbc


# ---- creating -----------------------------------------------------------------


def test_new_database_is_empty_and_falsy(tmp_path):
    path = tmp_path / "new.db"
    db = Database(str(path))
    assert type(db) is PyAtomDatabase
    assert crivane.Database is crivane.PyAtomDatabase
    assert len(db) == 0 and not db
    assert path.stat().st_size == 8192
    db.add_molecule(simple_molecule(1.0))
    assert len(db) == 1 and db


@pytest.mark.parametrize(
    "name, level, codec, stored_level",
    [
        ("none", 3, 0, 0),
        ("NONE", 3, 0, 0),
        ("Lz4", 19, 1, 0),
        ("ZSTD", 19, 2, 19),
        ("zstd", -5, 2, -5),
    ],
)
def test_compression_names_are_lower_cased(tmp_path, name, level, codec, stored_level):
    path = tmp_path / "c.db"
    db = Database(str(path), name, level)
    for slot in (0, 1):
        fields = header_fields(path, slot)
        assert (fields["codec"], fields["level"]) == (codec, stored_level)
    db.add_molecule(make_molecule(0))
    db.flush()
    assert_same(Database.open(str(path))[0], make_molecule(0))


def test_default_codec_is_none(tmp_path):
    path = tmp_path / "d.db"
    Database(str(path))
    assert header_fields(path)["codec"] == 0


@pytest.mark.parametrize("name", ["gzip", "zstd ", "", "lz-4", "none\0"])
def test_unknown_compression_is_refused_before_the_path_is_looked_at(tmp_path, name):
    path = tmp_path / "exists.db"
    path.write_bytes(b"keep me")
    with pytest.raises(ValueError, match="^Invalid compression type$"):
        Database(str(path), compression=name)
    with pytest.raises(ValueError, match="^Invalid compression type$"):
        Database(str(tmp_path / "missing.db"), compression=name, overwrite=True)
    assert path.read_bytes() == b"keep me"
    assert not (tmp_path / "missing.db").exists()


def test_existing_file_is_refused_and_left_untouched(tmp_path):
    path = tmp_path / "exists.db"
    payload = os.urandom(10000)
    path.write_bytes(payload)
    with pytest.raises(FileExistsError) as excinfo:
        Database(str(path))
    assert str(excinfo.value) == exists_message(path)
    assert path.read_bytes() == payload


RACING_CREATOR = """
    import os, sys
    import numpy as np
    from crivane import Database, PyMolecule
    path, wins, taken = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    won = 0
    while won < wins:
        tag = float(os.getpid() * 1000 + won)
        try:
            db = Database(path)
        except FileExistsError as e:
            if str(e) != taken:
                sys.exit(str(e))
            continue
        db.add_molecule(PyMolecule(np.zeros((1, 3), np.float32), np.ones(1, np.uint8), energy=tag))
        db.flush()
        del db
        there = Database.open(path)
        if len(there) != 1 or there[0].energy != tag:
            sys.exit(f"win {won}: the committed database was replaced")
        del there
        os.remove(path)
        won += 1
"""


def test_racing_creators_never_replace_each_others_database(tmp_path, subprocess_env):
    # Each process creates the name, commits a record of its own, checks
    # that the name still leads to it and removes it, until it has done so
    # 30 times; a process that finds the name taken, at its look or at the
    # creation, gets FileExistsError and tries again.
    path = tmp_path / "shared.db"
    code = textwrap.dedent(RACING_CREATOR)
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", code, str(path), "30", exists_message(path)],
            env=subprocess_env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for _ in range(4)
    ]
    try:
        results = [p.communicate(timeout=120) for p in procs]
    finally:
        for p in procs:
            p.kill()
    for p, (_, err) in zip(procs, results):
        assert p.returncode == 0, err
    assert not path.exists()


@pytest.mark.parametrize("overwrite", [False, True], ids=["new", "overwrite"])
def test_a_creation_past_the_file_size_limit_leaves_nothing_behind(tmp_path, run_python, overwrite):
    # The limit lets the first header slot through and fails the second.
    path = tmp_path / "db"
    if overwrite:
        new_db(path, [make_molecule(0)])
    before = path.read_bytes() if overwrite else None
    out = run_python(
        f"""
        import resource, signal
        from crivane import Database
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (6000, 6000))
        try:
            Database({str(path)!r}, overwrite={overwrite})
        except ValueError as e:
            print(e)
        """
    )
    assert out.strip() == "IO error: File too large (os error 27)"
    assert os.listdir(tmp_path) == (["db"] if overwrite else [])
    if overwrite:
        assert path.read_bytes() == before


def test_overwrite_recreates_an_existing_database(tmp_path):
    path = tmp_path / "exists.db"
    new_db(path, [make_molecule(i) for i in range(3)], compression="zstd")
    db = Database(str(path), overwrite=True)
    assert len(db) == 0
    assert path.stat().st_size == 8192
    assert read_slot(path, 0) == read_slot(path, 1)
    assert header_fields(path)["generation"] == 0
    assert len(Database.open(str(path))) == 0


def test_overwrite_leaves_views_of_the_old_file_readable(tmp_path, run_python):
    # Views of an uncompressed mapped database read the old file in place; a
    # file cut in place under them would kill the process at the next read.
    path = tmp_path / "old.db"
    new_db(path, [make_molecule(i, 6) for i in range(5)])
    out = run_python(
        f"""
        import numpy as np
        from crivane import Database
        path = {str(path)!r}
        views = Database.open(path).get_molecules(range(5))
        before = [v.positions.copy() for v in views]
        db = Database(path, overwrite=True)
        print(len(Database.open(path)))
        for v, p in zip(views, before):
            np.testing.assert_array_equal(v.positions, p)
        db.add_molecules([views[0]] * 50)
        db.flush()
        for v, p in zip(views, before):
            np.testing.assert_array_equal(v.positions, p)
        print(len(Database.open(path)))
        """
    )
    assert out.split() == ["0", "50"]


def test_symbolic_links_are_followed(tmp_path):
    target = tmp_path / "target.db"
    target.write_bytes(b"x")
    link = tmp_path / "link.db"
    link.symlink_to(target)
    with pytest.raises(FileExistsError) as excinfo:
        Database(str(link))
    assert str(excinfo.value) == exists_message(link)
    # A dangling link names nothing yet: the database is created at its target.
    dangling = tmp_path / "dangling.db"
    dangling.symlink_to(tmp_path / "later.db")
    Database(str(dangling))
    assert (tmp_path / "later.db").stat().st_size == 8192


def test_directory_path(tmp_path):
    with pytest.raises(FileExistsError) as excinfo:
        Database(str(tmp_path))
    assert str(excinfo.value) == exists_message(tmp_path)
    with pytest.raises(ValueError, match=r"^IO error: Is a directory \(os error 21\)$"):
        Database(str(tmp_path), overwrite=True)


def test_missing_directory(tmp_path):
    with pytest.raises(ValueError, match=r"^IO error: No such file or directory \(os error 2\)$"):
        Database(str(tmp_path / "no" / "such.db"))


def test_path_with_a_nul_creates_nothing(tmp_path):
    path = tmp_path / "cut.db"
    for overwrite in (False, True):
        with pytest.raises(ValueError, match="^IO error: file name contained an unexpected NUL byte$"):
            Database(str(path) + "\0.extra", overwrite=overwrite)
    assert not path.exists()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda p: Database(), TypeError,
         "PyAtomDatabase.__new__() missing 1 required positional argument: 'path'"),
        (lambda p: Database(p, "none", 3, False, 1), TypeError,
         "PyAtomDatabase.__new__() takes from 1 to 4 positional arguments but 5 were given"),
        (lambda p: Database(p, codec="none"), TypeError,
         "PyAtomDatabase.__new__() got an unexpected keyword argument 'codec'"),
        (lambda p: Database(p, path=p), TypeError,
         "PyAtomDatabase.__new__() got multiple values for argument 'path'"),
        (lambda p: Database(__import__("pathlib").Path(p)), TypeError,
         "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
        (lambda p: Database(p, compression=None), TypeError,
         "argument 'compression': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda p: Database(p, level=1.0), TypeError, "argument 'level': "),
        (lambda p: Database(p, level=2**31), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda p: Database(p, overwrite=1), TypeError,
         "argument 'overwrite': 'int' object cannot be converted to 'PyBool'"),
        (lambda p: Database.open(p, mmap=1), TypeError,
         "argument 'mmap': 'int' object cannot be converted to 'PyBool'"),
        (lambda p: Database.open(p, True, False, 1), TypeError,
         "PyAtomDatabase.open() takes from 1 to 3 positional arguments but 4 were given"),
    ],
)
def test_argument_binding(tmp_path, call, error, message):
    path = str(tmp_path / "args.db")
    with pytest.raises(error) as excinfo:
        call(path)
    assert str(excinfo.value).startswith(message)
    assert not os.path.exists(path)


def test_flush_takes_no_arguments(tmp_path):
    db = Database(str(tmp_path / "flush.db"))
    for call, message in [
        (lambda: db.flush(True), "PyAtomDatabase.flush() takes 0 positional arguments but 1 was given"),
        (lambda: db.flush(sync=True), "PyAtomDatabase.flush() got an unexpected keyword argument 'sync'"),
    ]:
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == message


def test_numpy_bool_is_a_bool(tmp_path):
    path = tmp_path / "np.db"
    Database(str(path), overwrite=np.True_)
    Database(str(path), overwrite=np.True_)
    assert len(Database.open(str(path), mmap=np.False_)) == 0


# ---- opening --------------------------------------------------------------------


def test_open_failures(tmp_path):
    cases = {
        "missing.db": None,
        "foreign.db": b"SQLite format 3\0" + bytes(9000),
        "short.db": b"CRV",
        "magic-only.db": b"CRVN\x02\0\0\0" + bytes(9000),
        "version.db": b"CRVN\x07\0\0\0" + bytes(9000),
    }
    for name, content in cases.items():
        if content is not None:
            (tmp_path / name).write_bytes(content)
    expected = {
        "missing.db": r"^IO error: No such file or directory \(os error 2\)$",
        "foreign.db": "^Invalid data: Invalid file format$",
        "short.db": "^IO error: failed to fill whole buffer$",
        "magic-only.db": r"^Invalid data: Invalid or corrupted header \(no valid header slots\)$",
        "version.db": r"^Invalid data: Unsupported file format version 7 \(expected 2\)$",
    }
    for name, pattern in expected.items():
        for mmap in (True, False):
            with pytest.raises(ValueError, match=pattern):
                Database.open(str(tmp_path / name), mmap=mmap)


@pytest.mark.parametrize(
    "kind, message",
    [
        ("directory", r"^IO error: Is a directory \(os error 21\)$"),
        ("socket", "^IO error: not a regular file: a socket$"),
        ("device", "^IO error: not a regular file: a character device$"),
    ],
)
def test_only_regular_files_open(tmp_path, kind, message):
    path = tmp_path / "db"
    if kind == "directory":
        path.mkdir()
    elif kind == "socket":
        server = socket.socket(socket.AF_UNIX)
        server.bind(str(path))
    else:
        path = "/dev/zero"
    for mmap in (True, False):
        with pytest.raises(ValueError, match=message):
            Database.open(str(path), mmap=mmap)
    with pytest.raises(FileExistsError):
        Database(str(path))
    with pytest.raises(ValueError, match=message):
        Database(str(path), overwrite=True)


def test_a_fifo_is_refused_without_waiting_for_a_writer(tmp_path, subprocess_env):
    # Opening a FIFO for reading waits for a writer, and for writing waits for
    # a reader, with the interpreter lock held; the child is killed if so.
    fifo = tmp_path / "db"
    os.mkfifo(fifo)
    code = f"""
from crivane import Database
for call in (lambda: Database.open({str(fifo)!r}), lambda: Database.open({str(fifo)!r}, mmap=False),
             lambda: Database({str(fifo)!r}, overwrite=True)):
    try:
        call()
    except ValueError as e:
        print(e)
"""
    result = subprocess.run(
        [sys.executable, "-c", code], env=subprocess_env, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["IO error: not a regular file: a FIFO"] * 3
    assert fifo.is_fifo()


@pytest.mark.parametrize("keep", [4, 6000, 8191])
def test_file_cut_inside_its_header_does_not_open(tmp_path, keep):
    path = tmp_path / "t.db"
    new_db(path, [make_molecule(i) for i in range(3)])
    path.write_bytes(path.read_bytes()[:keep])
    for mmap in (True, False):
        with pytest.raises(ValueError, match="^IO error: failed to fill whole buffer$"):
            Database.open(str(path), mmap=mmap)


@pytest.mark.parametrize("mmap", [True, False], ids=["mmap", "file"])
def test_file_cut_inside_its_last_commit_opens_the_one_before(tmp_path, mmap):
    path = tmp_path / "t.db"
    db = new_db(path, [make_molecule(0)])
    db.add_molecule(make_molecule(1))
    db.flush()
    path.write_bytes(path.read_bytes()[:-1])
    db = Database.open(str(path), mmap=mmap)
    assert len(db) == 1
    assert_same(db[0], make_molecule(0))


def test_populate_needs_mmap_and_touches_nothing(tmp_path):
    path = tmp_path / "p.db"
    for target in (path, tmp_path / "missing.db"):
        with pytest.raises(ValueError, match="^populate=True requires mmap=True$"):
            Database.open(str(target), mmap=False, populate=True)
    assert not path.exists() and not (tmp_path / "missing.db").exists()
    new_db(path, [make_molecule(0)])
    before = path.read_bytes()
    with pytest.raises(ValueError, match="^populate=True requires mmap=True$"):
        Database.open(str(path), False, True)
    assert path.read_bytes() == before


# ---- round trips ------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("mmap, populate", OPEN_MODES, ids=OPEN_IDS)
@pytest.mark.parametrize("codec", CODECS)
def test_round_trip(tmp_path, codec, mmap, populate, dtype):
    path = tmp_path / "rt.db"
    # Atom counts differ from one molecule to the next; one has no atoms.
    sizes = [4, 1, 0, 9, 4, 33]
    molecules = [make_molecule(i, n, dtype) for i, n in enumerate(sizes)]
    db = Database(str(path), compression=codec)
    db.add_molecule(molecules[0])
    db.add_molecules(molecules[1:])
    db.flush()

    db = Database.open(str(path), mmap=mmap, populate=populate)
    assert len(db) == len(sizes)
    for i, mol in enumerate(molecules):
        assert_same(db.get_molecule(i), mol)
        assert_same(db[i], mol)
    order = [5, 0, 3, 3, 2, 1, 4]
    got = db.get_molecules(order)
    assert len(got) == len(order)
    for i, mol in zip(order, got):
        assert_same(mol, molecules[i])
    assert db.get_molecules(range(2)) and db.get_molecules((1,))
    assert db[2].positions.shape == (0, 3)
    assert db[2].positions.dtype == dtype


def test_some_fields_absent(tmp_path):
    path = tmp_path / "s.db"
    bare = PyMolecule(np.ones((2, 3), np.float32), np.array([6, 8], np.uint8))
    new_db(path, [bare, bare])
    for mmap in (True, False):
        mol = Database.open(str(path), mmap=mmap)[1]
        assert mol.energy is None and mol.pbc is None
        assert all(getattr(mol, f) is None for f in ["forces", "charges", "velocities", "cell", "stress"])
        assert_same(mol, bare)


def test_duplicate_indices_give_distinct_equal_molecules(tmp_path):
    path = tmp_path / "dup.db"
    new_db(path, [make_molecule(0), make_molecule(1)])
    for mmap in (True, False):
        a, b = Database.open(str(path), mmap=mmap).get_molecules([0, 0])
        assert a is not b
        assert_same(a, b)
        assert_same(a, make_molecule(0))


# ---- indices ----------------------------------------------------------------------


@pytest.mark.parametrize("mmap", [True, False], ids=["mmap", "file"])
def test_index_checks_of_single_reads(tmp_path, mmap):
    path = tmp_path / "i.db"
    new_db(path, [make_molecule(i) for i in range(3)])
    db = Database.open(str(path), mmap=mmap)
    for read in (db.get_molecule, db.__getitem__):
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            read(-1)
        with pytest.raises(OverflowError):
            read(2**64)
        with pytest.raises(IndexError, match="^Index 3 out of bounds for database of length 3$"):
            read(3)
        with pytest.raises(IndexError, match="^Index 18446744073709551615 out of bounds for database of length 3$"):
            read(2**64 - 1)
        with pytest.raises(TypeError, match="^argument 'index': "):
            read("0")
        assert_same(read(np.int64(2)), make_molecule(2))
    with pytest.raises(IndexError, match="^Index 3 out of bounds for database of length 3$"):
        db[len(db)]
    assert_same(db.get_molecule(index=1), make_molecule(1))


@pytest.mark.parametrize(
    "codec, mmap, message",
    [
        ("none", False, "Invalid data: Index 7 out of bounds"),
        ("zstd", False, "Invalid data: Index 7 out of bounds"),
        ("none", True, "Invalid data: Missing mmap bytes for molecule 7"),
        ("lz4", True, "Invalid data: Missing compressed bytes for molecule 7"),
        ("zstd", True, "Invalid data: Missing compressed bytes for molecule 7"),
    ],
)
def test_out_of_range_in_get_molecules_is_a_value_error(tmp_path, codec, mmap, message):
    path = tmp_path / "r.db"
    new_db(path, [make_molecule(i) for i in range(3)], compression=codec)
    db = Database.open(str(path), mmap=mmap)
    # Both 7 and 9 are past the end: the one named is the first requested,
    # whichever a worker reached first.
    indices = [0, 1, 2] * 300 + [7] + [2, 9] * 300
    with pytest.raises(ValueError) as excinfo:
        db.get_molecules(indices)
    assert str(excinfo.value) == message
    with pytest.raises(OverflowError):
        db.get_molecules([0, -1])
    with pytest.raises(TypeError, match="^argument 'indices': Can't extract `str` to `Vec`$"):
        db.get_molecules("012")
    with pytest.raises(TypeError, match="^argument 'indices': "):
        db.get_molecules([0, "1"])


def positions_type_unknown(path):
    """An empty database whose header says record format 3 and names no schema lock."""
    Database(str(path))
    for slot in (0, 1):
        raw = bytearray(read_slot(path, slot))
        struct.pack_into("<I", raw, 56, 3)
        write_slot(path, slot, raw)


@pytest.mark.parametrize("mmap", [True, False], ids=["mmap", "file"])
def test_empty_request_returns_before_the_context_is_needed(tmp_path, mmap):
    path = tmp_path / "f3.db"
    positions_type_unknown(path)
    db = Database.open(str(path), mmap=mmap)
    assert db.get_molecules([]) == []
    assert db.get_molecules(()) == []
    with pytest.raises(ValueError, match="^Invalid data: Missing positions dtype for record format 3$"):
        db.get_molecules([0])
    # The range check of a single read comes first.
    with pytest.raises(IndexError, match="^Index 0 out of bounds for database of length 0$"):
        db.get_molecule(0)


# ---- damaged records ------------------------------------------------------------


def damaged_first_record(tmp_path, codec):
    """A database whose first record cannot be read; the second is intact."""
    path = tmp_path / f"damaged-{codec}.db"
    new_db(path, [make_molecule(0), make_molecule(1)], compression=codec)
    entries, _ = index_entries(path)
    offset, length, _, _ = entries[0]
    with open(path, "r+b") as f:
        if codec == "none":
            f.seek(offset)
            f.write(struct.pack("<I", 0xFFFFFFFF))  # an atom count far beyond the record
        else:
            f.seek(offset)
            f.write(b"\xff" * length)
    return path


def test_damaged_record_messages_by_read_path(tmp_path):
    path = damaged_first_record(tmp_path, "none")
    parse = "Invalid data: SOA record truncated at positions"
    file_db = Database.open(str(path), mmap=False)
    mapped_db = Database.open(str(path))
    for db in (file_db, mapped_db):
        with pytest.raises(ValueError) as excinfo:
            db.get_molecule(0)
        assert str(excinfo.value) == parse
        assert_same(db[1], make_molecule(1))
    # Without a mapping records are parsed one by one after the fetch, and a
    # failure is wrapped with its type name.
    with pytest.raises(ValueError) as excinfo:
        file_db.get_molecules([1, 0])
    assert str(excinfo.value) == "Invalid data: ValueError: " + parse
    with pytest.raises(ValueError) as excinfo:
        mapped_db.get_molecules([1, 0])
    assert str(excinfo.value) == parse


@pytest.mark.parametrize("codec", ["lz4", "zstd"])
@pytest.mark.parametrize("mmap", [True, False], ids=["mmap", "file"])
def test_damaged_compressed_record(tmp_path, codec, mmap):
    db = Database.open(str(damaged_first_record(tmp_path, codec)), mmap=mmap)
    for read in (lambda: db[0], lambda: db.get_molecules([1, 0])):
        with pytest.raises(ValueError, match="^Compression error: "):
            read()
    assert_same(db.get_molecules([1])[0], make_molecule(1))


# Damages index entry 1 of a committed file of three 4-atom molecules; gives what the reads
# of that record say, and what get_molecules_flat says.


def entry_in_a_header_slot(path):
    entries, header = index_entries(path)
    overwrite(path, header["index_offset"] + 8 + 20, struct.pack("<Q", 100))
    committed_end = header["index_offset"] + header["index_len"]
    message = (f"Index entry 1 names {entries[1][1]} bytes at offset 100, outside the records "
               f"(bytes 8192 to {committed_end}); the database's index is damaged")
    return message, message


def entry_atom_count(count):
    def damage(path):
        _, header = index_entries(path)
        overwrite(path, header["index_offset"] + 8 + 20 + 16, struct.pack("<I", count))
        return (f"Record 1 holds 4 atoms, but its index entry says {count}; the database's index is damaged",
                f"SOA n_atoms mismatch for molecule 1: the record holds 4 atoms, its index entry {count}")
    return damage


@pytest.mark.parametrize(
    "damage", [entry_in_a_header_slot, entry_atom_count(3), entry_atom_count(5)],
    ids=["header-slot", "fewer-atoms", "more-atoms"],
)
@pytest.mark.parametrize("codec", CODECS)
@pytest.mark.parametrize("mmap, populate", OPEN_MODES, ids=OPEN_IDS)
def test_a_damaged_index_entry_is_invalid_data_on_every_read_path(tmp_path, damage, codec, mmap, populate):
    path = tmp_path / "entry.db"
    molecules = [make_molecule(i) for i in range(3)]
    new_db(path, molecules, compression=codec)
    message, flat_message = damage(path)
    db = Database.open(str(path), mmap=mmap, populate=populate)
    reads = [
        (lambda: db[1], message),
        (lambda: db.get_molecule(1), message),
        (lambda: db.get_molecules([0, 1]), message),
        (lambda: db.get_molecules_flat([0, 1]), flat_message),
    ]
    for read, text in reads:
        with pytest.raises(ValueError) as excinfo:
            read()
        assert str(excinfo.value) == "Invalid data: " + text
    assert_same(db[0], molecules[0])
    for got, want in zip(db.get_molecules([2, 0]), [molecules[2], molecules[0]]):
        assert_same(got, want)
    flat = db.get_molecules_flat([0, 2])
    np.testing.assert_array_equal(flat["positions"], np.concatenate([molecules[0].positions, molecules[2].positions]))


# ---- appending ----------------------------------------------------------------------


def test_views_first_then_owned(tmp_path):
    a, b, c = (simple_molecule(e) for e in (1.0, 2.0, 3.0))
    src = tmp_path / "src.db"
    new_db(src, [a, c])
    view_a, view_c = Database.open(str(src)).get_molecules([0, 1])
    db = Database(str(tmp_path / "mixed.db"))
    db.add_molecules([view_a, b, view_c])
    assert [db[i].energy for i in range(3)] == [1.0, 3.0, 2.0]
    assert_same(db[2], b)


def test_views_of_different_schemas_in_one_call(tmp_path):
    # Different atom counts and sections: each record's schema comes from its bytes.
    first = make_molecule(0, 2)
    second = PyMolecule(np.zeros((5, 3), np.float32), np.ones(5, np.uint8), energy=4.0)
    src = tmp_path / "src.db"
    new_db(src, [first, second], compression="lz4")
    views = Database.open(str(src)).get_molecules([1, 0])
    path = tmp_path / "dst.db"
    new_db(path, views + [make_molecule(3, 7)])
    db = Database.open(str(path), mmap=False)
    assert_same(db[0], second)
    assert_same(db[1], first)
    assert_same(db[2], make_molecule(3, 7))


def test_failed_owned_append_keeps_the_view_records(tmp_path):
    src = tmp_path / "src.db"
    new_db(src, [simple_molecule(1.0)])
    view = Database.open(str(src))[0]
    db = Database(str(tmp_path / "dst.db"))
    with pytest.raises(ValueError, match="^Invalid data: record format 2 does not support float64 positions$"):
        db.add_molecules([simple_molecule(2.0, dtype=np.float64), view])
    assert len(db) == 1
    assert db[0].energy == 1.0


def test_failed_append_writes_nothing(tmp_path):
    path = tmp_path / "f.db"
    db = Database(str(path))
    db.add_molecule(simple_molecule(1.0))
    size = path.stat().st_size
    bad = simple_molecule(2.0, dtype=np.float64)
    with pytest.raises(ValueError, match="^Invalid data: record format 2 does not support float64 positions$"):
        db.add_molecule(bad)
    with pytest.raises(ValueError, match="^Invalid data: record format 2 does not support float64 positions$"):
        db.add_molecules([simple_molecule(3.0), bad])
    with pytest.raises(TypeError, match="^argument 'molecules': 'NoneType' object cannot be converted to 'PyMolecule'$"):
        db.add_molecules([simple_molecule(3.0), None])
    with pytest.raises(TypeError, match="^argument 'molecules': Can't extract `str` to `Vec`$"):
        db.add_molecules("mol")
    with pytest.raises(TypeError, match="^argument 'molecule': 'int' object cannot be converted to 'PyMolecule'$"):
        db.add_molecule(1)
    assert len(db) == 1 and path.stat().st_size == size
    db.add_molecules([])
    db.add_molecules(())
    assert len(db) == 1


# An append that meets a file-size limit (as on a full disk) with a new key "fresh" of
# type Int, then the same append with "fresh" as a string. `inputs(value, tag)` makes the
# input x of `append` before the limit is set; `tag` names the source file of views.
FAILED_WRITE_RUN = """
import os, resource, signal
import numpy as np
from crivane import Database, PyMolecule

def molecule(seed, value, **more):
    m = PyMolecule(np.full((3, 3), seed, np.float32), np.array([1, 6, 8], np.uint8),
                   energy=float(seed))
    if value is not None:
        m.set_property("fresh", value)
    for key, v in more.items():
        m.set_property(key, v)
    return m

def views(molecules, tag):
    src = Database({tmp!r} + "/src-" + tag + ".db")
    src.add_molecules(molecules)
    src.flush()
    return Database.open({tmp!r} + "/src-" + tag + ".db").get_molecules(range(len(molecules)))

def inputs(value, tag):
    return {inputs}

def append(x):
    {append}

path = {tmp!r} + "/db"
db = Database(path)
db.add_molecule(molecule(1, None))
db.flush()
db.add_molecule(molecule(2, None))  # appended, not committed
failing, retrying = inputs(7, "int"), inputs("seven", "str")
size, count = os.path.getsize(path), len(db)

signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # past the limit a write fails with EFBIG
limit = resource.getrlimit(resource.RLIMIT_FSIZE)
resource.setrlimit(resource.RLIMIT_FSIZE, (size + 5, limit[1]))
try:
    append(failing)
except ValueError as e:
    assert str(e) == "IO error: File too large (os error 27)", e
else:
    raise AssertionError("the append went through")
finally:
    resource.setrlimit(resource.RLIMIT_FSIZE, limit)
assert (len(db), os.path.getsize(path)) == (count, size), (len(db), os.path.getsize(path))

db.flush()
flat = Database.open(path).get_molecules_flat(list(range(count)))
assert "fresh" not in flat.get("properties", {{}}), flat["properties"]

append(retrying)
db.flush()
values = Database.open(path).get_molecules_flat(list(range(len(db))))["properties"]["fresh"]
assert values == [None] * count + ["seven"] * (len(db) - count), values
"""


@pytest.mark.parametrize(
    "append, inputs",
    [
        ("db.add_molecule(x)", "molecule(5, value)"),
        ("db.add_molecule(x)", "views([molecule(5, value)], tag)[0]"),
        ("db.add_molecules(x)", "[molecule(5, value), molecule(6, value)]"),
        ("db.add_molecules(x)", "views([molecule(5, value), molecule(6, value)], tag)"),
        ("db.add_molecules(x)", "views([molecule(5, value), molecule(6, value, other=1.0)], tag)"),
        ("db.add_arrays_batch(np.zeros((2, 3, 3), np.float32), np.ones((2, 3), np.uint8),"
         " properties=dict(fresh=x))",
         "[value] * 2 if isinstance(value, str) else np.full(2, value)"),
    ],
    ids=["molecule", "view", "molecules", "views", "views-of-two-schemas", "arrays-batch"],
)
def test_append_failing_to_write_keeps_nothing_of_its_schema(tmp_path, run_python, append, inputs):
    run_python(FAILED_WRITE_RUN.format(tmp=str(tmp_path), append=append, inputs=inputs))


def test_first_float64_molecule_moves_a_new_database_to_format_3(tmp_path):
    path = tmp_path / "f64.db"
    new_db(path, [make_molecule(0, dtype=np.float64), make_molecule(1, dtype=np.float64)])
    assert header_fields(path, 1)["record_format"] == 3
    db = Database.open(str(path), mmap=False)
    with pytest.raises(ValueError, match="^Invalid data: Position dtype mismatch: expected type tag 7, got 4$"):
        db.add_molecule(make_molecule(2, dtype=np.float32))
    assert db[1].positions.dtype == np.float64


def record_with_trailing_bytes(tmp_path):
    """An uncompressed database whose record 0 carries 8 bytes past its last
    section (readers ignore them; the engine's encoder never writes them)."""
    path = tmp_path / "trailing.db"
    new_db(path, [make_molecule(0), make_molecule(1)])
    entries, header = index_entries(path)
    offset, length, raw_len, atoms = entries[0]
    with open(path, "r+b") as f:
        f.seek(header["index_offset"] + 8)
        f.write(struct.pack("<QIII", offset, length + 8, raw_len + 8, atoms))
    return path


def test_a_view_keeps_its_record_bytes_under_any_codec(tmp_path):
    source = record_with_trailing_bytes(tmp_path)
    record = stored_records(source)[0]
    view = Database.open(str(source))[0]
    assert_same(view, make_molecule(0))

    # Through zstd into LZ4, then back into an uncompressed file.
    previous = view
    for codec in ["zstd", "lz4", "none"]:
        path = tmp_path / f"copy-{codec}.db"
        new_db(path, [previous], compression=codec)
        previous = Database.open(str(path))[0]
        assert_same(previous, make_molecule(0))
    entries, _ = index_entries(tmp_path / "copy-lz4.db")
    assert entries[0][2] == len(record)  # the LZ4 file's record length
    assert record not in (tmp_path / "copy-lz4.db").read_bytes()  # stored compressed
    assert stored_records(tmp_path / "copy-none.db") == [record]


def test_view_with_a_changed_field_is_encoded_again(tmp_path):
    source = record_with_trailing_bytes(tmp_path)
    view = Database.open(str(source))[0]
    view.energy = 99.0
    path = tmp_path / "changed.db"
    new_db(path, [view])
    (stored,) = stored_records(path)
    assert len(stored) == len(stored_records(source)[0]) - 8
    got = Database.open(str(path))[0]
    assert got.energy == 99.0
    np.testing.assert_array_equal(got.forces, make_molecule(0).forces)


# ---- commit and the read-only mapping ----------------------------------------------------


def test_mapped_committed_database_is_read_only(tmp_path):
    path = tmp_path / "ro.db"
    new_db(path, [make_molecule(0)])
    before = path.read_bytes()
    db = Database.open(str(path))
    view = db[0]
    for add in (lambda: db.add_molecule(make_molecule(1)), lambda: db.add_molecule(view),
                lambda: db.add_molecules([make_molecule(1)]), lambda: db.add_molecules([view])):
        with pytest.raises(ValueError) as excinfo:
            add()
        assert str(excinfo.value) == "Invalid data: " + MAPPED_READ_ONLY
    with pytest.raises(ValueError) as excinfo:
        db.flush()
    assert str(excinfo.value) == MAPPED_NO_FLUSH
    db.add_molecules([])
    assert len(db) == 1
    assert path.read_bytes() == before


def test_mapped_open_of_a_never_committed_file_appends(tmp_path):
    # No committed index: the database takes appends, and their records lie
    # past the mapping made at opening, so reads go through the file.
    path = tmp_path / "fresh.db"
    Database(str(path))
    db = Database.open(str(path))
    db.add_molecules([make_molecule(0), make_molecule(1)])
    assert_same(db[1], make_molecule(1))
    a, b = db.get_molecules([1, 0])
    assert_same(a, make_molecule(1))
    assert_same(b, make_molecule(0))
    db.flush()
    assert len(Database.open(str(path))) == 2


@pytest.mark.parametrize("mmap", [True, False], ids=["mmap", "file"])
def test_unflushed_records_are_readable_until_the_object_goes(tmp_path, mmap):
    path = tmp_path / "u.db"
    new_db(path, [make_molecule(0)], compression="lz4")
    db = Database.open(str(path), mmap=False)
    db.add_molecules([make_molecule(1), make_molecule(2)])
    assert len(db) == 3
    assert_same(db[2], make_molecule(2))
    assert_same(db.get_molecules([2, 1])[1], make_molecule(1))
    size = path.stat().st_size
    del db
    gc.collect()
    assert path.stat().st_size == size  # destruction commits nothing and cuts nothing
    again = Database.open(str(path), mmap=mmap)
    assert len(again) == 1
    assert_same(again[0], make_molecule(0))


def test_appending_after_reopen_cuts_the_uncommitted_tail(tmp_path):
    path = tmp_path / "tail.db"
    db = new_db(path, [make_molecule(0)])
    committed = path.stat().st_size
    db.add_molecule(make_molecule(1))
    del db
    db = Database.open(str(path), mmap=False)
    assert path.stat().st_size > committed
    db.add_molecule(make_molecule(2))
    db.flush()
    db = Database.open(str(path))
    assert len(db) == 2
    assert_same(db[1], make_molecule(2))
    entries, _ = index_entries(path)
    assert entries[1][0] == committed  # the new record starts where the commit ended


@pytest.mark.parametrize("opened", [False, True], ids=["created", "opened"])
def test_a_relative_path_stays_on_its_file_after_chdir(tmp_path, monkeypatch, opened):
    first, second = tmp_path / "first", tmp_path / "second"
    first.mkdir()
    second.mkdir()
    new_db(second / "db", [make_molecule(9)])
    decoy = (second / "db").read_bytes()
    monkeypatch.chdir(first)
    if opened:
        new_db("db", [make_molecule(0)])
        db = Database.open("db", mmap=False)
    else:
        db = Database("db")
        db.add_molecule(make_molecule(0))
    monkeypatch.chdir(second)
    db.add_molecule(make_molecule(1))
    db.flush()
    assert_same(db[0], make_molecule(0))
    assert_same(db[1], make_molecule(1))
    assert (second / "db").read_bytes() == decoy
    reopened = Database.open(str(first / "db"))
    assert len(reopened) == 2
    assert_same(reopened[1], make_molecule(1))


def test_flush_twice(tmp_path):
    path = tmp_path / "ff.db"
    db = Database(str(path))
    db.add_molecule(make_molecule(0))
    assert db.flush() is None
    db.flush()
    assert header_fields(path, 0)["generation"] == 2
    assert len(Database.open(str(path))) == 1


# ---- views and their lifetime ---------------------------------------------------------


def test_views_outlive_their_mapped_database(tmp_path):
    path = tmp_path / "life.db"
    molecules = [make_molecule(i, 6) for i in range(4)]
    new_db(path, molecules)
    db = Database.open(str(path))
    views = db.get_molecules([3, 1]) + [db[0]]
    del db
    gc.collect()
    for view, i in zip(views, [3, 1, 0]):
        assert_same(view, molecules[i])
    positions = views[0].positions
    assert positions.flags.writeable  # the mapping itself is read-only
    positions[:] = 0.0
    assert_same(views[0], molecules[3])
    np.testing.assert_array_equal(Database.open(str(path))[3].positions, molecules[3].positions)


def test_view_state_through_the_database(tmp_path):
    path = tmp_path / "state.db"
    original = make_molecule(5, 7, np.float64)
    new_db(path, [original], compression="zstd")
    view = Database.open(str(path))[0]
    owned = view.to_owned()
    assert type(owned) is PyMolecule
    assert_same(view, owned)
    assert_same(view, original)
    assert len(view) == 7
    assert repr(view) == repr(owned)
    # A setter turns the view into an owned molecule; the other fields stay.
    view.pbc = (False, False, False)
    assert view.pbc == (False, False, False)
    np.testing.assert_array_equal(view.positions, original.positions)
    assert view.positions.dtype == np.float64
    assert owned.pbc == original.pbc
    view.forces = np.zeros((7, 3), np.float32)
    assert not view.forces.any()
    assert_same(owned, original)


# ---- borrows -------------------------------------------------------------------------------


class CallsOnIndex:
    def __init__(self, call):
        self.call = call

    def __index__(self):
        self.call()
        return 0


class CallsOnIteration:
    def __init__(self, call, items):
        self.call = call
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        self.call()
        return self.items[i]


def test_writers_are_refused_while_a_read_converts_its_arguments(tmp_path):
    path = tmp_path / "b.db"
    db = new_db(path, [make_molecule(0)])
    for write in (db.flush, lambda: db.add_molecule(make_molecule(1)), lambda: db.add_molecules([])):
        for read in (db.get_molecule, db.__getitem__, lambda i: db.get_molecules([0, i])):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                read(CallsOnIndex(write))
    # Readers share.
    assert_same(db.get_molecules([CallsOnIndex(lambda: db[0])])[0], make_molecule(0))
    assert len(db) == 1


def test_readers_are_refused_while_a_write_converts_its_arguments(tmp_path):
    path = tmp_path / "w.db"
    db = new_db(path, [make_molecule(0)])
    for read in (lambda: len(db), lambda: db[0], lambda: db.get_molecules([0])):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            db.add_molecules(CallsOnIteration(read, [make_molecule(1)]))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        db.add_molecules(CallsOnIteration(db.flush, [make_molecule(1)]))
    assert len(db) == 1
    db.add_molecules(CallsOnIteration(lambda: None, [make_molecule(1)]))
    assert len(db) == 2


def test_a_writer_in_another_thread_is_refused_during_a_released_read(tmp_path):
    path = tmp_path / "threads.db"
    new_db(path, [make_molecule(i, 64) for i in range(1000)], compression="zstd", level=1)
    db = Database.open(str(path))
    indices = list(range(len(db))) * 4
    stop = threading.Event()
    reads = []

    def reader():
        while not stop.is_set():
            reads.append(len(db.get_molecules(indices)))

    thread = threading.Thread(target=reader)
    thread.start()
    seen = []
    try:
        # The reader releases the interpreter lock for its fetch, which hands
        # the lock to this thread while the read still holds its borrow.
        for _ in range(200_000):
            try:
                db.flush()
            except RuntimeError as e:
                seen.append(str(e))
                break
            except ValueError as e:
                assert str(e) == MAPPED_NO_FLUSH  # no read running: the mapping's own refusal
    finally:
        stop.set()
        thread.join()
    assert seen == ["Already borrowed"]
    assert set(reads) <= {len(indices)}


def test_reads_in_several_threads_at_once(tmp_path):
    path = tmp_path / "readers.db"
    molecules = [make_molecule(i, 16) for i in range(200)]
    new_db(path, molecules, compression="lz4")
    for mmap in (True, False):
        db = Database.open(str(path), mmap=mmap)
        for order, got in read_in_threads(200, db.get_molecules, repeats=5):
            for i, mol in zip(order, got):
                assert mol.energy == molecules[i].energy
                np.testing.assert_array_equal(mol.positions, molecules[i].positions)


# ---- running out of memory ------------------------------------------------------------------

BIG_ATOMS = 1_000_000  # a record of 13 MB


@pytest.fixture(scope="module")
def big_record_paths(tmp_path_factory):
    """By codec (zstd, lz4): record 0 decompresses to 13 MB, record 1 is small."""
    folder = tmp_path_factory.mktemp("memory")
    rng = np.random.default_rng(7)
    big = PyMolecule(rng.normal(size=(BIG_ATOMS, 3)).astype(np.float32),
                     rng.integers(1, 119, BIG_ATOMS).astype(np.uint8), energy=-1.0)
    paths = {}
    for codec in ("zstd", "lz4"):
        paths[codec] = folder / f"big-{codec}.db"
        new_db(paths[codec], [big, simple_molecule(2.0)], compression=codec, level=1)
    return paths


# Run under an address-space limit of 1 GiB above what the interpreter uses
# once the database is open, so that allocation fails for real, on the pool's
# threads as well as on the calling one. Then ordinary reads must still work.
OUT_OF_MEMORY_RUN = """
import resource
import crivane

db = crivane.Database.open({path!r}, mmap={mmap})
small = db[1].positions
with open("/proc/self/status") as f:
    used = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 30), used + (1 << 30)))
for _ in range(3):
    try:
        {read}
    except MemoryError:
        pass
    else:
        raise AssertionError("no MemoryError")
    for _ in range(20):
        for mol in db.get_molecules([1] * 16):
            assert mol.energy == 2.0 and (mol.positions == small).all()
        assert db[1].energy == 2.0
        if {whole}:
            assert [len(m) for m in db.get_molecules([0, 0])] == [{atoms}, {atoms}]
"""


@pytest.mark.skipif(SANITIZED, reason="ASan reserves more address space than the limit leaves")
@pytest.mark.parametrize("mmap", [True, False], ids=["mmap", "file"])
@pytest.mark.parametrize(
    "read, damaged",
    [
        ("db.get_molecules([0] * 400)", False),
        # An index entry claiming a record of 2 GiB. (LZ4, whose blocks do not
        # say how long they decode: a zstd frame does, and then bounds the
        # buffer whatever the entry claims.)
        ("db[0]", True),
        ("db.get_molecules([1, 0, 1, 0])", True),
    ],
    ids=["many-records", "damaged-entry-single", "damaged-entry-many"],
)
def test_out_of_memory_is_a_memory_error_and_reads_go_on(
    tmp_path, big_record_paths, run_python, mmap, read, damaged
):
    path = tmp_path / "big.db"
    path.write_bytes(big_record_paths["lz4" if damaged else "zstd"].read_bytes())
    if damaged:
        _, header = index_entries(path)
        with open(path, "r+b") as f:
            f.seek(header["index_offset"] + 8 + 12)  # entry 0's record length
            f.write(struct.pack("<I", 0x7FFFFFFF))
    run_python(OUT_OF_MEMORY_RUN.format(path=str(path), mmap=mmap, read=read, whole=not damaged,
                                        atoms=BIG_ATOMS))


# ---- interpreter exit -----------------------------------------------------------------------

# Daemon threads that keep reading (the interpreter lock released inside
# every call) while the main thread returns and the interpreter shuts down.
DAEMON_READERS_AT_EXIT = """
import threading
import crivane

started = threading.Semaphore(0)

def read_forever(db):
    indices = list(range(len(db)))
    while True:
        db.get_molecules(indices)
        db.get_molecule(len(db) // 2)
        started.release()

readers = 0
for path in {paths!r}:
    for mmap in (True, False):
        for _ in range(2):
            db = crivane.Database.open(path, mmap=mmap)
            threading.Thread(target=read_forever, args=(db,), daemon=True).start()
            readers += 1
for _ in range(readers):
    started.acquire()
"""


def test_exit_with_daemon_threads_inside_reads_is_clean(tmp_path, subprocess_env):
    paths = []
    for codec in ("none", "zstd"):
        path = tmp_path / f"exit-{codec}.db"
        new_db(path, [make_molecule(i, 64) for i in range(64)], compression=codec)
        paths.append(str(path))
    code = DAEMON_READERS_AT_EXIT.format(paths=paths)
    for _ in range(3):
        result = subprocess.run([sys.executable, "-c", code], env=subprocess_env,
                                capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stderr == ""


# ---- the class ------------------------------------------------------------------------------


def test_docstrings_and_signatures():
    assert Database.__text_signature__ == '(path, compression="none", level=3, overwrite=False)'
    assert Database.__doc__ == "Python wrapper for AtomDatabase"
    docs = {
        "open": ("(path, mmap=True, populate=False)",
                 "Open an existing database.\n\nBy default this uses a memory-mapped index and is "
                 "read-only. Reopen with\n`mmap=False` if you need to append molecules."),
        "add_molecule": ("($self, molecule)", "Add a molecule to the database"),
        "add_molecules": ("($self, molecules)", "Add multiple molecules (processed in parallel)"),
        "get_molecule": ("($self, index)", "Get a molecule by index as a lazy view-backed molecule."),
        "get_molecules": ("($self, indices)",
                          "Get multiple molecules by indices (parallel batch reading)\n\n"
                          "This is MUCH faster than calling get_molecule() in a loop!\n"
                          "Uses parallel I/O to read multiple molecules at once.\n\n"
                          "Parameters:\n- indices: List of molecule indices to fetch\n\n"
                          "Returns:\n- List of molecules"),
        "flush": ("($self)", "Flush and save the database"),
    }
    for name, (signature, doc) in docs.items():
        method = getattr(Database, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ == doc, name


def test_open_is_static_and_the_class_defines_no_pickling(tmp_path):
    path = tmp_path / "o.db"
    db = Database(str(path))
    assert type(Database.open(str(path))) is Database
    assert type(db.open(str(path))) is Database
    assert not hasattr(db, "close") and not hasattr(db, "__enter__")
    with pytest.raises(TypeError):
        __import__("pickle").dumps(db)
