"""Scores of policies on fixed seeds: how many episodes met every goal, and their returns."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from zandrel.policies import Policy
from zandrel.zandrel_env import ZandrelEnv


@dataclass(frozen=True)
class Score:
    """Episodes played from consecutive seeds: how many met every goal, and their returns."""

    successes: int
    episodes: int
    mean_return: float

    @property
    def success_rate(self) -> float:
        return self.successes / self.episodes


def score_scripted(policy: Policy, task: Mapping[str, Any], seeds: Sequence[int]) -> Score:
    """A built-in policy, one episode per seed, through the single environment of `task`."""
    env = ZandrelEnv(**task)
    returns = []
    successes = 0
    for seed in seeds:
        env.reset(seed=seed)
        policy.reset()
        episode_return = 0.0
        while env.agents:
            _, rewards, terminations, _, _ = env.step(policy(env))
            episode_return += rewards["particle_0"]
        successes += terminations["particle_0"]
        returns.append(episode_return)
    env.close()
    return Score(successes, len(seeds), float(np.mean(returns)))
