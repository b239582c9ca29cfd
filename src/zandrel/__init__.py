"""Zandrel: particles push boulders onto landmarks, as a PettingZoo environment."""

from importlib.metadata import version

import gymnasium

from zandrel.agent_vector_env import ZandrelAgentVectorEnv, agent_vector_env
from zandrel.options import ConfigError, EnvConfig, ZandrelConfig
from zandrel.snapshot import Snapshot, split_state
from zandrel.team_env import ZandrelTeamEnv
from zandrel.vector_env import ZandrelVectorEnv, vector_env
from zandrel.zandrel_env import ZandrelEnv, env, parallel_env, raw_env

__version__ = version("zandrel")

# gymnasium.make("Zandrel-v0") gives one team as a single env, gymnasium.make_vec the native
# batch; "zandrel:Zandrel-v0" imports this module first. A reload must not register it twice.
GYMNASIUM_ID = "Zandrel-v0"
if GYMNASIUM_ID not in gymnasium.registry:
    gymnasium.register(
        id=GYMNASIUM_ID,
        entry_point="zandrel.team_env:ZandrelTeamEnv",
        vector_entry_point="zandrel.vector_env:vector_env",
    )

__all__ = [
    "ConfigError",
    "EnvConfig",
    "Snapshot",
    "ZandrelAgentVectorEnv",
    "ZandrelConfig",
    "ZandrelEnv",
    "ZandrelTeamEnv",
    "ZandrelVectorEnv",
    "__version__",
    "agent_vector_env",
    "env",
    "parallel_env",
    "raw_env",
    "split_state",
    "vector_env",
]
