"""The batched environments against single ones: bits, autoreset, conventions and bad input."""

import gc
import threading

import numpy as np
import pytest
from gymnasium.error import ClosedEnvironmentError
from gymnasium.vector import AutoresetMode
from process_facts import worker_threads

import zandrel
from zandrel.policies import HeuristicPolicy

# three threads exercise the pool on any machine, also one with fewer CPUs
OVERSUBSCRIBED = pytest.mark.filterwarnings("ignore:num_threads=3 runs 3 threads:ResourceWarning")

# a task short enough that the heuristic often finishes it and random play runs out of time
SHORT_TASK = {"n_agents": 2, "n_boulders": 1, "n_landmarks": 1, "max_cycles": 90}
CONFIGS = {
    "reach one, dense": SHORT_TASK,
    "visit all, sparse": {
        **SHORT_TASK,
        "n_landmarks": 2,
        "visit_all": True,
        "sparse_rewards": True,
        "sparse_weight": 0.5,
        "max_cycles": 200,
        "approach_shaping": 0.5,
    },
}
CONFIGS["relative, visit all"] = {**CONFIGS["visit all, sparse"], "observation": "relative"}
# fewer particle slots than other particles, more boulder and landmark slots than there are
CONFIGS["local, padded"] = {
    **SHORT_TASK,
    "n_agents": 3,
    "n_landmarks": 2,
    "observation": "local",
    "n_neighbours": (1, 2, 3),
}
STEPS = 420


class Reference:
    """Single environments stepped as the batch steps them, with its autoreset rule."""

    def __init__(self, config, seeds, mode):
        self.envs = [zandrel.parallel_env(**config) for _ in seeds]
        self.policies = [HeuristicPolicy() for _ in seeds]
        self.rng = np.random.default_rng(7)
        self.mode = mode
        self.pending = [False] * len(seeds)
        self.observations = np.array([self._reset(i, seed) for i, seed in enumerate(seeds)])

    def _reset(self, index, seed=None):
        observations, _ = self.envs[index].reset(seed=seed)
        self.policies[index].reset()
        return list(observations.values())

    def actions(self):
        """Heuristic play in even environments, random play in odd ones."""
        rows = []
        for index, env in enumerate(self.envs):
            if index % 2 == 0 and env.agents:
                chosen = self.policies[index](env)
                rows.append([chosen[agent] for agent in env.possible_agents])
            else:
                rows.append(self.rng.uniform(-1.2, 1.2, (env.n_agents, 2)))
        return np.array(rows)

    def step(self, actions):
        rewards, terminations, truncations, finals = [], [], [], {}
        observations = []
        for index, env in enumerate(self.envs):
            if self.pending[index]:
                self.pending[index] = False
                observations.append(self._reset(index))
                rewards.append(0.0)
                terminations.append(False)
                truncations.append(False)
                continue
            action = {agent: actions[index][a] for a, agent in enumerate(env.possible_agents)}
            obs, reward, terminated, truncated, _ = env.step(action)
            row = [obs[agent] for agent in env.possible_agents]
            rewards.append(reward["particle_0"])
            terminations.append(terminated["particle_0"])
            truncations.append(truncated["particle_0"])
            if terminated["particle_0"] or truncated["particle_0"]:
                if self.mode == AutoresetMode.SAME_STEP:
                    finals[index] = np.array(row)
                    row = self._reset(index)
                else:
                    self.pending[index] = self.mode == AutoresetMode.NEXT_STEP
            observations.append(row)
        self.observations = np.array(observations)
        return self.observations, rewards, terminations, truncations, finals

    def reset_ended(self, mask):
        for index in np.flatnonzero(mask):
            self.observations[index] = self._reset(index)
        return self.observations


def assert_rows_equal(batched, single, dtype):
    """Bit for bit; a float32 batch holds the single environment's doubles rounded."""
    expected = np.asarray(single, dtype=np.float64).astype(dtype)
    assert batched.dtype == dtype
    assert batched.tobytes() == expected.tobytes()


