import re

import numpy as np
import pytest


def test_layout_of_two_particles_one_boulder_two_landmarks(make_native_env):
    # the boulder starts within reach of landmark 1 only
    env = make_native_env([0.0, 0.0, 100.0, 0.0], [50.0, 50.0], [300.0, 300.0, 50.0, 53.0])
    state, _ = env.reset()
    assert state.tolist() == [0, 0, 0, 0, 100, 0, 0, 0, 50, 50, 300, 300, 50, 53, 0, 0]
    state = env.step({"particle_0": [0.3, 0.4], "particle_1": [-0.6, 0.8]})[0]
    assert state.dtype == np.float64
    assert state.shape == (16,)
    assert state.tolist() == [
        *(0.0 + 0.3 * 0.1, 0.0 + 0.4 * 0.1, 0.3, 0.4),
        *(100.0 + -0.6 * 0.1, 0.0 + 0.8 * 0.1, -0.6, 0.8),
        *(50.0, 50.0, 300.0, 300.0, 50.0, 53.0, 0.0, 1.0),
    ]


def test_no_particles_gives_no_observations(make_native_env):
    env = make_native_env([], [1.0, 2.0], [20.0, 0.0])
    state, observations, rewards, terminations, truncations = env.step({})
    assert state.tolist() == [1.0, 2.0, 20.0, 0.0, 0.0]
    assert observations == rewards == terminations == truncations == {}


def test_trailing_odd_value_is_ignored(make_native_env):
    state, observations = make_native_env([1.0, 2.0, 3.0, 4.0, 5.0]).reset()
    assert state.tolist() == [1.0, 2.0, 0.0, 0.0, 3.0, 4.0, 0.0, 0.0]
    assert list(observations) == ["particle_0", "particle_1"]


def test_observation_exchanges_own_block_with_particle_0(make_native_env):
    env = make_native_env([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [50.0, 50.0], [90.0, 90.0])
    actions = {"particle_0": [0.1, 0.2], "particle_1": [0.3, 0.4], "particle_2": [0.5, 0.6]}
    state, observations = env.step(actions)[:2]
    blocks = [state[4 * i : 4 * i + 4].tolist() for i in range(3)]
    # an exchange of two blocks, not a rotation of the particle section
    orders = {"particle_0": (0, 1, 2), "particle_1": (1, 0, 2), "particle_2": (2, 1, 0)}
    assert list(observations) == list(orders)
    for name, order in orders.items():
        expected = [v for i in order for v in blocks[i]] + state[12:].tolist()
        assert observations[name].tolist() == expected
        assert observations[name].dtype == np.float64
        assert observations[name].ndim == 1


def test_returned_arrays_are_independent(make_native_env):
    env = make_native_env([1.0, 2.0], [50.0, 50.0], [90.0, 90.0])
    state, observations = env.reset()
    again, _ = env.reset()
    original = state.copy()
    state[:] = -1.0
    assert observations["particle_0"].tolist() == original.tolist()
    assert again.tolist() == original.tolist()
    env.step({"particle_0": [1.0, 0.0]})
    assert observations["particle_0"].tolist() == again.tolist() == original.tolist()
    assert env.reset()[0].tolist() == original.tolist()


def test_reset_restores_start_and_follows_new_counts(make_native_env):
    env = make_native_env([0.0, 0.0], [3.0, 0.0], [0.0, 0.0])
    start, _ = env.reset()
    assert env.step({"particle_0": [1.0, 1.0]})[0][-1] == 1.0
    assert env.reset()[0].tolist() == start.tolist()
    env.init([0.0, 0.0], [3.0, 0.0, 30.0, 0.0], [9.0, 9.0], 1, True, True, 1.0)
    assert env.reset()[0].tolist() == [0, 0, 0, 0, 3, 0, 30, 0, 9, 9, 0, 0]


@pytest.mark.parametrize(
    ("observation", "n_neighbours", "message"),
    [
        (
            "state",
            (4, 4, 4),
            "Environment.set_observation() gives one observation per agent: observation must "
            "be 'global', 'relative' or 'local', got 'state' (one state per environment is "
            "zandrel.vector_env's; here step() and reset() return the state first)",
        ),
        (
            "nearby",
            (4, 4, 4),
            "observation must be 'global', 'relative', 'local' or 'state', got 'nearby'",
        ),
        ("local", (1, -1, 0), "n_neighbours must be three integers >= 0, got (1, -1, 0)"),
        (
            "local",
            (2**30, 0, 0),
            "n_neighbours=(1073741824, 0, 0) gives local observations of 5368709124 values; "
            "at most 2147483647 fit",
        ),
    ],
)
def test_observation_choices_the_record_cannot_write_are_refused(
    make_native_env, observation, n_neighbours, message
):
    env = make_native_env([0.0, 0.0, 9.0, 0.0], [50.0, 50.0], [90.0, 90.0])
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        env.set_observation(observation, n_neighbours)
    # the record keeps writing what it wrote before
    assert env.reset()[1]["particle_1"].tolist() == [9, 0, 0, 0, 0, 0, 0, 0, 50, 50, 90, 90, 0]
