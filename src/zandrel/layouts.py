"""Seeded start layouts: where particles, boulders and landmarks begin an episode."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from zandrel.config import ARRIVAL_DISTANCE, BOULDER_SPACING, CONTACT_DISTANCE, EnvConfig

# clearances of a start layout (plane units), so that nothing touches or scores at reset
START_LANDMARK_GAP = 2 * ARRIVAL_DISTANCE + 1.0  # arrival zones do not overlap
START_BOULDER_GAP = BOULDER_SPACING + 2.0
START_BOULDER_LANDMARK_GAP = ARRIVAL_DISTANCE + 4.0
START_PARTICLE_BOULDER_GAP = CONTACT_DISTANCE + 1.0
PLACEMENT_ATTEMPTS = 1000  # random draws for one entity before its layout is abandoned
LAYOUT_ATTEMPTS = 20  # layouts begun before the spawn area is declared too small


@dataclass(frozen=True)
class Layout:
    """Start positions of one episode, one (x, y) row per entity."""

    particles: npt.NDArray[np.float64]
    boulders: npt.NDArray[np.float64]
    landmarks: npt.NDArray[np.float64]


def draw_layout(rng: np.random.Generator, config: EnvConfig) -> Layout:
    """A start layout with every clearance kept; ValueError when the spawn area is too small."""
    for _ in range(LAYOUT_ATTEMPTS):
        layout = _try_layout(rng, config)
        if layout is not None:
            return layout
    raise ValueError(
        f"spawn_size must leave room for {config.n_boulders} boulders, {config.n_landmarks} "
        f"landmarks and {config.n_agents} particles with their start clearances, "
        f"got {config.spawn_size!r}; use a larger spawn_size"
    )


def _try_layout(rng: np.random.Generator, config: EnvConfig) -> Layout | None:
    half_size = config.spawn_size / 2
    landmarks = _scatter(rng, config.n_landmarks, half_size, START_LANDMARK_GAP, [])
    if landmarks is None:
        return None
    boulders = _scatter(
        rng,
        config.n_boulders,
        half_size,
        START_BOULDER_GAP,
        [(landmarks, START_BOULDER_LANDMARK_GAP)],
    )
    if boulders is None:
        return None
    particles = _scatter(
        rng, config.n_agents, half_size, 0.0, [(boulders, START_PARTICLE_BOULDER_GAP)]
    )
    if particles is None:
        return None
    return Layout(particles, boulders, landmarks)


def _scatter(
    rng: np.random.Generator,
    count: int,
    half_size: float,
    own_gap: float,
    obstacles: Sequence[tuple[npt.NDArray[np.float64], float]],
) -> npt.NDArray[np.float64] | None:
    """`count` uniform points at least `own_gap` apart and clear of the obstacles."""
    points = np.empty((0, 2))
    for _ in range(count):
        for _ in range(PLACEMENT_ATTEMPTS):
            candidate = rng.uniform(-half_size, half_size, size=2)
            if _clear_of(candidate, points, own_gap) and all(
                _clear_of(candidate, others, gap) for others, gap in obstacles
            ):
                points = np.vstack([points, candidate])
                break
        else:
            return None
    return points


def _clear_of(point: npt.NDArray[np.float64], others: npt.NDArray[np.float64], gap: float) -> bool:
    return bool(np.all(np.sum((others - point) ** 2, axis=1) >= gap * gap))
