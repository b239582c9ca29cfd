"""The bounds of each observation mode's values, and the modes each environment takes."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from zandrel.options import ConfigError, EnvConfig

Bounds = tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]

INF = np.inf
# (low, high) of each value of a particle block, a position, a flag
PARTICLE = ([-INF, -INF, -1.0, -1.0], [INF, INF, 1.0, 1.0])
POSITION = ([-INF, -INF], [INF, INF])
FLAG = ([0.0], [1.0])
# local slots: present, dx, dy, then vx, vy (particles) or done (boulders)
PARTICLE_SLOT = ([0.0, -INF, -INF, -1.0, -1.0], [1.0, INF, INF, 1.0, 1.0])
BOULDER_SLOT = ([0.0, -INF, -INF, 0.0], [1.0, INF, INF, 1.0])
LANDMARK_SLOT = ([0.0, -INF, -INF], [1.0, INF, INF])


def observation_bounds(config: EnvConfig) -> Bounds:
    """Lowest and highest value of every element of one observation row of the mode."""
    if config.observation != "local":
        return state_bounds(config)
    k_particles, k_boulders, k_landmarks = config.n_neighbours
    slots = [(PARTICLE_SLOT, k_particles), (BOULDER_SLOT, k_boulders), (LANDMARK_SLOT, k_landmarks)]
    return _joined([(PARTICLE, 1), *slots])


def state_bounds(config: EnvConfig) -> Bounds:
    """Lowest and highest value of every element of the global state vector."""
    positions = config.n_boulders + config.n_landmarks
    return _joined([(PARTICLE, config.n_agents), (POSITION, positions), (FLAG, config.flag_count)])


def refuse_state_mode(caller: str, observation: object) -> None:
    """ConfigError for observation="state" in an environment of per-agent observations."""
    if observation == "state":
        raise ConfigError(
            f"{caller}() gives one observation per agent, so observation must be 'global', "
            "'relative' or 'local', got 'state'; zandrel.vector_env(observation='state') gives "
            "one global state per environment",
            "observation",
        )


def _joined(parts: list[tuple[tuple[list[float], list[float]], int]]) -> Bounds:
    low = np.concatenate([np.tile(block[0], count) for block, count in parts])
    high = np.concatenate([np.tile(block[1], count) for block, count in parts])
    return low.astype(np.float64), high.astype(np.float64)
