"""Scoring BenchMARL policies on fixed seeds by the task itself, without the approach term."""

from __future__ import annotations

import time
from typing import Any

import numpy as np
import torch
from benchmarl.experiment.callback import Callback
from tensordict import TensorDictBase
from tensordict.nn import TensorDictModuleBase
from torchrl.envs.utils import ExplorationType, set_exploration_type

from zandrel.integrations.torchrl import GROUP, torchrl_env
from zandrel.scoring import Score


def score_policy(
    policy: TensorDictModuleBase,
    task_config: dict[str, Any],
    first_seed: int,
    episodes: int,
    *,
    deterministic: bool = True,
) -> Score:
    """One episode per seed `first_seed + i`, all at once, scored with approach_shaping=0.

    A success is an episode that terminates (every goal met) before `max_cycles`.
    """
    # the task itself scores: its own reward, without the learning aid, summed in float64;
    # the policy sees the float32 observations it was trained on (the same rounding)
    env = torchrl_env(episodes, dtype=torch.float64, **{**task_config, "approach_shaping": 0.0})
    env.set_seed(first_seed)
    returns = np.zeros(episodes)
    ended = np.zeros(episodes, np.bool_)
    succeeded = np.zeros(episodes, np.bool_)
    exploration = ExplorationType.DETERMINISTIC if deterministic else ExplorationType.RANDOM
    with torch.no_grad(), set_exploration_type(exploration):
        current = env.reset()
        while not ended.all():
            stepped, current = env.step_and_maybe_reset(policy(_as_float32(current)))
            results = stepped["next"]
            live = ~ended
            # every agent holds the team reward
            returns[live] += results[GROUP, "reward"][:, 0, 0].double().numpy()[live]
            succeeded |= live & results["terminated"][:, 0].numpy()
            ended |= results["done"][:, 0].numpy()
    env.close()
    return Score(int(succeeded.sum()), episodes, float(returns.mean()))


def _as_float32(tensordict: TensorDictBase) -> TensorDictBase:
    return tensordict.apply(lambda tensor: tensor.float() if tensor.is_floating_point() else tensor)


class ScoreCallback(Callback):
    """Scores the experiment's policy at setup and after every `every_frames` trained frames."""

    def __init__(
        self, task_config: dict[str, Any], first_seed: int, episodes: int, every_frames: int
    ) -> None:
        super().__init__()
        self.task_config = dict(task_config)
        self.first_seed = first_seed
        self.episodes = episodes
        self.every_frames = every_frames
        self.curve: list[dict[str, Any]] = []
        self._next_frames = 0
        self._started = 0.0
        self._scoring_seconds = 0.0

    def __getstate__(self) -> dict[str, Any]:
        # BenchMARL pickles its callbacks with the experiment's configuration; the
        # experiment itself (environments, engines) does not pickle and is set again on load
        return {**self.__dict__, "experiment": None}

    def on_setup(self) -> None:
        self._started = time.perf_counter()
        self.record()

    def on_train_end(self, training_td: Any, group: str) -> None:
        if self.experiment.total_frames >= self._next_frames:
            self.record()

    def record(self) -> Score:
        """Score the policy now, and add the point to `curve`."""
        began = time.perf_counter()
        score = score_policy(
            self.experiment.policy, self.task_config, self.first_seed, self.episodes
        )
        self._scoring_seconds += time.perf_counter() - began
        # the experiment counts frames from its first batch on
        frames = getattr(self.experiment, "total_frames", 0)
        self.curve.append(
            {
                "frames": frames,
                "training_seconds": time.perf_counter() - self._started - self._scoring_seconds,
                "successes": score.successes,
                "episodes": score.episodes,
                "success_rate": score.success_rate,
                "mean_return": score.mean_return,
            }
        )
        self._next_frames = frames + self.every_frames
        return score
