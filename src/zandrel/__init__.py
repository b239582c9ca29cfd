"""Zandrel: particles push boulders onto landmarks, as a PettingZoo environment."""

from importlib.metadata import version

from zandrel.agent_vector_env import ZandrelAgentVectorEnv, agent_vector_env
from zandrel.options import ConfigError, EnvConfig, ZandrelConfig
from zandrel.snapshot import Snapshot, split_state
from zandrel.vector_env import ZandrelVectorEnv, vector_env
from zandrel.zandrel_env import ZandrelEnv, env, parallel_env, raw_env

__version__ = version("zandrel")

__all__ = [
    "ConfigError",
    "EnvConfig",
    "Snapshot",
    "ZandrelAgentVectorEnv",
    "ZandrelConfig",
    "ZandrelEnv",
    "ZandrelVectorEnv",
    "__version__",
    "agent_vector_env",
    "env",
    "parallel_env",
    "raw_env",
    "split_state",
    "vector_env",
]
