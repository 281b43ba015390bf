"""A database opened and read in the parent, then read by forked PyTorch DataLoader workers.

The parent's read makes the worker pool; forked workers must build their own
instead of waiting on threads that the fork did not copy. Each run is a
subprocess with a timeout, so that a hang fails the test instead of blocking
the suite.
"""
import subprocess
import sys

import numpy as np
import pytest

from conftest import SANITIZED
from crivane import Database, PyMolecule

pytest.importorskip("torch")

N_RECORDS = 300

# Record i: atoms(i) atoms, positions, atomic numbers and energy -i. The same
# definitions write the records here and check them in the subprocess.
RECORD = """
import numpy as np

def atoms(i):
    return 3 + i % 17

def positions(i):
    return np.arange(atoms(i) * 3, dtype=np.float32).reshape(-1, 3) * np.float32(0.5) + np.float32(i)

def numbers(i):
    return ((np.arange(atoms(i)) + i) % 100 + 1).astype(np.uint8)
"""
exec(RECORD)

LOADER_RUN = RECORD + """
import threading

import torch
from torch.utils.data import BatchSampler, DataLoader, Dataset, RandomSampler
import crivane

path, mmap, mode, n, busy = {path!r}, {mmap!r}, {mode!r}, {n}, {busy!r}
db = crivane.Database.open(path, mmap=mmap)
assert [m.energy for m in db.get_molecules(list(range(n)))] == [-float(i) for i in range(n)]


class Items(Dataset):
    def __len__(self):
        return n

    def __getitem__(self, i):
        mol = db[i]
        return dict(index=i, positions=torch.from_numpy(mol.positions),
                    numbers=mol.atomic_numbers, energy=torch.tensor(mol.energy))


class Batches(Dataset):
    # Under a batch sampler with batch_size=None, each item asked for is a
    # list of indices.
    def __len__(self):
        return n

    def __getitem__(self, indices):
        mols = db.get_molecules(indices)
        return dict(index=np.array(indices), n_atoms=np.array([len(m) for m in mols]),
                    positions=np.concatenate([m.positions for m in mols]),
                    numbers=np.concatenate([m.atomic_numbers for m in mols]),
                    energy=np.array([m.energy for m in mols]))


def records():
    # One epoch: (index, positions, numbers, energy) per record, from new workers.
    common = dict(batch_size=None, num_workers=4, multiprocessing_context="fork", timeout=60)
    if mode == "items":
        for item in DataLoader(Items(), shuffle=True, **common):
            yield (item["index"], item["positions"].numpy(), item["numbers"].numpy(),
                   item["energy"].item())
        return
    sampler = BatchSampler(RandomSampler(range(n)), batch_size=13, drop_last=False)
    for batch in DataLoader(Batches(), sampler=sampler, **common):
        cuts = np.cumsum(batch["n_atoms"].numpy())[:-1]
        yield from zip(batch["index"].tolist(), np.split(batch["positions"].numpy(), cuts),
                       np.split(batch["numbers"].numpy(), cuts), batch["energy"].tolist())


# A thread of the parent keeps the pool busy, so that workers are forked while
# pool threads may hold its lock.
stop = threading.Event()

def read_in_background():
    while busy and not stop.is_set():
        db.get_molecules(list(range(n)))

background = threading.Thread(target=read_in_background)
background.start()
for epoch in range(2):
    seen = []
    for i, pos, nums, energy in records():
        np.testing.assert_array_equal(pos, positions(i))
        np.testing.assert_array_equal(nums, numbers(i))
        assert energy == -float(i)
        seen.append(i)
    assert sorted(seen) == list(range(n)), seen
    # The parent's own reads still work between epochs.
    assert db[n - 1].energy == -float(n - 1)
stop.set()
background.join()
print("ok")
"""


@pytest.mark.parametrize("mode", ["items", "batches"])
@pytest.mark.parametrize(
    "codec, mmap", [("none", True), ("zstd", True), ("zstd", False)],
    ids=["mapped", "zstd-mapped", "zstd-file"],
)
def test_forked_dataloader_workers_read_every_record(tmp_path, subprocess_env, codec, mmap, mode):
    path = tmp_path / f"{codec}.db"
    db = Database(str(path), compression=codec)
    db.add_molecules([PyMolecule(positions(i), numbers(i), energy=-float(i))
                      for i in range(N_RECORDS)])
    db.flush()
    # Not under ASan: GCC 12's ASan allocator is not fork-safe, so a child
    # forked while a parent thread is in malloc can wait forever on its lock.
    code = LOADER_RUN.format(path=str(path), mmap=mmap, mode=mode, n=N_RECORDS,
                             busy=not SANITIZED)
    result = subprocess.run([sys.executable, "-c", code], env=subprocess_env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"
