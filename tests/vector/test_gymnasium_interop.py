"""Gymnasium's vector wrappers, registration and frames of the batched environments."""

import subprocess
import sys

import gymnasium
import numpy as np
import pytest
from gymnasium.wrappers import vector as wrappers

import zandrel
from zandrel import zandrel_v0
from zandrel.rendering import tile_frames

TASK = {"n_agents": 2, "n_boulders": 1, "n_landmarks": 1, "max_cycles": 5}

WRAPPERS = {
    "NormalizeObservation": wrappers.NormalizeObservation,
    "NormalizeReward": wrappers.NormalizeReward,
    "RecordEpisodeStatistics": wrappers.RecordEpisodeStatistics,
    "ClipAction": wrappers.ClipAction,
    "RescaleAction": lambda env: wrappers.RescaleAction(env, np.float32(-2), np.float32(2)),
    "TransformObservation": lambda env: wrappers.TransformObservation(env, lambda o: 2 * o),
    "DtypeObservation": lambda env: wrappers.DtypeObservation(env, np.float32),
}


# Gymnasium warns when it casts any float64 Box to float32, as for its own vector envs
@pytest.mark.filterwarnings("ignore:.*precision lowered by casting to float32")
@pytest.mark.parametrize("name", WRAPPERS)
def test_gymnasium_vector_wrappers_run_on_the_defaults(name):
    envs = WRAPPERS[name](zandrel.vector_env(3, **TASK))
    envs.reset(seed=0)
    envs.action_space.seed(0)
    # past two episode ends, through the steps that restart them
    for _ in range(2 * TASK["max_cycles"] + 2):
        observations, *_ = envs.step(envs.action_space.sample())
    assert envs.observation_space.contains(observations)
    envs.close()


def test_episode_statistics_count_every_step_of_an_episode():
    envs = wrappers.RecordEpisodeStatistics(zandrel.vector_env(2, **TASK))
    envs.reset(seed=0)
    for _ in range(TASK["max_cycles"]):
        *_, infos = envs.step(np.zeros((2, 2, 2)))
    assert infos["episode"]["l"].tolist() == [TASK["max_cycles"]] * 2
    # the step after the end starts the next episode, which counts from there
    envs.step(np.zeros((2, 2, 2)))
    *_, infos = envs.step(np.zeros((2, 2, 2)))
    assert "episode" not in infos


def test_registered_single_env_is_the_parallel_env_as_arrays():
    env = gymnasium.make("Zandrel-v0", **TASK)
    batch = zandrel.vector_env(1, **TASK)
    assert env.observation_space == batch.single_observation_space
    assert env.action_space == batch.single_action_space
    single = zandrel.parallel_env(**TASK)
    observations, _ = env.reset(seed=4)
    expected, _ = single.reset(seed=4)
    assert observations.tobytes() == np.stack(list(expected.values())).tobytes()
    actions = np.random.default_rng(1).uniform(-1, 1, (TASK["max_cycles"], 2, 2))
    for action in actions:
        observations, reward, terminated, truncated, _ = env.step(action)
        expected, rewards, terminations, truncations, _ = single.step(
            dict(zip(single.possible_agents, action, strict=True))
        )
        assert observations.tobytes() == np.stack(list(expected.values())).tobytes()
        assert (reward, terminated, truncated) == (
            rewards["particle_0"],
            terminations["particle_0"],
            truncations["particle_0"],
        )
    assert truncated
    env.reset()
    with pytest.raises(
        ValueError, match=r"^action must have shape \(2, 2\) \(n_agents, 2\), got \(2,\)$"
    ):
        env.step(np.zeros(2))


def test_registered_vector_env_is_the_native_one():
    envs = gymnasium.make_vec("Zandrel-v0", num_envs=3, num_threads=1, **TASK)
    assert isinstance(envs, zandrel.ZandrelVectorEnv)
    assert (envs.num_envs, envs.num_threads, envs.config.max_cycles) == (3, 1, 5)


def test_module_prefix_registers_without_importing_first():
    script = (
        "import gymnasium, sys\n"
        "env = gymnasium.make('zandrel:Zandrel-v0', n_agents=3)\n"
        "print(type(env.unwrapped).__name__, env.observation_space.shape)\n"
    )
    run = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True, timeout=120
    )
    assert run.stdout.split("\n")[0] == "ZandrelTeamEnv (3, 22)"


def test_versioned_module_matches_the_metadata_name():
    env = zandrel_v0.parallel_env()
    assert env.metadata["name"] == zandrel_v0.__name__.rpartition(".")[2]
    assert zandrel_v0.env is zandrel.env
    assert zandrel_v0.raw_env is zandrel.raw_env


def single_frames(seeds, actions, config):
    """Frames of single envs under the batch's default autoreset (the step after an end
    starts the next episode), one list of frames per env."""
    envs = [zandrel.parallel_env(render_mode="rgb_array", **config) for _ in seeds]
    frames = []
    for env, seed in zip(envs, seeds, strict=True):
        env.reset(seed=seed)
    frames.append([env.render() for env in envs])
    for step_actions in actions:
        for env, action in zip(envs, step_actions, strict=True):
            if env.agents:
                env.step(dict(zip(env.possible_agents, action, strict=True)))
            else:
                env.reset()
        frames.append([env.render() for env in envs])
    return frames


def test_frames_match_the_single_environments_across_episodes():
    # particle 0 walks away, so the view widens, and narrows again in the next episode
    config = {**TASK, "max_cycles": 30}
    actions = np.zeros((40, 3, 2, 2))
    actions[:, :, 0] = (1.0, 0.0)
    batch = zandrel.vector_env(3, render_mode="rgb_array", **config)
    batch.reset(seed=5)
    expected = single_frames([5, 6, 7], actions, config)
    got = [batch.render(env_ids=[2, 0])]
    for step_actions in actions:
        batch.step(step_actions)
        got.append(batch.render(env_ids=[2, 0]))
    for frames, wanted in zip(got, expected, strict=True):
        assert frames.shape == (2, *wanted[0].shape)
        assert (frames[0] == wanted[2]).all()
        assert (frames[1] == wanted[0]).all()


def test_render_defaults_to_the_first_environments_and_warns_without_a_mode():
    batch = zandrel.vector_env(10, render_mode="rgb_array", **TASK)
    batch.reset(seed=0)
    assert batch.render().shape[0] == 8
    plain = zandrel.vector_env(2, **TASK)
    plain.reset(seed=0)
    with pytest.warns(UserWarning, match="without specifying any render mode"):
        assert plain.render() is None


def test_tiled_frames_keep_each_frame_in_its_cell():
    frames = np.stack([np.full((4, 6, 3), value, np.uint8) for value in (10, 20, 30)])
    tiled = tile_frames(frames, columns=2, gap=1)
    assert tiled.shape == (4 * 2 + 1, 6 * 2 + 1, 3)
    assert (tiled[:4, :6] == 10).all()
    assert (tiled[:4, 7:] == 20).all()
    assert (tiled[5:, :6] == 30).all()
