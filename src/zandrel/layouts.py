"""Seeded start layouts: where particles, boulders and landmarks begin an episode."""

from __future__ import annotations

import numbers
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from zandrel import _batch
from zandrel.config import EnvConfig


@dataclass(frozen=True)
class Layout:
    """Start positions of one episode, one (x, y) row per entity."""

    particles: npt.NDArray[np.float64]
    boulders: npt.NDArray[np.float64]
    landmarks: npt.NDArray[np.float64]


def seed_state(seed: int | None) -> npt.NDArray[np.uint64]:
    """The start state of a layout generator: 256 bits from NumPy's SeedSequence.

    Environments draw their start layouts natively (xoshiro256**, in the `_batch`
    module) from this state, so that the single and the batched environment give the
    same layouts for the same seed. None draws fresh entropy from the system.
    """
    if seed is not None and (
        isinstance(seed, bool) or not isinstance(seed, numbers.Integral) or seed < 0
    ):
        raise ValueError(f"seed must be None or an integer >= 0, got {seed!r}")
    entropy = None if seed is None else int(seed)
    return np.random.SeedSequence(entropy).generate_state(4, np.uint64)


def draw_layout(state: npt.NDArray[np.uint64], config: EnvConfig) -> Layout:
    """The next start layout from a generator state, which advances in place.

    Landmarks, then boulders, then particles are placed uniformly in the square of side
    `spawn_size` around the origin, with clearances between centres so that nothing
    touches or scores at the start: landmarks 13 units apart (their arrival zones do not
    overlap), boulders 12 units apart and 10 from every landmark, particles 7 from every
    boulder. ValueError when no such layout is found, as when the spawn area is too small.
    """
    particles, boulders, landmarks = _batch.draw_layout(
        state, config.n_agents, config.n_boulders, config.n_landmarks, config.spawn_size
    )
    return Layout(particles, boulders, landmarks)
