"""The Stable-Baselines3 adapter's former home; it lives in :mod:`zandrel.integrations.sb3`.

Kept importable for one release so that existing scripts keep running.
"""

from zandrel.integrations.sb3 import ZandrelSB3VecEnv, sb3_vec_env

__all__ = ["ZandrelSB3VecEnv", "sb3_vec_env"]
