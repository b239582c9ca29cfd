"""The PPO example: a short run writes its model, curve and table; its scores are comparable."""

import json

import numpy as np
import pytest
from PIL import Image

# Stable-Baselines3 and torch load with the example, inside the tests (see test_sb3.py)
pytestmark = pytest.mark.torch

TASK = {"n_agents": 2, "n_boulders": 1, "n_landmarks": 1, "max_cycles": 60}


@pytest.fixture
def example(import_example):
    return import_example("train_ppo")


def test_a_short_run_writes_model_curve_and_table(example, tmp_path):
    config = example.TrainConfig(
        task=TASK,
        agent_steps=3000,
        num_envs=4,
        n_steps=64,
        batch_size=256,
        n_epochs=2,
        eval_every=1024,
        eval_episodes=4,
    )
    result = example.train(config, tmp_path / "run")
    from stable_baselines3 import PPO

    assert PPO.load(result.model_path, device="cpu").num_timesteps == 3072
    assert result.normalization_path.stat().st_size > 0
    with Image.open(result.curve_path) as image:
        assert image.format == "PNG"
    table = result.table_path.read_text()
    for name in ("PPO", "random", "heuristic"):
        assert f"| {name} |" in table
    record = json.loads((tmp_path / "run" / "evaluation.json").read_text())
    # evaluations at 0, at each 1,024 agent steps reached, and at the end
    assert [point["agent_steps"] for point in record["curve"]] == [0, 1024, 2048, 3072]
    assert record["config"]["task"]["approach_shaping"] == 0.5


def push(observation):
    """A crude pusher for one particle: get behind the boulder, then walk to the landmark."""
    particle, boulder, landmark = observation[0:2], observation[4:6], observation[6:8]
    heading = (landmark - boulder) / np.linalg.norm(landmark - boulder)
    behind = boulder - 5.0 * heading
    return heading if np.linalg.norm(behind - particle) < 1.0 else behind - particle


class PushingModel:
    """Stands in for a trained model of one particle; observations come as float32."""

    def predict(self, observations, deterministic):
        return np.array([push(row.astype(np.float64)) for row in observations]), None


class PushingPolicy:
    def reset(self):
        pass

    def __call__(self, env):
        # the observation of the only particle is the state
        return {"particle_0": push(env.state().astype(np.float32).astype(np.float64))}


class Unnormalised:
    def normalize_obs(self, observations):
        return observations


def test_learned_and_scripted_policies_are_scored_alike(example):
    # the same play, scored by the batched path of the learned policy and the single
    # environment path of the baselines: same seeds, unshaped rewards, first episode only
    task = {"n_agents": 1, "n_boulders": 1, "n_landmarks": 1, "max_cycles": 200}
    config = example.TrainConfig(task=task, eval_episodes=40, eval_seed=7)
    eval_task = {**task, "approach_shaping": 0.0}
    learned = example.score_policy(PushingModel(), Unnormalised(), eval_task, config)
    scripted = example.score_scripted(PushingPolicy(), eval_task, range(7, 47))
    assert learned == scripted
    # some episodes end early, so later steps of their environments must not count
    assert 0 < learned.successes < learned.episodes


@pytest.mark.parametrize(
    ("option", "value", "message"),
    [
        ("--gamma", "1.5", "argument --gamma: must be a number in (0, 1], got 1.5"),
        ("--minutes", "0", "argument --minutes: must be a number > 0, got 0"),
        ("--learning-rate", "nan", "argument --learning-rate: must be a finite number, got nan"),
        ("--net-arch", "64,x", "argument --net-arch: must be comma-separated integers >= 1"),
        ("--n-agents", "0", "argument --n-agents: must be an integer >= 1, got 0"),
    ],
)
def test_bad_options_are_usage_errors(example, capsys, option, value, message):
    with pytest.raises(SystemExit) as exit_info:
        example.main([option, value])
    assert exit_info.value.code == 2
    assert message in capsys.readouterr().err
