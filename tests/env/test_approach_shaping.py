"""The approach term: which boulder each particle heads for, and how the reward gains it."""

import math

import numpy as np
import pytest

import zandrel
from zandrel import _batch


def state(particles, boulders, landmarks, flags):
    rows = [[x, y, 0.0, 0.0] for x, y in particles]
    return np.array(
        [v for row in rows for v in row]
        + [v for point in boulders + landmarks for v in point]
        + flags,
        dtype=np.float64,
    )


def distance(a, b):
    dx = b[0] - a[0]
    dy = b[1] - a[1]
    return math.sqrt(dx * dx + dy * dy)


# one particle walks from the origin to (-1, 0); boulders at (3, 4) and (-3, -4), both 5 away
START, END = (0.0, 0.0), (-1.0, 0.0)
BOULDERS = [(3.0, 4.0), (-3.0, -4.0)]
TO_FIRST = 5.0 - distance(END, BOULDERS[0])
TO_SECOND = 5.0 - distance(END, BOULDERS[1])


@pytest.mark.parametrize(
    ("visit_all", "landmarks", "flags", "expected"),
    [
        # a tie goes to the lower index
        (False, [(50.0, 0.0)], [0.0, 0.0], TO_FIRST),
        # a boulder that has arrived is no longer open
        (False, [(50.0, 0.0)], [1.0, 0.0], TO_SECOND),
        (False, [(50.0, 0.0)], [1.0, 1.0], 0.0),
        # with visit_all, a boulder is open while one landmark is left to visit
        (True, [(50.0, 0.0), (-50.0, 0.0)], [1.0, 0.0, 0.0, 0.0], TO_FIRST),
        (True, [(50.0, 0.0), (-50.0, 0.0)], [1.0, 0.0, 1.0, 0.0], TO_SECOND),
        (True, [], [], 0.0),
    ],
)
def test_each_particle_heads_for_its_nearest_open_boulder(visit_all, landmarks, flags, expected):
    before = state([START], BOULDERS, landmarks, flags)
    after = state([END], BOULDERS, landmarks, flags)
    progress = _batch.approach_progress(before, after, 1, 2, len(landmarks), visit_all)
    assert progress == expected


def test_progress_sums_particles_in_order_and_follows_moved_boulders():
    boulders_before = [(10.0, 0.0), (0.0, 30.0)]
    boulders_after = [(10.5, 0.25), (0.0, 30.0)]
    before = state([(0.0, 0.0), (1.0, 27.0)], boulders_before, [(99.0, 0.0)], [0.0, 0.0])
    after = state([(0.3, 0.1), (1.0, 27.5)], boulders_after, [(99.0, 0.0)], [0.0, 0.0])
    first = 10.0 - distance((0.3, 0.1), boulders_after[0])
    second = distance((1.0, 27.0), boulders_before[1]) - distance((1.0, 27.5), boulders_after[1])
    assert _batch.approach_progress(before, after, 2, 2, 1, False) == (0.0 + first) + second


def test_parallel_env_adds_the_weighted_term_to_the_core_reward():
    plain = zandrel.parallel_env(approach_shaping=0.0)
    shaped = zandrel.parallel_env(approach_shaping=0.75)
    plain.reset(seed=3)
    shaped.reset(seed=3)
    rng = np.random.default_rng(0)
    for _ in range(40):
        before = plain.state()
        actions = {agent: rng.uniform(-1, 1, 2) for agent in plain.agents}
        _, core, *_ = plain.step(actions)
        _, rewards, *_ = shaped.step(actions)
        progress = _batch.approach_progress(before, plain.state(), 2, 2, 2, False)
        assert progress != 0.0
        assert set(rewards.values()) == {core["particle_0"] + 0.75 * progress}


def test_state_vectors_of_the_wrong_length_are_refused():
    with pytest.raises(
        ValueError,
        match=r"before must be a C-contiguous float64 array of shape \(13,\), "
        r"got a float64 array of shape \(12,\)",
    ):
        _batch.approach_progress(np.zeros(12), np.zeros(13), 2, 1, 1, False)
