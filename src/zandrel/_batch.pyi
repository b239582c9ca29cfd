"""Native batched stepping and start layouts for the zandrel package"""

from typing import SupportsFloat, SupportsInt

import numpy as np
import numpy.typing as npt

from zandrel.options import EnvConfig

environment_bytes: int

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
        task: EnvConfig,
        num_envs: SupportsInt,
        autoreset_mode: str,
        num_threads: SupportsInt,
        float_observations: bool,
    ) -> None:
        """The engine of num_envs environments of one task, read by keyword name from task
        (the package's EnvConfig)."""

    @property
    def observation_length(self) -> int: ...
    @property
    def num_threads(self) -> int: ...
    def seed(
        self, states: npt.NDArray[np.uint64], mask: npt.NDArray[np.bool_] | None = None
    ) -> None:
        """Sets the generator state (num_envs, 4) uint64 of every environment in mask
        (all when None)."""

    def reset(
        self,
        mask: npt.NDArray[np.bool_] | None,
        states: npt.NDArray[np.uint64] | None = None,
        seed_mask: npt.NDArray[np.bool_] | None = None,
    ) -> npt.NDArray[np.floating]:
        """Seeds the environments in seed_mask from states when states is given, then
        starts a new episode in every environment in mask (all when None); returns every
        environment's observations."""

    def step(
        self,
        actions: npt.NDArray[np.floating],
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
        tuple[npt.NDArray[np.bool_], list[npt.NDArray[np.floating]]] | None,
    ]:
        """Steps every environment; returns (observations, rewards, terminations,
        truncations, finals), in out when it is given; finals is None or, when same_step
        autoreset ended episodes, (mask of ended environments, their last observations)."""

    def state(self, env: SupportsInt) -> tuple[npt.NDArray[np.float64], int]:
        """Environment env's global state (particle 0's observation, float64) and the steps
        of its current episode."""

    def close(self) -> None:
        """Joins the worker threads and releases the pooled result memory; later calls
        raise."""

    def close_if_idle(self) -> bool:
        """close() unless another thread's call runs; True when the engine is closed."""

    def _set_pool_generation_for_testing(self, generation: int) -> None:
        """Sets the thread pool's call counter, to test its wrap-around."""
