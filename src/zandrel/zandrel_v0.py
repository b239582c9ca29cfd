"""The Zandrel environment, version 0, as PettingZoo names its environments.

``from zandrel import zandrel_v0`` then ``zandrel_v0.parallel_env(...)``, ``zandrel_v0.env(...)``
or ``zandrel_v0.raw_env(...)``; the version is the one in ``metadata["name"]``.
"""

from zandrel.zandrel_env import ZandrelEnv, env, parallel_env, raw_env

__all__ = ["ZandrelEnv", "env", "parallel_env", "raw_env"]
