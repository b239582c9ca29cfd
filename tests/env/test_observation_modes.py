"""The relative and local observation modes against values computed from the state."""

import copy

import numpy as np
import pytest

import zandrel
from zandrel.layouts import Layout

# particle_0 at the origin: particle_3 nearest, particles 1 and 2 tied; boulders 1 and 2
# tied, boulder 0 farther and lying on landmark 0; nothing touches anything else
TIED_LAYOUT = Layout(
    particles=np.array([[0.0, 0.0], [3.0, 0.0], [0.0, 3.0], [-1.0, 0.0]]),
    boulders=np.array([[25.0, 0.0], [0.0, -20.0], [0.0, 20.0]]),
    landmarks=np.array([[25.0, 2.0], [-30.0, 0.0]]),
)
TIED_COUNTS = {"n_agents": 4, "n_boulders": 3, "n_landmarks": 2}


def stepped_env(steps=25, seed=3, **config):
    env = zandrel.parallel_env(**config)
    env.reset(seed=seed)
    rng = np.random.default_rng(seed)
    observations = None
    for _ in range(steps):
        actions = {agent: rng.uniform(-1, 1, 2) for agent in env.agents}
        observations = env.step(actions)[0]
    return env, observations


def test_relative_observations_are_the_global_ones_shifted_by_the_observer():
    config = {"n_agents": 3, "n_boulders": 2, "n_landmarks": 3, "visit_all": True}
    env, observations = stepped_env(**config, observation="relative")
    state = env.state()
    # x of the other particles' slots, then of the boulders and landmarks; y follows each
    xs = [4, 8, *range(12, 22, 2)]
    for a, observation in enumerate(observations.values()):
        expected = state.copy()
        expected[[0, 1, 2, 3]], expected[4 * a : 4 * a + 4] = state[4 * a : 4 * a + 4], state[:4]
        expected[xs] = expected[xs] - state[4 * a]
        expected[[x + 1 for x in xs]] = expected[[x + 1 for x in xs]] - state[4 * a + 1]
        assert observation.tobytes() == expected.tobytes()


def local_row(observer, state, counts, neighbours, done):
    """particle `observer`'s local observation, nearest first, ties to the lower index."""
    n_agents, n_boulders, n_landmarks = counts
    own = state[4 * observer : 4 * observer + 2]
    particles = state[: 4 * n_agents].reshape(n_agents, 4)
    boulders = state[4 * n_agents : 4 * n_agents + 2 * n_boulders].reshape(n_boulders, 2)
    landmarks = state[4 * n_agents + 2 * n_boulders :][: 2 * n_landmarks].reshape(n_landmarks, 2)
    row = list(particles[observer])
    kinds = [
        (
            particles[:, :2],
            lambda i: particles[i, 2:],
            [i for i in range(n_agents) if i != observer],
        ),
        (boulders, lambda i: [done[i]], list(range(n_boulders))),
        (landmarks, lambda i: [], list(range(n_landmarks))),
    ]
    for (points, extra, candidates), wanted, width in zip(
        kinds, neighbours, (5, 4, 3), strict=True
    ):
        offsets = points[candidates] - own
        order = sorted(zip((offsets**2).sum(axis=1), candidates, strict=True))[:wanted]
        for _, index in order:
            row += [1.0, *(points[index] - own), *extra(index)]
        row += [0.0] * width * (wanted - len(order))
    return np.array(row)


@pytest.mark.parametrize(("visit_all", "boulder_0_done"), [(False, 1.0), (True, 0.0)])
def test_local_orders_ties_pads_and_flags_on_a_built_layout(visit_all, boulder_0_done):
    neighbours = (4, 3, 3)
    env = zandrel.parallel_env(
        **TIED_COUNTS, visit_all=visit_all, observation="local", n_neighbours=neighbours
    )
    env.reset(options={"layout": TIED_LAYOUT})
    # particle_3 moves, so that its neighbours see its velocity; boulder 0 arrives
    observations = env.step({"particle_3": np.array([0.0, -0.5])})[0]
    state = env.state()
    x3, y3 = state[12:14]
    assert observations["particle_0"].tolist() == [
        *(0.0, 0.0, 0.0, 0.0),
        *(1.0, x3, y3, 0.0, -0.5, 1.0, 3.0, 0.0, 0.0, 0.0, 1.0, 0.0, 3.0, 0.0, 0.0),
        *(0.0,) * 5,
        *(1.0, 0.0, -20.0, 0.0, 1.0, 0.0, 20.0, 0.0, 1.0, 25.0, 0.0, boulder_0_done),
        *(1.0, 25.0, 2.0, 1.0, -30.0, 0.0, 0.0, 0.0, 0.0),
    ]
    done = [boulder_0_done, 0.0, 0.0]
    for a, observation in enumerate(observations.values()):
        expected = local_row(a, state, (4, 3, 2), neighbours, done)
        assert observation.tobytes() == expected.tobytes()
        assert env.observation_space(f"particle_{a}").contains(observation)


