"""The PettingZoo environment: API conformance, episodes, layouts, actions and pickling."""

import copy
import inspect
import pickle
import re
import sys
import warnings

import numpy as np
import pytest
from gymnasium.error import ClosedEnvironmentError
from gymnasium.spaces import Box
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import zandrel
from zandrel.config import (
    CONTACT_DISTANCE,
    MAX_OBSERVATION_BYTES_VARIABLE,
    ConfigError,
    EnvConfig,
)
from zandrel.policies import HeuristicPolicy
from zandrel.zandrel_env import ZandrelEnv

with warnings.catch_warnings():
    # pettingzoo.test imports PettingZoo's own example environments through its deprecated API
    warnings.filterwarnings("ignore", "The old environment creation API", DeprecationWarning)
    from pettingzoo.test import (
        api_test,
        max_cycles_test,
        parallel_api_test,
        parallel_seed_test,
        seed_test,
        state_test,
    )

# the plane is unbounded, so positions in the spaces are too; PettingZoo warns about that
UNBOUNDED_OBSERVATIONS = [
    "ignore:Agent's minimum observation space value is -infinity",
    "ignore:Agent's maximum observation space value is infinity",
]
UNBOUNDED_STATE = [
    "ignore:Environment's minimum state space value is -infinity",
    "ignore:Environment's maximum state space value is infinity",
]


def run_episode(env, actions_for, steps):
    """Step `env` with `actions_for(env)` and collect every result, bit-exact comparable."""
    trace = []
    for _ in range(steps):
        if not env.agents:
            trace.append(env.reset())
            continue
        observations, rewards, terminations, truncations, _ = env.step(actions_for(env))
        trace.append((observations, rewards, terminations, truncations))
    return trace


def assert_same_trace(first, second):
    assert len(first) == len(second)
    for left, right in zip(first, second, strict=True):
        assert pickle.dumps(left) == pickle.dumps(right)


def noisy_heuristic(seed):
    """Scripted pushing plus seeded noise: boulders move, goals are met, episodes end."""
    policy = HeuristicPolicy()
    rng = np.random.default_rng(seed)

    def actions_for(env):
        if env.steps == 0:
            policy.reset()
        return {
            agent: action + rng.normal(0.0, 0.3, size=2) for agent, action in policy(env).items()
        }

    return actions_for


def leaving_one_out(seed):
    """noisy_heuristic with one agent left out per step, in turn: it keeps its last velocity."""
    actions_for_all = noisy_heuristic(seed)

    def actions_for(env):
        actions = actions_for_all(env)
        del actions[env.possible_agents[env.steps % env.n_agents]]
        return actions

    return actions_for


def pickle_round_trip(env, protocol=pickle.DEFAULT_PROTOCOL):
    return pickle.loads(pickle.dumps(env, protocol))


COPIERS = [
    pytest.param(pickle_round_trip, id="pickle"),
    # the oldest protocol keeps the actions as text, NaN included
    pytest.param(lambda env: pickle_round_trip(env, protocol=0), id="pickle-protocol-0"),
    pytest.param(copy.deepcopy, id="deepcopy"),
]


def test_parallel_api():
    parallel_api_test(zandrel.parallel_env(), num_cycles=400)


@pytest.mark.filterwarnings(*UNBOUNDED_OBSERVATIONS)
def test_aec_api():
    api_test(zandrel.env(), num_cycles=400)


def test_seed_checks():
    parallel_seed_test(zandrel.parallel_env)
    seed_test(zandrel.env)


def test_max_cycles():
    max_cycles_test(zandrel)


@pytest.mark.filterwarnings(*UNBOUNDED_STATE)
def test_state():
    state_test(zandrel.env(), zandrel.parallel_env())


def test_same_seed_same_episodes_over_hundreds_of_steps():
    first, second = zandrel.parallel_env(max_cycles=250), zandrel.parallel_env(max_cycles=250)
    first.reset(seed=7)
    second.reset(seed=7)
    trace = run_episode(first, noisy_heuristic(3), 600)
    assert_same_trace(trace, run_episode(second, noisy_heuristic(3), 600))
    # the trace covers successes and the resets after them
    assert any(len(step) == 4 and all(step[2].values()) for step in trace)
    assert sum(len(step) == 2 for step in trace) >= 2


