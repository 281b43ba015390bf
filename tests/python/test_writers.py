"""One writer per database: a handle that writes beside another writer, or
after another handle committed, is refused and writes nothing; readers read
beside a writer; a writer that died leaves its uncommitted tail to the next."""

import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from crivane import Database
from databases import make_molecule, new_db

ANOTHER_WRITER = "Another handle is writing the database"
COMMITTED_ELSEWHERE = "was committed by another handle"


def energies(path, mmap=True):
    db = Database.open(str(path), mmap=mmap)
    return [m.energy for m in db.get_molecules(list(range(len(db))))]


def molecule_energy(i):
    return -1.25 - i


def batch_of(i):
    rng = np.random.default_rng(i)
    return dict(
        positions=rng.normal(size=(2, 4, 3)).astype(np.float32),
        atomic_numbers=np.ones((2, 4), np.uint8),
        energy=np.array([molecule_energy(i), molecule_energy(i + 1)]),
    )


# Every way a handle writes; `i` picks the molecules it writes.
WRITES = {
    "flush": lambda db, i: db.flush(),
    "add_molecule": lambda db, i: db.add_molecule(make_molecule(i)),
    "add_molecules": lambda db, i: db.add_molecules([make_molecule(i), make_molecule(i + 1)]),
    "add_arrays_batch": lambda db, i: db.add_arrays_batch(**batch_of(i)),
}


def refused(write, db, i, text):
    before = len(db)
    with pytest.raises(ValueError, match=text):
        write(db, i)
    assert len(db) == before


def in_child(body):
    """Runs body() in a forked child; a crash there (SIGBUS from a mapping
    whose file was cut) fails the test here instead of ending the run."""
    pid = os.fork()
    if pid == 0:
        try:
            body()
            code = 0
        except BaseException:
            code = 1
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status), f"the child died of signal {os.WTERMSIG(status)}"
    assert os.WEXITSTATUS(status) == 0


@pytest.mark.parametrize("write", WRITES.values(), ids=WRITES.keys())
def test_a_stale_handle_is_refused_after_another_commit(tmp_path, write):
    path = tmp_path / "db.crvn"
    new_db(path, [make_molecule(0)])
    mapped_reader = Database.open(str(path))
    writer = Database.open(str(path), mmap=False)
    writer.add_molecules([make_molecule(i) for i in range(1, 11)])
    stale = Database.open(str(path), mmap=False)  # sees the writer's records as a tail
    writer.flush()
    del writer
    committed = path.read_bytes()

    refused(write, stale, 20, COMMITTED_ELSEWHERE)
    refused(write, stale, 20, COMMITTED_ELSEWHERE)  # and stays so
    assert path.read_bytes() == committed
    assert energies(path) == [molecule_energy(i) for i in range(11)]

    def read_mapped():
        assert mapped_reader[0].energy == molecule_energy(0)

    in_child(read_mapped)
    # A handle opened now writes.
    fresh = Database.open(str(path), mmap=False)
    write(fresh, 20)
    fresh.flush()
    assert energies(path)[:11] == [molecule_energy(i) for i in range(11)]


@pytest.mark.parametrize("write", WRITES.values(), ids=WRITES.keys())
def test_a_second_handle_is_refused_while_the_writer_lives(tmp_path, write):
    path = tmp_path / "db.crvn"
    new_db(path, [make_molecule(0)])
    writer = Database.open(str(path), mmap=False)
    writer.add_molecule(make_molecule(1))
    second = Database.open(str(path), mmap=False)
    before = path.read_bytes()

    refused(write, second, 20, ANOTHER_WRITER)
    assert path.read_bytes() == before
    # Readers of both kinds read the committed records meanwhile.
    for mmap in (True, False):
        assert energies(path, mmap) == [molecule_energy(0)]

    writer.add_molecule(make_molecule(2))
    writer.flush()
    assert energies(path) == [molecule_energy(i) for i in range(3)]
    del writer
    # The commit it missed keeps it out for good.
    refused(write, second, 20, COMMITTED_ELSEWHERE)


def test_a_refused_handle_writes_once_the_writer_is_gone_without_a_commit(tmp_path):
    path = tmp_path / "db.crvn"
    new_db(path, [make_molecule(0)])
    committed_len = path.stat().st_size
    waiting = Database.open(str(path), mmap=False)
    writer = Database.open(str(path), mmap=False)
    writer.add_molecule(make_molecule(1))
    refused(WRITES["add_molecule"], waiting, 2, ANOTHER_WRITER)
    del writer  # never committed
    waiting.add_molecule(make_molecule(2))
    waiting.flush()
    assert energies(path) == [molecule_energy(0), molecule_energy(2)]
    # The gone writer's record was cut: the new one starts at the old end.
    raw = path.read_bytes()
    assert raw[committed_len : committed_len + 4] == (4).to_bytes(4, "little")


WRITER_SCRIPT = """
import sys
from crivane import Database
sys.path.insert(0, {tests!r})
from databases import make_molecule
db = Database.open({path!r}, mmap=False)
db.add_molecules([make_molecule(i) for i in range(1, 4)])
print("appended", flush=True)
if sys.stdin.readline().strip() == "flush":
    db.flush()
    db.add_molecule(make_molecule(9))  # never committed
    print("flushed", flush=True)
sys.stdin.readline()
"""