@pytest.mark.parametrize("neighbours", [(0, 0, 0), (1, 0, 2), (9, 1, 0)])
def test_local_length_is_fixed_by_the_neighbour_counts(neighbours):
    env = zandrel.parallel_env(**TIED_COUNTS, observation="local", n_neighbours=neighbours)
    observations, _ = env.reset(options={"layout": TIED_LAYOUT})
    length = 4 + 5 * neighbours[0] + 4 * neighbours[1] + 3 * neighbours[2]
    assert env.observation_space("particle_1").shape == (length,)
    assert env.config.observation_length == length
    assert (
        observations["particle_1"].tolist()
        == local_row(1, env.state(), (4, 3, 2), neighbours, [0.0] * 3).tolist()
    )


def test_a_copy_keeps_its_observation_mode():
    env, _ = stepped_env(steps=5, n_agents=3, observation="local", n_neighbours=(1, 1, 1))
    twin = copy.deepcopy(env)
    actions = {agent: [0.3, -0.2] for agent in env.agents}
    assert np.array_equal(
        np.array(list(env.step(actions)[0].values())),
        np.array(list(twin.step(actions)[0].values())),
    )
    assert twin.step(actions)[0]["particle_0"].shape == (4 + 5 + 4 + 3,)


TEAM_OF_10000 = {"n_agents": 10_000, "n_boulders": 10_000, "n_landmarks": 5_000}


@pytest.mark.parametrize(("observation", "accepted"), [("local", True), ("global", False)])
def test_memory_guard_counts_the_observation_mode(observation, accepted):
    if accepted:
        config = zandrel.EnvConfig(**TEAM_OF_10000, observation=observation)
        assert config.observation_bytes == 8 * 10_000 * 52
        return
    with pytest.raises(zandrel.ConfigError, match="every agent observes the whole state"):
        zandrel.EnvConfig(**TEAM_OF_10000, observation=observation)


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (
            lambda: zandrel.parallel_env(observation="egocentric"),
            "observation must be 'global', 'relative', 'local' or 'state', got 'egocentric'",
        ),
        (
            lambda: zandrel.parallel_env(observation="local", n_neighbours=(1, -1, 1)),
            "n_neighbours must be 3 integers >= 0 (k_particles, k_boulders, k_landmarks), "
            "got (1, -1, 1)",
        ),
        (
            lambda: zandrel.parallel_env(observation="local", n_neighbours="444"),
            "n_neighbours must be 3 integers >= 0 (k_particles, k_boulders, k_landmarks), "
            "got '444'",
        ),
        (
            lambda: zandrel.parallel_env(n_neighbours=(2, 2, 2)),
            "n_neighbours=(2, 2, 2) is read by observation='local' only, got "
            "observation='global'; pass observation='local' or leave n_neighbours out",
        ),
        (
            lambda: zandrel.parallel_env(observation="state"),
            "parallel_env() gives one observation per agent, so observation must be 'global', "
            "'relative' or 'local', got 'state'; zandrel.vector_env(observation='state') gives "
            "one global state per environment",
        ),
        (
            lambda: zandrel.agent_vector_env(2, observation="state"),
            "agent_vector_env() gives one observation per agent, so observation must be "
            "'global', 'relative' or 'local', got 'state'; zandrel.vector_env(observation="
            "'state') gives one global state per environment",
        ),
    ],
)
def test_bad_observation_options_are_refused(make, message):
    with pytest.raises(zandrel.ConfigError) as raised:
        make()
    assert str(raised.value) == message
