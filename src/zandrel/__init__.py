"""Zandrel: particles push boulders onto landmarks, as a PettingZoo environment."""

from zandrel.zandrel_env import (
    Snapshot,
    ZandrelConfig,
    ZandrelEnv,
    env,
    parallel_env,
    raw_env,
    split_state,
)

__all__ = [
    "Snapshot",
    "ZandrelConfig",
    "ZandrelEnv",
    "env",
    "parallel_env",
    "raw_env",
    "split_state",
]