def test_different_seeds_diverge():
    env = zandrel.parallel_env()
    first = env.reset(seed=1)[0]["particle_0"]
    second = env.reset(seed=2)[0]["particle_0"]
    unseeded = env.reset()[0]["particle_0"]
    assert not np.array_equal(first, second)
    assert not np.array_equal(second, unseeded)
    assert np.array_equal(env.reset(seed=1)[0]["particle_0"], first)


@settings(max_examples=40, deadline=None)
@given(
    n_agents=st.integers(1, 4),
    n_boulders=st.integers(0, 4),
    n_landmarks=st.integers(0, 3),
    visit_all=st.booleans(),
    seed=st.integers(0, 2**32 - 1),
)
def test_layouts_start_apart(n_agents, n_boulders, n_landmarks, visit_all, seed):
    # boulders without landmarks are refused unless visit_all
    assume(n_landmarks > 0 or n_boulders == 0 or visit_all)
    env = ZandrelEnv(
        n_agents=n_agents,
        n_boulders=n_boulders,
        n_landmarks=n_landmarks,
        visit_all=visit_all,
        spawn_size=50.0,
    )
    env.reset(seed=seed)
    start = env.snapshot()

    def gaps(a, b):
        return np.linalg.norm(a[:, None, :] - b[None, :, :], axis=2)

    boulder_gaps = gaps(start.boulders, start.boulders) + np.eye(n_boulders) * 1e9
    assert np.all(boulder_gaps >= 10.0)
    assert np.all(gaps(start.particles, start.boulders) >= CONTACT_DISTANCE)
    assert np.all(gaps(start.boulders, start.landmarks) >= 6.0)
    assert np.all(np.abs(np.concatenate([start.particles, start.boulders, start.landmarks])) <= 25)
    assert start.goals_met == 0
    assert start.goals_total == (n_landmarks * n_boulders if visit_all else n_boulders)


def test_episode_ends_for_all_agents_on_success():
    env = zandrel.parallel_env(n_agents=3)
    env.reset(seed=4)
    policy = HeuristicPolicy()
    while env.agents:
        _, rewards, terminations, truncations, _ = env.step(policy(env))
    assert terminations == dict.fromkeys(env.possible_agents, True)
    assert truncations == dict.fromkeys(env.possible_agents, False)
    assert len(set(rewards.values())) == 1
    assert env.snapshot().boulders_done.all()
    with pytest.raises(
        RuntimeError, match=r"^step\(\) needs a running episode; call reset\(\) first$"
    ):
        env.step({})


def test_truncation_at_max_cycles_with_fresh_dicts():
    env = zandrel.parallel_env(max_cycles=3)
    env.reset(seed=0)
    results = [env.step({}) for _ in range(3)]
    assert [all(step[3].values()) for step in results] == [False, False, True]
    assert not any(results[-1][2].values())
    assert env.agents == []
    for position in range(5):
        assert results[0][position] is not results[1][position]
    infos = results[-1][4]
    infos["particle_0"]["terminal_observation"] = "x"
    assert infos["particle_1"] == {}


def test_actions_are_not_written_and_absent_agents_stand_still():
    env = zandrel.parallel_env()
    observations, _ = env.reset(seed=0)
    action = np.array([3.0, 4.0])
    observations_after, *_ = env.step({"particle_0": action})
    assert action.tolist() == [3.0, 4.0]
    moved = observations_after["particle_0"][:2] - observations["particle_0"][:2]
    # clipped to (1, 1), scaled to unit length, 0.1 units per sub-step, 5 sub-steps
    np.testing.assert_allclose(moved, [0.5 / np.sqrt(2)] * 2)
    assert np.array_equal(observations_after["particle_1"][:2], observations["particle_1"][:2])


