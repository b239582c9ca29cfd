"""The Stable-Baselines3 adapter: episode ends as SB3 reads them, seeding, and a PPO run."""

import subprocess
import sys

import numpy as np
import pytest

import zandrel
from zandrel.policies import HeuristicPolicy

# Stable-Baselines3 and torch load inside the tests, so that collecting this file under the
# sanitizer, which leaves these tests out, does not load them into the sanitized interpreter
pytestmark = pytest.mark.torch

# short enough that the heuristic often finishes and random play runs out of time
TASK = {"n_agents": 2, "n_boulders": 1, "n_landmarks": 1, "max_cycles": 90}


def sb3_vec_env(num_envs, **config):
    from zandrel.integrations.sb3 import sb3_vec_env

    return sb3_vec_env(num_envs, **config)


def test_episode_ends_match_single_environments_and_tell_truncation_apart():
    # heuristic play in environments 0 and 1 finishes episodes, random play in 2 does not
    config = {**TASK, "approach_shaping": 0.5}
    seed, num_envs, n_agents = 30, 3, TASK["n_agents"]
    singles = [zandrel.parallel_env(**config) for _ in range(num_envs)]
    observations = [single.reset(seed=seed + index)[0] for index, single in enumerate(singles)]
    policies = [HeuristicPolicy() for _ in range(num_envs)]
    rng = np.random.default_rng(4)
    adapter = sb3_vec_env(num_envs, **config)
    assert adapter.seed(seed) == [30, 30, 31, 31, 32, 32]
    batched = adapter.reset()
    expected = [row[agent] for row in observations for agent in row]
    assert batched.tobytes() == np.array(expected).tobytes()
    ends = {"terminated": 0, "truncated": 0}
    for _ in range(300):
        rows = [
            [policies[index](single)[agent] for agent in single.possible_agents]
            if index < 2
            else rng.uniform(-1, 1, (n_agents, 2))
            for index, single in enumerate(singles)
        ]
        actions = np.array(rows, np.float32).reshape(num_envs * n_agents, 2)
        batched, rewards, dones, infos = adapter.step(actions)
        assert rewards.dtype == np.float32
        assert dones.dtype == np.bool_
        for index, single in enumerate(singles):
            step = {agent: actions[index * n_agents + a] for a, agent in enumerate(single.agents)}
            last, reward, terminated, truncated, _ = single.step(step)
            ended = terminated["particle_0"] or truncated["particle_0"]
            if ended:
                ends["terminated" if terminated["particle_0"] else "truncated"] += 1
                last_observations = last
                last, _ = single.reset()
                policies[index].reset()
            for a, agent in enumerate(single.possible_agents):
                info = infos[index * n_agents + a]
                assert dones[index * n_agents + a] == ended
                assert rewards[index * n_agents + a] == np.float32(reward["particle_0"])
                assert info["TimeLimit.truncated"] == (ended and not terminated["particle_0"])
                if ended:
                    final = last_observations[agent]
                    assert info["terminal_observation"].tobytes() == final.tobytes()
                else:
                    assert "terminal_observation" not in info
                assert batched[index * n_agents + a].tobytes() == last[agent].tobytes()
    assert ends["terminated"] >= 2
    assert ends["truncated"] >= 2


def test_seeding_reproduces_and_a_seed_serves_one_reset():
    actions = np.random.default_rng(0).uniform(-1, 1, (40, 4, 2)).astype(np.float32)

    def trace(env, **reset):
        observations = [env.reset(**reset)]
        for step_actions in actions:
            observations.append(env.step(step_actions)[0])
        return np.array(observations)

    config = {**TASK, "max_cycles": 15}
    adapter = sb3_vec_env(2, **config)
    adapter.seed(5)
    seeded = trace(adapter)
    assert trace(adapter, seed=5).tobytes() == seeded.tobytes()
    # environment 1, seeded with 5 + 1, starts as a single environment seeded with 6
    expected, _ = zandrel.parallel_env(**config).reset(seed=6)
    assert seeded[0, 2:].tobytes() == np.array(list(expected.values())).tobytes()
    # without a new seed the next reset draws a new layout
    assert adapter.reset().tobytes() != seeded[0].tobytes()
    # seed(None) draws from NumPy's global generator, as SB3 does
    np.random.seed(2)
    first = adapter.seed()
    np.random.seed(2)
    assert adapter.seed() == first


def test_shared_engine_attributes_and_wrappers():
    from stable_baselines3.common.monitor import Monitor

    adapter = sb3_vec_env(2, **TASK)
    assert adapter.render_mode is None
    assert adapter.get_attr("n_agents", indices=[1, 3]) == [2, 2]
    assert adapter.env_is_wrapped(Monitor) == [False] * 4
    with pytest.raises(ValueError, match="indices must select all of them"):
        adapter.set_attr("n_agents", 3, indices=[0])
    with pytest.raises(AttributeError, match="no attribute 'max_cycles'"):
        adapter.set_attr("max_cycles", 3)
    with pytest.raises(TypeError, match="SAME_STEP"):
        sb3_vec_env(2, autoreset_mode="next_step")
    adapter.close()
    assert adapter.agent_env.closed


def test_render_draws_environment_zero():
    adapter = sb3_vec_env(2, render_mode="rgb_array", **TASK)
    assert adapter.render_mode == "rgb_array"
    adapter.reset(seed=3)
    single = zandrel.parallel_env(render_mode="rgb_array", **TASK)
    single.reset(seed=3)
    assert (adapter.render() == single.render()).all()
    adapter.close()


def test_ppo_trains_on_it():
    from stable_baselines3 import PPO

    env = sb3_vec_env(4, **TASK, approach_shaping=0.5)
    model = PPO("MlpPolicy", env, n_steps=64, batch_size=128, n_epochs=2, seed=0, device="cpu")
    model.learn(2048)
    assert model.num_timesteps == 2048
    env.close()


def test_stable_baselines3_stays_optional():
    # a fresh interpreter: this one may hold SB3 already
    script = (
        "import sys\n"
        "import zandrel\n"
        "assert 'stable_baselines3' not in sys.modules and 'torch' not in sys.modules\n"
        "sys.modules['stable_baselines3'] = None\n"
        "try:\n"
        "    import zandrel.sb3\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True
    )
    assert "install the train extra" in result.stdout
    assert "zandrel[train]" in result.stdout
