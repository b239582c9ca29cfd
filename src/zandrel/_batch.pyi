"""Native batched stepping and start layouts for the zandrel package"""

from typing import SupportsFloat, SupportsInt

import numpy as np
import numpy.typing as npt

def draw_layout(
    state: npt.NDArray[np.uint64],
    n_agents: SupportsInt,
    n_boulders: SupportsInt,
    n_landmarks: SupportsInt,
    spawn_size: SupportsFloat,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Draws a start layout from a generator state of four uint64 words, which advances
    in place; returns (particles, boulders, landmarks) as (n, 2) float64 arrays."""

def approach_progress(
    before: npt.NDArray[np.float64],
    after: npt.NDArray[np.float64],
    n_agents: SupportsInt,
    n_boulders: SupportsInt,
    n_landmarks: SupportsInt,
    visit_all: bool,
) -> float:
    """How much closer the particles came to their nearest open boulders between two
    state vectors; the approach term before its weight."""

class BatchEngine:
    def __init__(
        self,
        num_envs: SupportsInt,
        n_agents: SupportsInt,
        n_boulders: SupportsInt,
        n_landmarks: SupportsInt,
        n_physics_steps: SupportsInt,
        sparse_rewards: bool,
        visit_all: bool,
        sparse_weight: SupportsFloat,
        max_cycles: SupportsInt,
        spawn_size: SupportsFloat,
        approach_shaping: SupportsFloat,
        autoreset_mode: str,
        num_threads: SupportsInt,
        float_observations: bool,
    ) -> None: ...
    @property
    def observation_length(self) -> int: ...
    @property
    def num_threads(self) -> int: ...
    def seed(
        self, states: npt.NDArray[np.uint64], mask: npt.NDArray[np.bool_] | None = None
    ) -> None:
        """Sets the generator state (num_envs, 4) uint64 of every environment in mask
        (all when None)."""

    def reset(self, mask: npt.NDArray[np.bool_] | None) -> npt.NDArray[np.floating]:
        """Starts a new episode in every environment in mask (all when None); returns
        every environment's observations."""

    def step(
        self,
        actions: npt.NDArray[np.floating],
        final_observations: npt.NDArray[np.floating],
        final_mask: npt.NDArray[np.bool_],
        out: tuple[
            npt.NDArray[np.floating],
            npt.NDArray[np.float64],
            npt.NDArray[np.bool_],
            npt.NDArray[np.bool_],
        ]
        | None,
    ) -> tuple[
        npt.NDArray[np.floating],
        npt.NDArray[np.float64],
        npt.NDArray[np.bool_],
        npt.NDArray[np.bool_],
        int,
    ]:
        """Steps every environment; returns (observations, rewards, terminations,
        truncations, number of ended episodes), in out when it is given."""

    def state(self, env: SupportsInt) -> tuple[npt.NDArray[np.float64], int]:
        """Environment env's global state (particle 0's observation, float64) and the steps
        of its current episode."""

    def close(self) -> None:
        """Joins the worker threads; later calls raise."""