def start_writer(path, subprocess_env):
    code = WRITER_SCRIPT.format(tests=os.path.dirname(__file__), path=str(path))
    proc = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=subprocess_env,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert proc.stdout.readline().strip() == "appended"
    return proc


def test_a_writer_in_another_process_keeps_this_one_out(tmp_path, subprocess_env):
    path = tmp_path / "db.crvn"
    new_db(path, [make_molecule(0)])
    here = Database.open(str(path), mmap=False)
    proc = start_writer(path, subprocess_env)
    try:
        for write in WRITES.values():
            refused(write, here, 20, ANOTHER_WRITER)
        for mmap in (True, False):
            assert energies(path, mmap) == [molecule_energy(0)]
        proc.stdin.write("flush\n")
        proc.stdin.flush()
        assert proc.stdout.readline().strip() == "flushed"
        refused(WRITES["add_molecule"], here, 20, ANOTHER_WRITER)
    finally:
        proc.communicate("\n", timeout=60)
    assert proc.returncode == 0
    refused(WRITES["flush"], here, 20, COMMITTED_ELSEWHERE)
    assert energies(path) == [molecule_energy(i) for i in range(4)]


@pytest.mark.parametrize("committed_first", [False, True], ids=["uncommitted", "after-a-commit"])
def test_the_next_writer_appends_after_a_killed_writer(tmp_path, subprocess_env, committed_first):
    path = tmp_path / "db.crvn"
    new_db(path, [make_molecule(0)])
    opened_before = Database.open(str(path), mmap=False)
    proc = start_writer(path, subprocess_env)
    if committed_first:
        # It commits, appends once more and dies holding the lock.
        proc.stdin.write("flush\n")
        proc.stdin.flush()
        assert proc.stdout.readline().strip() == "flushed"
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait(timeout=60)
    proc.stdin.close()
    proc.stdout.close()

    committed = [molecule_energy(i) for i in range(4 if committed_first else 1)]
    # One opened before the kill only writes if nothing was committed since.
    if committed_first:
        refused(WRITES["add_molecule"], opened_before, 10, COMMITTED_ELSEWHERE)
    else:
        opened_before.add_molecule(make_molecule(10))
        opened_before.flush()
        committed.append(molecule_energy(10))
        del opened_before
    after = Database.open(str(path), mmap=False)
    after.add_molecule(make_molecule(11))
    after.flush()
    assert energies(path) == committed + [molecule_energy(11)]


def test_a_handle_used_on_both_sides_of_a_fork(tmp_path):
    path = tmp_path / "db.crvn"
    db = new_db(path, [make_molecule(0)])  # the parent's handle is the writer
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            db.add_molecule(make_molecule(50))
            db.flush()
            os.write(write_end, b"child committed")
        except ValueError as e:
            os.write(write_end, str(e).encode()[:200])
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        told = pipe.read()
    os.waitpid(pid, 0)
    assert ANOTHER_WRITER in told
    # Every flush that reported success is in the file.
    db.add_molecule(make_molecule(1))
    db.flush()
    assert energies(path) == [molecule_energy(0), molecule_energy(1)]


def test_a_fork_child_writes_as_a_writer_of_its_own(tmp_path):
    path = tmp_path / "db.crvn"
    new_db(path, [make_molecule(0)])
    db = Database.open(str(path), mmap=False)  # not a writer yet

    def child_commits():
        db.add_molecule(make_molecule(1))
        db.flush()

    in_child(child_commits)
    assert energies(path) == [molecule_energy(0), molecule_energy(1)]
    refused(WRITES["add_molecule"], db, 2, COMMITTED_ELSEWHERE)


def test_a_fork_child_does_not_keep_its_parents_lock(tmp_path):
    path = tmp_path / "db.crvn"
    writer = new_db(path, [make_molecule(0)])
    child_reads, parent_writes = os.pipe()
    parent_reads, child_writes = os.pipe()
    pid = os.fork()
    if pid == 0:
        # Lives on with the descriptors it inherited, and never writes.
        os.close(parent_writes)
        os.write(child_writes, b"+")
        os.read(child_reads, 1)
        os._exit(0)
    os.close(child_reads)
    os.close(child_writes)
    try:
        assert os.read(parent_reads, 1) == b"+"  # fork() has returned in the child
        del writer
        successor = Database.open(str(path), mmap=False)
        successor.add_molecule(make_molecule(1))
        successor.flush()
    finally:
        os.close(parent_writes)
        os.close(parent_reads)
        os.waitpid(pid, 0)
    assert energies(path) == [molecule_energy(0), molecule_energy(1)]


def test_overwrite_waits_for_the_writer_and_stops_the_old_handles(tmp_path):
    path = tmp_path / "db.crvn"
    writer = new_db(path, [make_molecule(0)])
    with pytest.raises(ValueError, match=ANOTHER_WRITER):
        Database(str(path), overwrite=True)
    writer.add_molecule(make_molecule(1))
    writer.flush()
    assert energies(path) == [molecule_energy(0), molecule_energy(1)]
    del writer
    old = Database.open(str(path), mmap=False)
    Database(str(path), overwrite=True)
    with pytest.raises(ValueError, match="was removed or replaced since this handle opened it"):
        old.add_molecule(make_molecule(2))
    assert energies(path) == []
