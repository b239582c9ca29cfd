"""Pybind11 backend for the Zandrel PettingZoo environment"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsInt

import numpy as np
import numpy.typing as npt

class Environment:
    def __init__(self) -> None: ...
    def init(
        self,
        particle_positions: Sequence[SupportsFloat],
        boulder_positions: Sequence[SupportsFloat],
        landmark_positions: Sequence[SupportsFloat],
        n_physics_steps: SupportsInt,
        sparse_rewards: bool,
        visit_all: bool,
        sparse_weight: SupportsFloat,
    ) -> None:
        """Initializes the environment with starting positions for all entities."""

    def reset(self) -> tuple[npt.NDArray[np.float64], dict[str, npt.NDArray[np.float64]]]:
        """Resets the environment to the initial state and returns (state, observations)."""

    def step(
        self, actions: dict[object, object]
    ) -> tuple[
        npt.NDArray[np.float64],
        dict[str, npt.NDArray[np.float64]],
        dict[str, float],
        dict[str, bool],
        dict[str, bool],
    ]:
        """Steps the environment with a dictionary of actions."""

    def set_observation(
        self,
        observation: str,
        n_neighbours: tuple[SupportsInt, SupportsInt, SupportsInt] = (4, 4, 4),
    ) -> None:
        """Chooses the observations that reset() and step() return: 'global' (the default),
        'relative' or 'local' with n_neighbours = (particles, boulders, landmarks)."""
