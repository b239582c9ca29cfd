"""The global state vector split into named parts."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt


@dataclass(frozen=True)
class Snapshot:
    """The global state vector split into named parts."""

    particles: npt.NDArray[np.float64]  # (n_agents, 2) positions
    velocities: npt.NDArray[np.float64]  # (n_agents, 2) last applied actions
    boulders: npt.NDArray[np.float64]  # (n_boulders, 2) positions
    landmarks: npt.NDArray[np.float64]  # (n_landmarks, 2) positions
    boulders_done: npt.NDArray[np.bool_]  # (n_boulders,) every goal of the boulder is met
    visits: npt.NDArray[np.bool_] | None  # (n_landmarks, n_boulders) with visit_all, else None
    goals_met: int
    goals_total: int


def split_state(
    state: npt.NDArray[np.float64],
    n_agents: int,
    n_boulders: int,
    n_landmarks: int,
    visit_all: bool,
) -> Snapshot:
    """Split a global state vector (or an observation) into its named parts."""
    particle_end = 4 * n_agents
    boulder_end = particle_end + 2 * n_boulders
    landmark_end = boulder_end + 2 * n_landmarks
    particle_rows = state[:particle_end].reshape(n_agents, 4)
    flags = state[landmark_end:] > 0.5
    if visit_all:
        visits = flags.reshape(n_landmarks, n_boulders)
        boulders_done = np.asarray(visits.all(axis=0))
    else:
        visits = None
        boulders_done = flags
    return Snapshot(
        particles=particle_rows[:, :2],
        velocities=particle_rows[:, 2:],
        boulders=state[particle_end:boulder_end].reshape(n_boulders, 2),
        landmarks=state[boulder_end:landmark_end].reshape(n_landmarks, 2),
        boulders_done=boulders_done,
        visits=visits,
        goals_met=int(flags.sum()),
        goals_total=flags.size,
    )


def state_bounds(
    n_agents: int, n_boulders: int, n_landmarks: int, visit_all: bool
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Lowest and highest values of each slot of the global state vector (or an observation).

    Positions are unbounded, velocities are the last applied actions, in [-1, 1], and goal
    flags are 0.0 or 1.0.
    """
    n_flags = n_landmarks * n_boulders if visit_all else n_boulders
    n_positions = 2 * (n_boulders + n_landmarks)
    low = [-np.inf, -np.inf, -1.0, -1.0] * n_agents + [-np.inf] * n_positions + [0.0] * n_flags
    high = [np.inf, np.inf, 1.0, 1.0] * n_agents + [np.inf] * n_positions + [1.0] * n_flags
    return np.array(low), np.array(high)
