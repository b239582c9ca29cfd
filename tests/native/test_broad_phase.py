"""The broad phase leaves out only pairs that cannot touch: the bits of the exhaustive loops."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import zandrel_cpp
from broad_phase_scenes import episode

HERE = Path(__file__).parent
GRID_EVERYWHERE = "0"
EXHAUSTIVE_EVERYWHERE = str(2**62)


def run(min_pairs, *args):
    """A child process whose passes use the grid from `min_pairs` pairs on."""
    env = {**os.environ, "ZANDREL_BROAD_PHASE_MIN_PAIRS": min_pairs}
    return subprocess.run(
        [sys.executable, *args],
        env=env,
        cwd=HERE,
        capture_output=True,
        text=True,
        timeout=300,
        check=True,
    ).stdout


def digest(min_pairs, name):
    return run(min_pairs, "broad_phase_scenes.py", "digest", name, "30").split()[-1]


@pytest.mark.parametrize("name", ["crowded", "lattice", "near-limit", "infinite"])
def test_grid_matches_model(name):
    """The grid on every pass of small scenes, against the pure-Python model."""
    run(GRID_EVERYWHERE, "broad_phase_scenes.py", "model", name, "12")


def test_grid_matches_model_in_random_scenarios():
    """The randomised comparison of the whole core against the model, with the grid everywhere."""
    script = "from collections import Counter; import test_reference_model as t\n"
    script += "for seed in range(8): t.run_seed(seed, Counter())"
    run(GRID_EVERYWHERE, "-c", script)


@pytest.mark.parametrize(
    "name", ["crowded", "lattice", "spread", "near-limit", "huge", "infinite", "far-landmarks"]
)
@pytest.mark.parametrize("min_pairs", [GRID_EVERYWHERE, None])
def test_matches_exhaustive_loops(name, min_pairs):
    """The grid, forced and at its default size, against the exhaustive loops."""
    with_grid = digest(min_pairs, name) if min_pairs else digest_here(name)
    assert with_grid == digest(EXHAUSTIVE_EVERYWHERE, name)


def digest_here(name):
    from broad_phase_scenes import digest as scene_digest

    return scene_digest(name, 30)


@pytest.mark.parametrize("visit_all", [True, False])
def test_contact_exactly_at_limits(make_native_env, visit_all):
    """Many pairs exactly 6 (particle, landmark) and 10 (boulder) apart: no contact at all."""
    columns = np.arange(120, dtype=float) * 10.0
    boulders = np.column_stack([columns, np.zeros(120)]).ravel().tolist()
    particles = np.column_stack([columns, np.full(120, 6.0)]).ravel().tolist()
    landmarks = np.column_stack([columns[:60], np.full(60, -6.0)]).ravel().tolist()
    env = make_native_env(particles, boulders, landmarks, visit_all=visit_all, sparse_rewards=False)
    state, _, rewards, terminations, _ = env.step({})
    expected = [v for p in range(120) for v in (particles[2 * p], 6.0, 0.0, 0.0)]
    assert state[: 4 * 120 + 2 * 180].tolist() == expected + boulders + landmarks
    assert not any(state[4 * 120 + 2 * 180 :])
    assert rewards["particle_0"] == 0.0
    assert not terminations["particle_0"]


def test_episode_touches():
    """The scenes make contacts and arrivals, or comparing them would test nothing."""
    for name in ("crowded", "lattice", "near-limit"):
        steps = episode(zandrel_cpp.Environment(), name, 12)
        first, last = (np.frombuffer(state) for state, _, _ in (steps[0], steps[-1]))
        assert not np.array_equal(first, last), name
        assert any(float.fromhex(reward) != 0.0 for _, reward, _ in steps), name