CASES = [
    # mode, config, num_threads, dtype
    (AutoresetMode.SAME_STEP, "reach one, dense", 1, np.float64),
    (AutoresetMode.SAME_STEP, "visit all, sparse", 2, np.float32),
    (AutoresetMode.NEXT_STEP, "reach one, dense", 2, np.float64),
    (AutoresetMode.NEXT_STEP, "visit all, sparse", 1, np.float32),
    (AutoresetMode.DISABLED, "reach one, dense", 1, np.float32),
    (AutoresetMode.DISABLED, "visit all, sparse", 2, np.float64),
    (AutoresetMode.SAME_STEP, "relative, visit all", 2, np.float64),
    (AutoresetMode.NEXT_STEP, "relative, visit all", 1, np.float32),
    (AutoresetMode.SAME_STEP, "local, padded", 1, np.float32),
    (AutoresetMode.DISABLED, "local, padded", 2, np.float64),
]


@pytest.mark.parametrize(("mode", "config_name", "num_threads", "dtype"), CASES)
def test_batch_matches_single_environments_bit_for_bit(mode, config_name, num_threads, dtype):
    config = CONFIGS[config_name]
    seeds = [11, 12, 13, 14]
    reference = Reference(config, seeds, mode)
    batch = zandrel.vector_env(
        len(seeds), num_threads=num_threads, autoreset_mode=mode, dtype=dtype, **config
    )
    observations, _ = batch.reset(seed=seeds[0])
    assert_rows_equal(observations, reference.observations, dtype)
    terminated = truncated = 0
    for _ in range(STEPS):
        actions = reference.actions()
        observations, rewards, terminations, truncations, infos = batch.step(actions)
        expected, exp_rewards, exp_terms, exp_truncs, finals = reference.step(actions)
        assert rewards.tobytes() == np.array(exp_rewards).tobytes()
        assert terminations.tolist() == exp_terms
        assert truncations.tolist() == exp_truncs
        assert_rows_equal(observations, expected, dtype)
        if mode == AutoresetMode.SAME_STEP:
            assert sorted(finals) == (np.flatnonzero(infos["_final_obs"]).tolist() if infos else [])
            for index, final in finals.items():
                assert_rows_equal(infos["final_obs"][index], final, dtype)
        ended = terminations | truncations
        terminated += int(terminations.sum())
        truncated += int(truncations.sum())
        if mode == AutoresetMode.DISABLED and ended.any():
            observations, _ = batch.reset(options={"reset_mask": ended})
            assert_rows_equal(observations, reference.reset_ended(ended), dtype)
    # both ways of ending happened, several times
    assert terminated >= 3
    assert truncated >= 3
    batch.close()


def random_actions(num_envs, n_agents, steps, seed=3):
    return np.random.default_rng(seed).uniform(-1.5, 1.5, (steps, num_envs, n_agents, 2))


def run_batch(batch, seed, actions):
    observations, _ = batch.reset(seed=seed)
    trace = [observations]
    for step_actions in actions:
        result = batch.step(step_actions)
        trace.extend(result[:4])
    return trace


@OVERSUBSCRIBED
@pytest.mark.parametrize("num_threads", [2, 3])
def test_results_depend_neither_on_threads_nor_on_batch_size(num_threads):
    # enough environments that every thread gets a share
    config = {**SHORT_TASK, "max_cycles": 15}
    actions = random_actions(70, 2, 40)
    one_thread = run_batch(zandrel.vector_env(70, num_threads=1, **config), 5, actions)
    threaded = run_batch(zandrel.vector_env(70, num_threads=num_threads, **config), 5, actions)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(one_thread, threaded, strict=True))
    # environments 30 to 32 alone, seeded as they were in the big batch
    small = run_batch(zandrel.vector_env(3, num_threads=1, **config), 35, actions[:, 30:33])
    assert all(a[30:33].tobytes() == b.tobytes() for a, b in zip(one_thread, small, strict=True))


