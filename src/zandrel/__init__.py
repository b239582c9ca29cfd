"""Zandrel: particles push boulders onto landmarks, as a PettingZoo environment."""

from importlib.metadata import version

from zandrel.config import ConfigError, ZandrelConfig
from zandrel.snapshot import Snapshot, split_state
from zandrel.zandrel_env import ZandrelEnv, env, parallel_env, raw_env

__version__ = version("zandrel")

__all__ = [
    "ConfigError",
    "Snapshot",
    "ZandrelConfig",
    "ZandrelEnv",
    "__version__",
    "env",
    "parallel_env",
    "raw_env",
    "split_state",
]
