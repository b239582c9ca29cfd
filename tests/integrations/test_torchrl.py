"""The TorchRL environment: specs, bit-exact rollouts, partial resets, frames of environment 0."""

import re

import numpy as np
import pytest

import zandrel

# torch and TorchRL load inside the tests (see test_sb3.py)
pytestmark = pytest.mark.torch

# short episodes, so that rollouts cross episode ends and resets
TASK = {"n_agents": 2, "n_boulders": 1, "n_landmarks": 1, "max_cycles": 25}


def torchrl_env(num_envs, **keywords):
    from zandrel.integrations.torchrl import torchrl_env

    return torchrl_env(num_envs, **keywords)


def scripted_policy(actions):
    """A TorchRL policy that plays `actions[t]` (num_envs, n_agents, 2) at its t-th call."""
    import torch

    calls = iter(torch.from_numpy(actions))

    def policy(tensordict):
        tensordict["agents", "action"] = next(calls)
        return tensordict

    return policy


@pytest.mark.parametrize("state", [False, True])
def test_specs_hold_under_a_collector_and_transforms(state):
    import torch
    from torchrl.collectors import SyncDataCollector
    from torchrl.envs import RewardSum, TransformedEnv
    from torchrl.envs.utils import check_env_specs

    env = torchrl_env(3, state=state, **TASK)
    check_env_specs(env)
    transformed = TransformedEnv(
        env, RewardSum(in_keys=[("agents", "reward")], reset_keys=["_reset"])
    )
    collector = SyncDataCollector(transformed, None, frames_per_batch=60, total_frames=120)
    batches = list(collector)
    collector.shutdown()
    assert [batch.numel() for batch in batches] == [60, 60]
    ends = torch.cat([batch["next", "done"] for batch in batches]).sum()
    # 40 steps per environment cross one end of a 25-step episode each
    assert ends == 3
    assert ("state" in batches[0]) == state


def test_rollouts_match_parallel_env_bit_for_bit():
    import torch

    num_envs, steps, seed = 3, 60, 11
    actions = np.random.default_rng(5).uniform(-1.2, 1.2, (steps, num_envs, 2, 2))
    env = torchrl_env(num_envs, dtype=torch.float64, state=True, **TASK, approach_shaping=0.5)
    env.set_seed(seed)
    rollout = env.rollout(steps, scripted_policy(actions), break_when_any_done=False)
    for index in range(num_envs):
        single = zandrel.parallel_env(**TASK, approach_shaping=0.5)
        observations, _ = single.reset(seed=seed + index)
        for step in range(steps):
            episode = rollout[index, step]
            assert episode["agents", "observation"].numpy().tobytes() == _rows(observations)
            assert episode["state"].numpy().tobytes() == observations["particle_0"].tobytes()
            row = dict(zip(single.agents, actions[step, index], strict=True))
            observations, rewards, terminations, truncations, _ = single.step(row)
            after = episode["next"]
            assert after["agents", "observation"].numpy().tobytes() == _rows(observations)
            assert after["agents", "reward"].flatten().tolist() == list(rewards.values())
            assert bool(after["terminated"]) == terminations["particle_0"]
            assert bool(after["truncated"]) == truncations["particle_0"]
            assert after["agents", "done"].flatten().tolist() == [bool(after["done"])] * 2
            if not single.agents:
                observations, _ = single.reset()


@pytest.mark.parametrize("reset_key", ["_reset", ("agents", "_reset")])
def test_reset_mask_starts_new_episodes_only_where_set(reset_key):
    import torch

    seed = 40
    env = torchrl_env(3, dtype=torch.float64, **TASK)
    env.set_seed(seed)
    current = env.reset()
    actions = np.full((5, 3, 2, 2), 0.7)
    rollout = env.rollout(5, scripted_policy(actions), tensordict=current, auto_reset=False)
    current = rollout[:, -1]["next"]
    mask = torch.tensor([True, False, True])
    shape = (3, 1) if reset_key == "_reset" else (3, 2, 1)
    request = current.clone()
    request[reset_key] = mask.view(3, *([1] * (len(shape) - 1))).expand(shape).clone()
    after = env.reset(request)
    for index in (0, 2):
        # a second episode of environment i, as parallel_env gives it after reset(seed=s + i)
        single = zandrel.parallel_env(**TASK)
        single.reset(seed=seed + index)
        expected, _ = single.reset()
        assert after["agents", "observation"][index].numpy().tobytes() == _rows(expected)
    assert torch.equal(after["agents", "observation"][1], current["agents", "observation"][1])


def test_frames_show_environment_0_as_parallel_env_draws_it():
    import torch

    env = torchrl_env(2, dtype=torch.float64, **TASK)
    env.set_seed(3)
    actions = np.full((7, 2, 2, 2), -0.4)
    env.rollout(7, scripted_policy(actions))
    single = zandrel.parallel_env(**TASK, render_mode="rgb_array")
    single.reset(seed=3)
    for step in range(7):
        single.step(dict(zip(single.agents, actions[step, 0], strict=True)))
    assert np.array_equal(env.render(), single.render())


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: torchrl_env(2, dtype="float32"),
            "dtype must be torch.float32 or torch.float64, got 'float32'",
        ),
        (lambda: torchrl_env(2).set_seed(-1), "seed must be None or an integer >= 0, got -1"),
        (
            lambda: torchrl_env(2).render("human"),
            "render() draws frames: mode must be 'rgb_array', got 'human'",
        ),
    ],
)
def test_bad_arguments_are_refused(call, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        call()


def _rows(observations):
    return np.stack(list(observations.values())).tobytes()
