"""Every agent of every Zandrel environment as one sub-environment, for parameter sharing."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Unpack

import gymnasium
import numpy as np
import numpy.typing as npt
from gymnasium import spaces
from gymnasium.vector import AutoresetMode

from zandrel.memory import agent_view_bytes_per_env, check_memory
from zandrel.observations import refuse_state_mode
from zandrel.options import ConfigError, ZandrelConfig
from zandrel.vector_env import (
    Array,
    StepResult,
    ZandrelVectorEnv,
    checked_reset_mask,
    final_infos,
)


class ZandrelAgentVectorEnv(gymnasium.vector.VectorEnv):
    """The agents of `num_envs` natively batched environments as `num_envs * n_agents` envs.

    Single-agent libraries train one policy shared by all particles on it: each agent of
    each environment is one sub-environment, in the order environment 0's particle_0,
    particle_1, ..., then environment 1's, the layout that SuperSuit's
    `pettingzoo_env_to_vec_env_v1` and `concat_vec_envs_v1` give for
    `zandrel.parallel_env`, at native speed.

    - `single_observation_space` is a `Box` of shape `(L,)`, the agent's own observation
      in the `observation` mode ("global", "relative" or "local", as in
      `zandrel.parallel_env`) with the bounds of `parallel_env`'s; `single_action_space` is
      `Box(-1, 1, (2,), float32)`.
    - `step` takes actions shaped `(num_envs * n_agents, 2)` and returns observations
      `(num_envs * n_agents, L)`, and rewards (float64), terminations and truncations
      (bool) of shape `(num_envs * n_agents,)`: each environment's team reward and
      flags, repeated for each of its agents.
    - `reset(seed=s)` seeds environment i (its agents n_agents * i to
      n_agents * (i + 1) - 1) with `s + i`, as SuperSuit's concatenation does.
    - Autoreset, threads, dtype, `render_mode` and every environment keyword are those
      of :class:`zandrel.ZandrelVectorEnv` (`team_env` here), but autoreset defaults to
      `SAME_STEP`, the convention of SuperSuit's vector envs that PPO code for this
      layout expects; with it, `infos["final_obs"]` holds each ended agent's last
      observation. A `reset_mask` selects agents, and all agents of an environment must
      agree. `render(env_ids)` draws whole environments, as the team env does.
    """

    team_env: ZandrelVectorEnv | None = None

    def __init__(self, num_envs: int, **keywords: Unpack[ZandrelConfig] | Any) -> None:
        refuse_state_mode("agent_vector_env", keywords.get("observation"))
        keywords.setdefault("autoreset_mode", AutoresetMode.SAME_STEP)
        self.team_env = ZandrelVectorEnv(num_envs, **keywords)
        team = self.team_env
        self._check_memory()
        self.n_agents = team.n_agents
        self.num_envs = team.num_envs * team.n_agents
        self.metadata = team.metadata
        self.render_mode = team.render_mode
        team_space = team.single_observation_space
        self.single_observation_space = spaces.Box(
            team_space.low[0], team_space.high[0], dtype=team.dtype
        )
        self.single_action_space = spaces.Box(-1.0, 1.0, (2,), np.float32)
        self.observation_space = gymnasium.vector.utils.batch_space(
            self.single_observation_space, self.num_envs
        )
        self.action_space = gymnasium.vector.utils.batch_space(
            self.single_action_space, self.num_envs
        )

    def reset(
        self,
        *,
        seed: int | Sequence[int | None] | None = None,
        options: dict[str, Any] | None = None,
    ) -> tuple[Array, dict[str, Any]]:
        """Start new episodes; observations shaped (num_envs * n_agents, L)."""
        if options and "reset_mask" in options:
            options = {**options, "reset_mask": self._team_mask(options["reset_mask"])}
        observations, infos = self.team_env.reset(seed=seed, options=options)
        return observations.reshape(self.num_envs, -1), infos

    def step(self, actions: npt.ArrayLike) -> StepResult:
        """Step every environment with one action per agent; see the class docstring."""
        array = actions if isinstance(actions, np.ndarray) else np.asarray(actions)
        if array.shape != (self.num_envs, 2):
            raise ValueError(
                f"actions must have shape ({self.num_envs}, 2) (num_envs * n_agents, 2), "
                f"got {array.shape}"
            )
        team_actions = array.reshape(self.team_env.num_envs, self.n_agents, 2)
        observations, rewards, terminations, truncations, infos = self.team_env.step(team_actions)
        return (
            observations.reshape(self.num_envs, -1),
            np.repeat(rewards, self.n_agents),
            np.repeat(terminations, self.n_agents),
            np.repeat(truncations, self.n_agents),
            self._agent_infos(infos),
        )

    def render(self, env_ids: Sequence[int] | None = None) -> Array | None:
        """Frames of whole environments (not agents); see :meth:`ZandrelVectorEnv.render`."""
        return self.team_env.render(env_ids)

    def close_extras(self, **kwargs: Any) -> None:
        # Gymnasium's __del__ closes objects whose __init__ raised, too
        if self.team_env is not None:
            self.team_env.close()

    def _check_memory(self) -> None:
        """Refuses the agents' own arrays beyond the limit; the team env held less, having
        passed the same check without them, and is closed again."""
        team = self.team_env
        same_step = team.autoreset_mode == AutoresetMode.SAME_STEP
        added = agent_view_bytes_per_env(team.config, team.dtype.itemsize, same_step)
        try:
            check_memory(
                team.config,
                team.num_envs * (team.memory_bytes_per_env + added),
                f"{team.num_envs:,} agent-viewed environments of n_agents={team.n_agents}",
            )
        except ConfigError:
            team.close()
            raise

    def _team_mask(self, mask: object) -> Array:
        """An agent mask as a mask of environments; every agent of one must agree."""
        mask = checked_reset_mask(mask, self.num_envs)
        blocks = mask.reshape(self.team_env.num_envs, self.n_agents)
        split = np.flatnonzero(blocks.any(axis=1) != blocks.all(axis=1))
        if split.size:
            raise ValueError(
                "options['reset_mask'] must select all agents of an environment or none, "
                f"got a partial selection in environments {split.tolist()}"
            )
        return np.ascontiguousarray(blocks[:, 0])

    def _agent_infos(self, infos: dict[str, Any]) -> dict[str, Any]:
        if not infos:
            return infos
        mask = np.repeat(infos["_final_obs"], self.n_agents)
        final_observations = np.full(self.num_envs, None, dtype=object)
        for env in np.flatnonzero(infos["_final_obs"]):
            for agent, observation in enumerate(infos["final_obs"][env]):
                final_observations[env * self.n_agents + agent] = observation
        return final_infos(final_observations, mask)


def agent_vector_env(
    num_envs: int,
    *,
    num_threads: int | None = None,
    autoreset_mode: AutoresetMode | str = AutoresetMode.SAME_STEP,
    dtype: npt.DTypeLike = np.float64,
    render_mode: str | None = None,
    **config: Unpack[ZandrelConfig],
) -> ZandrelAgentVectorEnv:
    """Every agent of `num_envs` native environments as one sub-environment; see
    :class:`ZandrelAgentVectorEnv`.

    Seeds are per environment, not per agent: `reset(seed=s)` seeds environment i (its
    agents n_agents * i to n_agents * (i + 1) - 1) with `s + i`, and a sequence of seeds
    has `num_envs` entries. Interrupts, fork and threads behave as in `vector_env`.
    """
    return ZandrelAgentVectorEnv(
        num_envs,
        num_threads=num_threads,
        autoreset_mode=autoreset_mode,
        dtype=dtype,
        render_mode=render_mode,
        **config,
    )