def test_seeding_rule_spaces_and_metadata():
    batch = zandrel.vector_env(3, n_agents=3, n_boulders=2, n_landmarks=2, visit_all=True)
    length = 4 * 3 + 2 * 2 + 2 * 2 + 2 * 2
    assert batch.single_observation_space.shape == (3, length)
    assert batch.observation_space.shape == (3, 3, length)
    assert batch.single_action_space.shape == (3, 2)
    assert batch.action_space.shape == (3, 3, 2)
    assert batch.single_action_space.dtype == np.float32
    # Gymnasium's own default, which its observation and reward wrappers need
    assert batch.metadata["autoreset_mode"] == AutoresetMode.NEXT_STEP
    # the bounds of the single environment's spaces, row by row
    single_space = zandrel.parallel_env(
        n_agents=3, n_boulders=2, n_landmarks=2, visit_all=True
    ).observation_space("particle_0")
    for bound in ("low", "high"):
        rows = getattr(batch.single_observation_space, bound)
        assert (rows == getattr(single_space, bound)).all()
    assert batch.possible_agents == ["particle_0", "particle_1", "particle_2"]
    observations, infos = batch.reset(seed=[None, 4, 9])
    assert infos == {}
    assert batch.observation_space.contains(observations)
    single = zandrel.parallel_env(n_agents=3, n_boulders=2, n_landmarks=2, visit_all=True)
    for index, seed in [(1, 4), (2, 9)]:
        expected, _ = single.reset(seed=seed)
        assert_rows_equal(observations[index], list(expected.values()), np.float64)
    # an int seed s seeds environment i with s + i
    observations, _ = batch.reset(seed=8)
    expected, _ = single.reset(seed=10)
    assert_rows_equal(observations[2], list(expected.values()), np.float64)


def test_reset_mask_restarts_only_the_chosen_environments():
    batch = zandrel.vector_env(3, autoreset_mode=AutoresetMode.DISABLED, **SHORT_TASK)
    batch.reset(seed=0)
    observations, *_ = batch.step(np.full((3, 2, 2), 0.5))
    mask = np.array([False, True, False])
    again, _ = batch.reset(options={"reset_mask": mask})
    assert again[[0, 2]].tobytes() == observations[[0, 2]].tobytes()
    # environment 1 (seed 0 + 1) starts its second episode
    single = zandrel.parallel_env(**SHORT_TASK)
    single.reset(seed=1)
    second, _ = single.reset()
    assert_rows_equal(again[1], list(second.values()), np.float64)


def test_final_observations_follow_gymnasium():
    config = {**SHORT_TASK, "max_cycles": 3}
    batch = zandrel.vector_env(2, autoreset_mode=AutoresetMode.SAME_STEP, **config)
    batch.reset(seed=0)
    single = zandrel.parallel_env(**config)
    single.reset(seed=0)
    for _ in range(2):
        assert batch.step(np.zeros((2, 2, 2)))[4] == {}
        single.step(dict.fromkeys(single.possible_agents, (0.0, 0.0)))
    observations, _, _, truncations, infos = batch.step(np.zeros((2, 2, 2)))
    last, *_ = single.step(dict.fromkeys(single.possible_agents, (0.0, 0.0)))
    first, _ = single.reset()
    assert truncations.all()
    assert set(infos) == {"final_obs", "_final_obs", "final_info", "_final_info"}
    assert infos["final_obs"].dtype == object
    assert infos["final_obs"].shape == (2,)
    assert infos["_final_obs"].tolist() == [True, True] == infos["_final_info"].tolist()
    assert infos["final_info"] == {}
    # the ended episode's last observation is set aside; the new one's first is returned
    assert_rows_equal(infos["final_obs"][0], list(last.values()), np.float64)
    assert_rows_equal(observations[0], list(first.values()), np.float64)