@pytest.mark.parametrize(
    ("actions", "message"),
    [
        ({"particle_0": [1.0]}, "the action of particle_0 must hold 2 numbers, got shape (1,)"),
        (
            {"particle_1": [[0.0, 1.0]]},
            "the action of particle_1 must hold 2 numbers, got shape (1, 2)",
        ),
        ({"particle_0": [np.nan, 0.0]}, "the action of particle_0 must not be NaN, got [nan, 0.0]"),
        ({"particle_1": "up"}, "the action of particle_1 must be 2 real numbers, got text 'up'"),
        (
            {"particle_0": np.array([1j, 0.0])},
            "the action of particle_0 must be 2 real numbers, got complex values "
            "array([0.+1.j, 0.+0.j])",
        ),
        ({"particle_0": None}, "the action of particle_0 must be 2 real numbers, got None"),
        (
            {"particle_0": [1.0, None]},
            "the action of particle_0 must be 2 real numbers, got [1.0, None]",
        ),
        (
            {"particle_0": [[1.0], [1.0, 2.0]]},
            "the action of particle_0 must be 2 real numbers, got [[1.0], [1.0, 2.0]]",
        ),
        (
            {"particle_2": [0.0, 0.0]},
            "actions name agents that are not live: ['particle_2']; "
            "live agents: ['particle_0', 'particle_1']",
        ),
    ],
)
def test_bad_actions_are_refused_before_anything_moves(actions, message):
    env = zandrel.parallel_env()
    env.reset(seed=0)
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        env.step(actions)
    assert env.steps == 0


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (
            lambda env: env.step([np.zeros(2), np.zeros(2)]),
            TypeError,
            "actions must be a dict from agent name to action, got list; "
            "live agents: ['particle_0', 'particle_1']",
        ),
        (
            lambda env: env.observation_space("nobody"),
            KeyError,
            "\"observation_space() takes one of the agents 'particle_0', 'particle_1', "
            "got 'nobody'\"",
        ),
        (
            lambda env: env.action_space(0),
            KeyError,
            "\"action_space() takes one of the agents 'particle_0', 'particle_1', got 0\"",
        ),
    ],
)
def test_misuse_of_the_api_is_named(call, error, message):
    env = zandrel.parallel_env()
    env.reset(seed=0)
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        call(env)
    assert env.steps == 0


@pytest.mark.parametrize(
    "call",
    [lambda env: env.step(dict.fromkeys(env.possible_agents, (0.0, 0.0))), lambda env: env.reset()],
    ids=["step", "reset"],
)
def test_closed_environment_refuses_to_go_on(call):
    env = zandrel.parallel_env()
    env.reset(seed=0)
    env.close()
    message = "this ZandrelEnv is closed; create a new one with zandrel.parallel_env()"
    with pytest.raises(ClosedEnvironmentError, match=f"^{re.escape(message)}$"):
        call(env)


@pytest.mark.parametrize("visit_all", [False, True])
def test_spaces_describe_what_is_returned(visit_all):
    env = zandrel.parallel_env(n_agents=3, n_boulders=2, n_landmarks=3, visit_all=visit_all)
    observations, _ = env.reset(seed=0)
    length = 4 * 3 + 2 * 2 + 2 * 3 + (6 if visit_all else 2)
    first, second = env.observation_space("particle_0"), env.observation_space("particle_1")
    assert first is env.observation_space("particle_0")
    assert first is not second
    assert first == second
    assert first.shape == (length,)
    assert first.dtype == observations["particle_0"].dtype
    assert env.action_space("particle_2") == Box(-1.0, 1.0, shape=(2,), dtype=np.float32)
    assert all(first.contains(observation) for observation in observations.values())
    env.snapshot().particles[:] = 1e9
    assert np.array_equal(env.state(), observations["particle_0"])
    assert env.state_space.contains(env.state())


@pytest.mark.parametrize("copier", COPIERS)
@pytest.mark.parametrize("steps_before", [0, 1, 120])
def test_copied_environment_keeps_stepping_identically(copier, steps_before):
    env = zandrel.parallel_env(max_cycles=200)
    env.reset(seed=11)
    run_episode(env, noisy_heuristic(5), steps_before)
    copied = copier(env)
    assert np.array_equal(copied.state(), env.state())
    assert_same_trace(
        run_episode(env, noisy_heuristic(6), 150), run_episode(copied, noisy_heuristic(6), 150)
    )


@pytest.mark.parametrize("copier", COPIERS)
@pytest.mark.parametrize(
    ("max_cycles", "steps_before", "ending"),
    [(400, 60, "running"), (60, 60, "truncated"), (400, 400, "terminated")],
)
def test_copies_keep_left_out_agents_and_ended_episodes(copier, max_cycles, steps_before, ending):
    env = zandrel.parallel_env(n_agents=3, max_cycles=max_cycles)
    env.reset(seed=4)
    actions_for = leaving_one_out(8)
    while env.agents and env.steps < steps_before:
        env.step(actions_for(env))
    assert (ending == "running") == bool(env.agents)
    assert (ending == "terminated") == env.snapshot().boulders_done.all()
    # every particle moves: a left-out agent replayed as standing still would show
    assert np.all(env.snapshot().velocities != 0)
    copied = copier(env)
    assert copied.state().tobytes() == env.state().tobytes()
    assert (copied.agents, copied.steps) == (env.agents, env.steps)
    assert_same_trace(
        run_episode(env, leaving_one_out(9), 150), run_episode(copied, leaving_one_out(9), 150)
    )


