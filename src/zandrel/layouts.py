"""Seeded start layouts: where particles, boulders and landmarks begin an episode."""

from __future__ import annotations

import numbers
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from zandrel import _batch
from zandrel.options import EnvConfig


@dataclass(frozen=True)
class Layout:
    """Start positions of one episode, one (x, y) row per entity.

    `parallel_env().reset(options={"layout": layout})` starts an episode on it; the
    environment checks it against its counts with :func:`checked_layout`.
    """

    particles: npt.NDArray[np.float64]
    boulders: npt.NDArray[np.float64]
    landmarks: npt.NDArray[np.float64]


def checked_layout(layout: object, config: EnvConfig, name: str = "layout") -> Layout:
    """A float64 copy of `layout` after checking it fits `config`; ValueError otherwise.

    Each part must be an (n, 2) array of finite numbers, n the count of its entities.
    The copy keeps the episode's start safe from later writes to the caller's arrays.
    """
    if not isinstance(layout, Layout):
        raise ValueError(f"{name} must be a zandrel.layouts.Layout, got {type(layout).__name__}")
    counts = {
        "particles": ("n_agents", config.n_agents),
        "boulders": ("n_boulders", config.n_boulders),
        "landmarks": ("n_landmarks", config.n_landmarks),
    }
    parts = {}
    for part, (keyword, count) in counts.items():
        given = getattr(layout, part)
        try:
            points = np.array(given, dtype=np.float64)
        except (TypeError, ValueError):
            raise ValueError(f"{name}.{part} must hold real numbers, got {given!r}") from None
        if points.shape != (count, 2):
            raise ValueError(
                f"{name}.{part} must have shape ({count}, 2) ({keyword}, 2), got {points.shape}"
            )
        bad_rows = np.flatnonzero(~np.isfinite(points).all(axis=1))
        if bad_rows.size:
            row = int(bad_rows[0])
            raise ValueError(
                f"{name}.{part} must hold finite numbers, got {points[row].tolist()} in row {row}"
            )
        parts[part] = points
    return Layout(**parts)


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