@pytest.mark.parametrize(
    ("actions", "error", "message"),
    [
        (
            np.zeros((2, 2)),
            ValueError,
            r"actions must have shape (2, 2, 2) (num_envs, n_agents, 2), got (2, 2)",
        ),
        (
            np.zeros((2, 2, 2), complex),
            ValueError,
            "actions must be an array of real numbers, got dtype complex128",
        ),
        (
            np.full((2, 2, 2), "up"),
            ValueError,
            "actions must be an array of real numbers, got dtype <U2",
        ),
        (
            np.array([[[0.0, 0.0], [0.0, 0.0]], [[0.0, 0.0], [0.25, np.nan]]]),
            ValueError,
            "the action of particle_1 in environment 1 must not be NaN, got [0.25, nan]",
        ),
    ],
)
def test_bad_actions_are_refused_and_change_nothing(actions, error, message):
    batch = zandrel.vector_env(2, **SHORT_TASK)
    twin = zandrel.vector_env(2, **SHORT_TASK)
    batch.reset(seed=1)
    twin.reset(seed=1)
    with pytest.raises(error) as raised:
        batch.step(actions)
    assert str(raised.value) == message
    good = np.full((2, 2, 2), np.inf)  # infinite components are clipped, not refused
    for a, b in zip(batch.step(good)[:4], twin.step(good)[:4], strict=True):
        assert a.tobytes() == b.tobytes()


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: zandrel.vector_env(0), ValueError, "num_envs must be an integer >= 1, got 0"),
        (
            lambda: zandrel.vector_env(2, num_threads=0),
            ValueError,
            "num_threads must be an integer >= 1, got 0",
        ),
        (
            lambda: zandrel.vector_env(2, dtype=np.int32),
            ValueError,
            "dtype must be np.float64 or np.float32, got <class 'numpy.int32'>",
        ),
        (
            lambda: zandrel.vector_env(2, autoreset_mode="Sometimes"),
            ValueError,
            "autoreset_mode must be a gymnasium.vector.AutoresetMode or the name or value of "
            "one, in any case: 'NEXT_STEP' or 'NextStep', 'SAME_STEP' or 'SameStep', "
            "'DISABLED' or 'Disabled'; got 'Sometimes'",
        ),
        (
            lambda: zandrel.vector_env(2, render_mode="human"),
            ValueError,
            "render_mode must be None or 'rgb_array', got 'human'",
        ),
        (
            lambda: zandrel.vector_env(2, render_mode="rgb_array").render(env_ids=[0, 2]),
            ValueError,
            "env_ids must be a non-empty sequence of environment indices in [0, 2), got [0, 2]",
        ),
        (
            lambda: zandrel.vector_env(2).step(np.zeros((2, 2, 2))),
            RuntimeError,
            "step() needs a running episode in every environment; call reset() first "
            "(environments without one: [0, 1] (2 in all))",
        ),
        (
            lambda: zandrel.vector_env(2).reset(options={"reset_mask": [True, False]}),
            ValueError,
            "options['reset_mask'] must be a bool array of shape (2,), got list",
        ),
        (
            lambda: zandrel.vector_env(2).reset(seed=[1, 2, 3]),
            ValueError,
            "seed must give one seed per environment: 2, got 3",
        ),
    ],
)
def test_bad_arguments_get_clear_errors(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


@pytest.mark.parametrize(
    ("text", "mode"),
    [
        ("NEXT_STEP", AutoresetMode.NEXT_STEP),
        ("next_step", AutoresetMode.NEXT_STEP),
        ("NextStep", AutoresetMode.NEXT_STEP),
        ("same_step", AutoresetMode.SAME_STEP),
        ("SAMESTEP", AutoresetMode.SAME_STEP),
        ("DISABLED", AutoresetMode.DISABLED),
        ("disabled", AutoresetMode.DISABLED),
    ],
)
def test_autoreset_mode_takes_names_and_values_in_any_case(text, mode):
    assert zandrel.vector_env(1, autoreset_mode=text).metadata["autoreset_mode"] is mode


def test_disabled_autoreset_refuses_to_step_ended_environments():
    batch = zandrel.vector_env(
        3, autoreset_mode=AutoresetMode.DISABLED, **{**SHORT_TASK, "max_cycles": 1}
    )
    batch.reset(seed=0)
    batch.step(np.zeros((3, 2, 2)))
    with pytest.raises(RuntimeError, match=r"ended environments: \[0, 1, 2\] \(3 in all\)"):
        batch.step(np.zeros((3, 2, 2)))
    batch.reset(options={"reset_mask": np.array([True, True, True])})
    batch.step(np.zeros((3, 2, 2)))


def test_closed_environment_refuses_calls():
    batch = zandrel.vector_env(2)
    batch.reset(seed=0)
    batch.close()
    batch.close()  # closing twice is harmless
    for call in (lambda: batch.step(np.zeros((2, 2, 2))), lambda: batch.reset(seed=0)):
        with pytest.raises(ClosedEnvironmentError, match="this ZandrelVectorEnv is closed"):
            call()


@OVERSUBSCRIBED
def test_worker_threads_live_as_long_as_the_environment():
    gc.collect()  # environments of earlier tests go, with their workers
    before = worker_threads()
    batch = zandrel.vector_env(40, num_threads=3)
    assert worker_threads() == before + 2
    batch.close()
    assert worker_threads() == before
    # dropped without close(), the environment still joins its workers
    batch = zandrel.vector_env(40, num_threads=3)
    del batch
    gc.collect()
    assert worker_threads() == before


def test_out_buffers_are_filled_and_checked():
    batch = zandrel.vector_env(2, dtype=np.float32, **SHORT_TASK)
    twin = zandrel.vector_env(2, dtype=np.float32, **SHORT_TASK)
    batch.reset(seed=4)
    twin.reset(seed=4)
    shape = (2, 2, batch.observation_length)
    out = (np.empty(shape, np.float32), np.empty(2), np.empty(2, bool), np.empty(2, bool))
    result = batch.step(np.ones((2, 2, 2), np.float32), out=out)
    assert all(a is b for a, b in zip(result[:4], out, strict=True))
    assert all(
        a.tobytes() == b.tobytes()
        for a, b in zip(out, twin.step(np.ones((2, 2, 2), np.float32))[:4], strict=True)
    )
    wrong = (np.empty(shape), *out[1:])
    with pytest.raises(ValueError, match="observations") as raised:
        batch.step(np.ones((2, 2, 2)), out=wrong)
    assert str(raised.value) == (
        f"out[0] (observations) must be a writable C-contiguous float32 array of shape "
        f"(2, 2, {batch.observation_length}), got a float64 array of shape "
        f"(2, 2, {batch.observation_length})"
    )
    shared = (out[0], out[1], out[2], out[2])
    with pytest.raises(ValueError, match="terminations and truncations share memory"):
        batch.step(np.ones((2, 2, 2)), out=shared)


def test_a_second_thread_is_refused_while_a_call_runs():
    config = {"n_agents": 16, "n_boulders": 16, "n_landmarks": 8, "spawn_size": 80.0}
    batch = zandrel.vector_env(512, num_threads=1, **config)
    batch.reset(seed=0)
    actions = np.zeros((512, 16, 2))
    errors = []

    def step_repeatedly():
        # whichever thread comes second is refused; the other goes on unharmed
        for _ in range(40):
            try:
                batch.step(actions)
            except RuntimeError as error:
                errors.append(str(error))

    threads = [threading.Thread(target=step_repeatedly) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors
    assert set(errors) == {
        "step() was called while another call on the same ZandrelVectorEnv is running in "
        "another thread; use each ZandrelVectorEnv from one thread at a time"
    }
    batch.step(actions)


def test_agent_view_matches_supersuit():
    supersuit = pytest.importorskip("supersuit")
    config = {**SHORT_TASK, "max_cycles": 12}
    num_envs, n_agents = 3, 2
    reference = supersuit.concat_vec_envs_v1(
        supersuit.pettingzoo_env_to_vec_env_v1(zandrel.parallel_env(**config)), num_envs
    )
    agents = zandrel.agent_vector_env(num_envs, **config)
    assert agents.num_envs == num_envs * n_agents
    assert agents.single_observation_space.shape == reference.observation_space.shape
    assert agents.single_action_space == reference.action_space
    expected, _ = reference.reset(seed=21)
    observations, _ = agents.reset(seed=21)
    assert observations.tobytes() == expected.tobytes()
    rng = np.random.default_rng(0)
    ends = 0
    for _ in range(30):
        actions = rng.uniform(-1, 1, (num_envs * n_agents, 2)).astype(np.float32)
        expected, exp_rewards, exp_terms, exp_truncs, exp_infos = reference.step(actions)
        observations, rewards, terminations, truncations, infos = agents.step(actions)
        assert observations.tobytes() == expected.tobytes()
        # SuperSuit hands out float32 rewards and uint8 flags
        assert rewards.astype(np.float32).tobytes() == exp_rewards.tobytes()
        assert terminations.tolist() == exp_terms.astype(bool).tolist()
        assert truncations.tolist() == exp_truncs.astype(bool).tolist()
        for index, info in enumerate(exp_infos):
            if "terminal_observation" in info:
                ends += 1
                final = infos["final_obs"][index]
                assert final.tobytes() == info["terminal_observation"].tobytes()
    assert ends == 2 * num_envs * n_agents


def test_agent_view_reset_mask_must_keep_environments_whole():
    agents = zandrel.agent_vector_env(2, autoreset_mode=AutoresetMode.DISABLED, **SHORT_TASK)
    agents.reset(seed=0)
    with pytest.raises(ValueError, match="reset_mask") as raised:
        agents.reset(options={"reset_mask": np.array([True, False, False, False])})
    assert str(raised.value) == (
        "options['reset_mask'] must select all agents of an environment or none, "
        "got a partial selection in environments [0]"
    )
    observations, _ = agents.reset(options={"reset_mask": np.array([False, False, True, True])})
    assert observations.shape == (4, agents.team_env.observation_length)


def agent_views(states, n_agents):
    """Every agent's "global" observation from the states, as vector_env's docstring shows."""
    views = np.repeat(states[:, None, :], n_agents, axis=1)
    own = 4 * np.arange(n_agents)[:, None] + np.arange(4)
    views[:, np.arange(n_agents)[:, None], own] = states[:, None, :4]
    views[:, :, :4] = states[:, : 4 * n_agents].reshape(-1, n_agents, 4)
    return views


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_state_observations_are_the_global_state_once_per_environment(dtype):
    config = {**SHORT_TASK, "n_agents": 3, "max_cycles": 15}
    config["autoreset_mode"] = "same_step"  # final observations come in the infos
    states_env = zandrel.vector_env(3, num_threads=2, dtype=dtype, observation="state", **config)
    global_env = zandrel.vector_env(3, num_threads=1, dtype=dtype, **config)
    assert states_env.single_observation_space.shape == (global_env.observation_length,)
    states, _ = states_env.reset(seed=4)
    views, _ = global_env.reset(seed=4)
    ended = 0
    for step_actions in random_actions(3, 3, 40):
        states, rewards, *_, infos = states_env.step(step_actions)
        views, expected_rewards, *_, expected_infos = global_env.step(step_actions)
        assert states.shape == (3, global_env.observation_length)
        assert agent_views(states, 3).tobytes() == views.tobytes()
        assert rewards.tobytes() == expected_rewards.tobytes()
        for index in np.flatnonzero(infos.get("_final_obs", [])):
            ended += 1
            assert (
                infos["final_obs"][index].tobytes()
                == expected_infos["final_obs"][index][0].tobytes()
            )
    assert ended == 6