def test_kept_actions_take_at_most_17_bytes_per_agent_step():
    env = zandrel.parallel_env(n_agents=3, max_cycles=10**6)
    env.reset(seed=0)
    empty = sys.getsizeof(env._history)
    rng = np.random.default_rng(0)
    for _ in range(6):
        for _ in range(1000):
            # particle_1 is left out, and its slots are kept all the same
            env.step({"particle_0": rng.uniform(-1, 1, 2), "particle_2": rng.uniform(-1, 1, 2)})
        agent_steps = 3 * env.steps
        # two float64 per agent-step, plus up to a sixteenth spare in the growing array
        assert 16 * agent_steps <= sys.getsizeof(env._history) - empty <= 17 * agent_steps + 64
    # long enough for the replay to run across chunks of the history
    assert pickle_round_trip(env).state().tobytes() == env.state().tobytes()
    env.reset()
    assert sys.getsizeof(env._history) == empty


def test_unreset_environment_pickles():
    copy = pickle.loads(pickle.dumps(zandrel.parallel_env(n_agents=4)))
    assert copy.reset(seed=0)[0].keys() == {f"particle_{i}" for i in range(4)}


def test_supersuit_vector_environments():
    import supersuit

    vector = supersuit.pettingzoo_env_to_vec_env_v1(zandrel.parallel_env(max_cycles=4))
    stacked = supersuit.concat_vec_envs_v1(vector, 3, num_cpus=0, base_class="gymnasium")
    observations, _ = stacked.reset(seed=0)
    assert observations.shape == (6, 18)
    for _ in range(4):
        observations, _, terminations, truncations, infos = stacked.step(
            np.zeros((6, 2), dtype=np.float32)
        )
    assert truncations.all()
    assert not terminations.any()
    assert "terminal_observation" in infos[0]
    assert infos[1] is not infos[0]


