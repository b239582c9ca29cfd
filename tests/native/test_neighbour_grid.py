"""Local observations from the neighbour grid against the scan of every point, bit for bit.

Run as a script, `python test_neighbour_grid.py NAME` prints the digest of the local
observations of a short episode in scene NAME, so that the tests can compare processes started
with the test-only ZANDREL_NEIGHBOUR_GRID_MIN_POINTS (0: every selection uses the grid; a huge
count: every selection scans).
"""

import hashlib
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

HERE = Path(__file__).parent
GRID_EVERYWHERE = "0"
SCAN_EVERYWHERE = str(2**62)
LIMIT = 2.0**40  # coordinates the grids still bin
# fewer, as many as and more neighbours than there are entities of a kind
NEIGHBOURS = [(3, 2, 2), (0, 5, 1), (1, 0, 0), (130, 130, 60)]
SCENES = ["lattice", "coincident", "line", "crowded", "outliers", "near-limit", "huge", "infinite"]


def points(rng, name, count):
    if name == "lattice":
        # a coarse integer lattice: many entities exactly equally far from an observer
        return rng.integers(-4, 5, 2 * count) * 2.0
    if name == "coincident":
        return rng.integers(0, 2, 2 * count) * 7.0
    if name == "line":
        return np.column_stack([rng.integers(-40, 40, count) * 1.5, np.zeros(count)]).ravel()
    if name == "outliers":
        # a few far entities stretch the grid's cells over a crowd
        values = rng.uniform(-15.0, 15.0, 2 * count)
        values[:4] = [1e6, -1e6, 3e5, 2e7]
        return values
    if name == "near-limit":
        return LIMIT - 100.0 + rng.uniform(-30.0, 30.0, 2 * count)
    values = rng.uniform(-30.0, 30.0, 2 * count)
    if name == "huge":
        values[3] = 2.0 * LIMIT
    if name == "infinite":
        values[5] = np.inf
    return values


def scene(name):
    rng = np.random.default_rng(sum(map(ord, name)))
    return [points(rng, name, count).tolist() for count in (120, 100, 50)]


def digest(name):
    import zandrel_cpp

    particles, boulders, landmarks = scene(name)
    rng = np.random.default_rng(7)
    hashed = hashlib.sha256()
    for neighbours in NEIGHBOURS:
        env = zandrel_cpp.Environment()
        env.init(particles, boulders, landmarks, 2, False, True, 1.0)
        env.set_observation("local", neighbours)
        results = [env.reset()[1]]
        for _ in range(3):
            moves = rng.uniform(-1.5, 1.5, (120, 2))
            results.append(env.step({f"particle_{i}": m for i, m in enumerate(moves)})[1])
        for observations in results:
            for row in observations.values():
                hashed.update(row.tobytes())
    return hashed.hexdigest()


def digest_in_child(min_points, name):
    env = {**os.environ, "ZANDREL_NEIGHBOUR_GRID_MIN_POINTS": min_points}
    return subprocess.run(
        [sys.executable, __file__, name],
        env=env,
        cwd=HERE,
        capture_output=True,
        text=True,
        timeout=300,
        check=True,
    ).stdout.split()[-1]


@pytest.mark.parametrize("name", SCENES)
def test_grid_matches_scan(name):
    """The grid forced on every selection, and at its default size, against the scan."""
    scanned = digest_in_child(SCAN_EVERYWHERE, name)
    assert digest_in_child(GRID_EVERYWHERE, name) == scanned
    assert digest(name) == scanned


if __name__ == "__main__":
    print(digest(sys.argv[1]))
