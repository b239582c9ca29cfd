"""Stable-Baselines3 `VecEnv` over the parameter-sharing view: one sub-environment per agent.

Needs the `train` extra (Stable-Baselines3 and torch): ``pip install "zandrel[train]"``.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Unpack

import gymnasium
import numpy as np
import numpy.typing as npt
from gymnasium.vector import AutoresetMode

from zandrel.agent_vector_env import ZandrelAgentVectorEnv
from zandrel.config import ZandrelConfig

try:
    from stable_baselines3.common.vec_env import VecEnv
    from stable_baselines3.common.vec_env.base_vec_env import VecEnvIndices, VecEnvStepReturn
except ModuleNotFoundError as error:
    raise ImportError(
        f"zandrel.integrations.sb3 needs Stable-Baselines3 and torch ({error}); install the "
        'train extra: pip install "torch==2.13.*" "zandrel[train]"'
    ) from error

Array = npt.NDArray[Any]


class ZandrelSB3VecEnv(VecEnv):
    """Every agent of `num_envs` native Zandrel environments as one SB3 sub-environment.

    The layout of :func:`zandrel.agent_vector_env`: sub-environment j is agent
    `j % n_agents` of environment `j // n_agents`, so `num_envs` here is the number of
    agents over all environments, and one SB3 policy trained on it is shared by all
    particles. Observations are `(num_envs * n_agents, L)`, rewards float32 (each
    environment's team reward, repeated for its agents), dones bool.

    Stable-Baselines3's conventions hold as in its `DummyVecEnv`:

    - `reset()` returns the observations alone; `reset_infos` keeps one info dict per
      sub-environment.
    - An ended episode starts its next one within the same `step`; the ended
      sub-environments' infos hold `"terminal_observation"`, the last observation of the
      ended episode. Every info holds `"TimeLimit.truncated"`: True exactly when the
      episode ended by truncation (`max_cycles`) and not by termination, which tells
      learners to bootstrap from the terminal observation.
    - `seed(s)` makes the next `reset()` seed environment i (its agents
      `n_agents * i` to `n_agents * (i + 1) - 1`) with `s + i`, SuperSuit's rule for
      concatenated environments; `seed(None)` draws s from NumPy's global generator, as
      SB3 does. `reset(seed=s)` does both at once. Seeds are used by one reset only.
    - With `render_mode="rgb_array"`, `render()` returns the frame of environment 0
      (the particles of sub-environments 0 to n_agents - 1), shaped (H, W, 3).

    All sub-environments share one native engine, so `get_attr` reads the attribute of
    the shared :class:`zandrel.ZandrelAgentVectorEnv` once per index, and `set_attr` and
    `env_method` act on it once and only for all sub-environments together.
    `env_is_wrapped` is False everywhere: no Gymnasium wrapper sits between SB3 and the
    engine (wrap the whole `VecEnv` in `VecMonitor` for episode statistics).
    """

    def __init__(
        self,
        num_envs: int,
        *,
        num_threads: int | None = None,
        dtype: npt.DTypeLike = np.float64,
        **config: Unpack[ZandrelConfig],
    ) -> None:
        if "autoreset_mode" in config:
            raise TypeError(
                "sb3_vec_env() takes no autoreset_mode: Stable-Baselines3 expects an ended "
                "episode to restart within the same step (AutoresetMode.SAME_STEP)"
            )
        self.agent_env = ZandrelAgentVectorEnv(
            num_envs,
            num_threads=num_threads,
            autoreset_mode=AutoresetMode.SAME_STEP,
            dtype=dtype,
            **config,
        )
        self.n_agents = self.agent_env.n_agents
        self._actions: Array | None = None
        super().__init__(
            self.agent_env.num_envs,
            self.agent_env.single_observation_space,
            self.agent_env.single_action_space,
        )

    def seed(self, seed: int | None = None) -> Sequence[int | None]:
        """Seeds for the next reset: environment i gets `seed + i`; one per sub-environment."""
        if seed is None:
            seed = int(np.random.randint(0, np.iinfo(np.uint32).max, dtype=np.uint32))
        self._seeds = [seed + index // self.n_agents for index in range(self.num_envs)]
        return self._seeds

    def reset(self, *, seed: int | None = None) -> Array:
        """Start new episodes everywhere; observations shaped (num_envs * n_agents, L).

        `seed` is `seed(seed)` followed by this reset. Options given with `set_options`
        are accepted for the API and unused, as by `zandrel.parallel_env`.
        """
        if seed is not None:
            self.seed(seed)
        # the agents of one environment share its seed
        team_seeds = self._seeds[:: self.n_agents]
        observations, infos = self.agent_env.reset(
            seed=None if all(value is None for value in team_seeds) else team_seeds
        )
        self.reset_infos = _split_infos(infos, self.num_envs)
        self._reset_seeds()
        self._reset_options()
        return observations

    def step_async(self, actions: npt.ArrayLike) -> None:
        self._actions = np.asarray(actions)

    def step_wait(self) -> VecEnvStepReturn:
        if self._actions is None:
            raise RuntimeError("step_wait() needs actions; call step_async(actions) first")
        actions, self._actions = self._actions, None
        observations, rewards, terminations, truncations, infos = self.agent_env.step(actions)
        dones = terminations | truncations
        step_infos: list[dict[str, Any]] = [
            {"TimeLimit.truncated": bool(truncated)} for truncated in truncations & ~terminations
        ]
        for index in np.flatnonzero(dones):
            step_infos[index]["terminal_observation"] = infos["final_obs"][index]
        return observations, rewards.astype(np.float32), dones, step_infos

    def render(self, mode: str | None = None) -> Array | None:
        """Environment 0's frame: the whole team that sub-environment 0 belongs to."""
        if mode is not None and mode != self.render_mode:
            # SB3's handling: a warning, or a window showing get_images()
            return super().render(mode)
        return self.get_images()[0]

    def get_images(self) -> Sequence[Array | None]:
        """Environment 0's frame alone: one engine draws the frames of every agent."""
        frames = self.agent_env.render([0])
        return [None if frames is None else frames[0]]

    def close(self) -> None:
        self.agent_env.close()

    def get_attr(self, attr_name: str, indices: VecEnvIndices = None) -> list[Any]:
        """The shared environment's attribute, once per selected sub-environment."""
        value = getattr(self.agent_env, attr_name)
        return [value for _ in self._get_indices(indices)]

    def set_attr(self, attr_name: str, value: Any, indices: VecEnvIndices = None) -> None:
        """Set an existing attribute of the shared environment, for all sub-environments."""
        self._check_all_selected("set_attr", indices)
        # a new attribute would be stored and ignored by the engine
        if not hasattr(self.agent_env, attr_name):
            raise AttributeError(
                f"set_attr sets existing attributes of the shared ZandrelAgentVectorEnv; "
                f"it has no attribute {attr_name!r}"
            )
        setattr(self.agent_env, attr_name, value)

    def env_method(
        self,
        method_name: str,
        *method_args: Any,
        indices: VecEnvIndices = None,
        **method_kwargs: Any,
    ) -> list[Any]:
        """Call a method of the shared environment once; its result for every sub-environment."""
        self._check_all_selected("env_method", indices)
        result = getattr(self.agent_env, method_name)(*method_args, **method_kwargs)
        return [result] * self.num_envs

    def env_is_wrapped(
        self, wrapper_class: type[gymnasium.Wrapper], indices: VecEnvIndices = None
    ) -> list[bool]:
        return [False for _ in self._get_indices(indices)]

    def _check_all_selected(self, method: str, indices: VecEnvIndices) -> None:
        selected = sorted(set(self._get_indices(indices)))
        if selected != list(range(self.num_envs)):
            raise ValueError(
                f"{method} acts on the engine that all {self.num_envs} sub-environments share, "
                f"so indices must select all of them (or be None), got {indices!r}"
            )


def sb3_vec_env(
    num_envs: int,
    *,
    num_threads: int | None = None,
    dtype: npt.DTypeLike = np.float64,
    **config: Unpack[ZandrelConfig],
) -> ZandrelSB3VecEnv:
    """Every agent of `num_envs` native environments as one SB3 sub-environment; see
    :class:`ZandrelSB3VecEnv`."""
    return ZandrelSB3VecEnv(num_envs, num_threads=num_threads, dtype=dtype, **config)


def _split_infos(infos: dict[str, Any], count: int) -> list[dict[str, Any]]:
    """Gymnasium's vector infos (values with `_key` masks) as one dict per sub-environment."""
    split: list[dict[str, Any]] = [{} for _ in range(count)]
    for key, values in infos.items():
        mask = infos.get(f"_{key}")
        if key.startswith("_") or mask is None:
            continue
        for index in np.flatnonzero(mask):
            split[index][key] = values[index]
    return split