def test_construction_prints_nothing(capfd):
    zandrel.parallel_env()
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    ("keyword", "value", "message"),
    [
        ("n_agents", 0, "n_agents must be an integer >= 1, got 0"),
        ("n_agents", 2.0, "n_agents must be an integer >= 1, got 2.0"),
        ("n_boulders", -1, "n_boulders must be an integer >= 0, got -1"),
        ("n_landmarks", True, "n_landmarks must be an integer >= 0, got True"),
        ("n_physics_steps", 0, "n_physics_steps must be an integer >= 1, got 0"),
        ("max_cycles", 0, "max_cycles must be None or an integer >= 1, got 0"),
        (
            "max_observation_bytes",
            1.5,
            "max_observation_bytes must be None or an integer >= 1, got 1.5",
        ),
        ("sparse_rewards", 1, "sparse_rewards must be True or False, got 1"),
        ("visit_all", "yes", "visit_all must be True or False, got 'yes'"),
        ("sparse_weight", float("nan"), "sparse_weight must be a finite number, got nan"),
        ("spawn_size", 0.0, "spawn_size must be a finite number > 0, got 0.0"),
        ("approach_shaping", -0.5, "approach_shaping must be a finite number >= 0, got -0.5"),
        (
            "approach_shaping",
            float("inf"),
            "approach_shaping must be a finite number >= 0, got inf",
        ),
        (
            "render_mode",
            "ansi",
            "render_mode must be None, 'human' or 'rgb_array', got 'ansi'",
        ),
        (
            "spawn_size",
            10.0,
            "spawn_size must leave room for 2 boulders, 2 landmarks and 2 particles with "
            "their start clearances, got 10.0; the smallest spawn_size that fits is 13.0",
        ),
    ],
)
def test_invalid_configuration(keyword, value, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        ZandrelEnv(**{keyword: value})


@pytest.mark.parametrize(
    ("config", "keywords", "message"),
    [
        (
            {"n_landmarks": 0, "n_boulders": 3},
            ("n_landmarks", "n_boulders"),
            "n_landmarks=0 leaves the 3 boulder(s) nowhere to go, so no episode could ever "
            "succeed; use n_landmarks >= 1, or n_boulders=0 for a task without goals",
        ),
        (
            {"n_agents": 10_000},
            ("n_agents", "max_observation_bytes"),
            "one step's observations would take about 3.0 GiB (3,200,800,000 bytes) with "
            "n_agents=10000, over max_observation_bytes=1,073,741,824; every agent observes "
            "the whole state, so this grows with the square of n_agents. Pass a larger "
            "max_observation_bytes or set ZANDREL_MAX_OBSERVATION_BYTES if the memory is there",
        ),
    ],
)
def test_configurations_that_cannot_work_are_refused_at_once(config, keywords, message):
    with pytest.raises(ConfigError, match=f"^{re.escape(message)}$") as refusal:
        ZandrelEnv(**config)
    assert refusal.value.keywords == keywords


@pytest.mark.parametrize(
    ("variable", "config", "refused"),
    [
        # 8 particles: 8 observations of 42 float64 values, 2688 bytes
        (None, {"n_agents": 8, "max_observation_bytes": 2687}, True),
        (None, {"n_agents": 8, "max_observation_bytes": 2688}, False),
        ("2687", {"n_agents": 8}, True),
        ("2688", {"n_agents": 8}, False),
        # the keyword wins over the variable
        ("100", {"n_agents": 8, "max_observation_bytes": 2688}, False),
    ],
)
def test_observation_memory_limit(monkeypatch, variable, config, refused):
    if variable is None:
        monkeypatch.delenv(MAX_OBSERVATION_BYTES_VARIABLE, raising=False)
    else:
        monkeypatch.setenv(MAX_OBSERVATION_BYTES_VARIABLE, variable)
    if refused:
        with pytest.raises(ConfigError, match="over max_observation_bytes=2,687;"):
            ZandrelEnv(**config)
    else:
        assert ZandrelEnv(**config).config.max_observation_bytes == 2688


@pytest.mark.parametrize("text", ["lots", "0", "-5", "1.5e9"])
def test_unreadable_memory_limit_variable(monkeypatch, text):
    monkeypatch.setenv(MAX_OBSERVATION_BYTES_VARIABLE, text)
    message = (
        "the environment variable ZANDREL_MAX_OBSERVATION_BYTES must be an integer >= 1 "
        f"(bytes), got {text!r}"
    )
    with pytest.raises(ConfigError, match=f"^{re.escape(message)}$"):
        ZandrelEnv()


def test_memory_check_of_a_batch_counts_every_copy():
    config = EnvConfig(n_agents=8, max_observation_bytes=3 * 2688)
    config.check_observation_memory(copies=3)
    message = (
        "one step's observations would take about 10.5 KiB (10,752 bytes) with 4 environments "
        "of n_agents=8, over max_observation_bytes=8,064;"
    )
    with pytest.raises(ConfigError, match=f"^{re.escape(message)}"):
        config.check_observation_memory(copies=4)


@pytest.mark.parametrize(
    ("config", "max_cycles"),
    [
        ({}, 350),
        ({"visit_all": True}, 700),
        ({"n_agents": 1}, 700),
        ({"n_agents": 3, "n_boulders": 3, "n_landmarks": 3, "visit_all": True}, 1050),
        ({"spawn_size": 45.0}, 525),
        ({"spawn_size": 20.0}, 350),
        ({"max_cycles": 12}, 12),
    ],
)
def test_default_episode_limit_scales_with_the_task(config, max_cycles):
    assert ZandrelEnv(**config).max_cycles == max_cycles


@pytest.mark.parametrize(
    "config",
    [{"n_boulders": 0}, {"n_boulders": 0, "n_landmarks": 0}, {"n_landmarks": 0, "visit_all": True}],
)
def test_task_without_goals_ends_at_its_first_step(config):
    env = zandrel.parallel_env(**config)
    env.reset(seed=0)
    _, _, terminations, truncations, _ = env.step({})
    assert all(terminations.values())
    assert not any(truncations.values())
    assert env.agents == []


def test_config_type_lists_every_keyword():
    keywords = inspect.signature(ZandrelEnv.__init__).parameters.keys() - {"self"}
    assert zandrel.ZandrelConfig.__annotations__.keys() == keywords
