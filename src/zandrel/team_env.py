"""One whole Zandrel team as a single-agent Gymnasium environment, arrays in and out."""

from __future__ import annotations

from typing import Any, Unpack

import gymnasium
import numpy as np
import numpy.typing as npt
from gymnasium import spaces

from zandrel.config import ZandrelConfig
from zandrel.observations import observation_bounds
from zandrel.rendering import FRAMES_PER_SECOND
from zandrel.zandrel_env import RENDER_MODES, ZandrelEnv

Array = npt.NDArray[Any]


class ZandrelTeamEnv(gymnasium.Env[Array, Array]):
    """`zandrel.parallel_env(**config)` as one Gymnasium env whose agent is the whole team.

    What `gymnasium.make("Zandrel-v0", **config)` builds. Its spaces are the single
    spaces of :class:`zandrel.ZandrelVectorEnv` with the default dtype: observations
    `(n_agents, L)` float64, row a being `particle_a`'s observation; actions
    `(n_agents, 2)`, row a being `particle_a`'s action. `step` returns the team reward
    and the team's termination and truncation flags. Every number is the parallel
    environment's, bit for bit, under the same seed and actions; `parallel` is that
    environment, for its snapshot, state and steps.
    """

    metadata: dict[str, Any] = {  # noqa: RUF012 - the class attribute that Gymnasium reads
        "render_modes": list(RENDER_MODES),
        "render_fps": FRAMES_PER_SECOND,
    }

    def __init__(self, render_mode: str | None = None, **config: Unpack[ZandrelConfig]) -> None:
        self.parallel = ZandrelEnv(render_mode=render_mode, **config)
        self.render_mode = render_mode
        team = self.parallel
        low, high = observation_bounds(team.config)
        rows = (team.n_agents, 1)
        self.observation_space = spaces.Box(
            np.tile(low, rows), np.tile(high, rows), dtype=np.float64
        )
        self.action_space = spaces.Box(-1.0, 1.0, (team.n_agents, 2), np.float32)

    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[Array, dict[str, Any]]:
        super().reset(seed=seed)
        observations, _ = self.parallel.reset(seed=seed, options=options)
        return np.stack(list(observations.values())), {}

    def step(self, action: npt.ArrayLike) -> tuple[Array, float, bool, bool, dict[str, Any]]:
        """One action row per particle; see the class docstring."""
        array = action if isinstance(action, np.ndarray) else np.asarray(action)
        expected = self.action_space.shape
        if array.shape != expected:
            raise ValueError(f"action must have shape {expected} (n_agents, 2), got {array.shape}")
        team = self.parallel
        observations, rewards, terminations, truncations, _ = team.step(
            {agent: array[index] for index, agent in enumerate(team.agents)}
        )
        first = team.possible_agents[0]
        return (
            np.stack(list(observations.values())),
            rewards[first],
            terminations[first],
            truncations[first],
            {},
        )

    def render(self) -> Array | None:
        return self.parallel.render()

    def close(self) -> None:
        self.parallel.close()
