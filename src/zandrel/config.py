"""The configuration keywords shared by every Zandrel environment, and their checks."""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass, fields
from typing import TypedDict

import numpy as np

# geometry of the simulation core (plane units)
CONTACT_DISTANCE = 6.0  # particle to boulder centre distance below which they touch
BOULDER_SPACING = 10.0  # boulder centres closer than this are pushed apart
ARRIVAL_DISTANCE = 6.0  # boulder to landmark centre distance below which the boulder has arrived
ACTION_SCALE = 0.1  # distance a unit-length action moves a particle per physics sub-step


class ZandrelConfig(TypedDict, total=False):
    """Keyword arguments of :class:`zandrel.ZandrelEnv`, for :func:`env` and :func:`raw_env`."""

    n_agents: int
    n_boulders: int
    n_landmarks: int
    n_physics_steps: int
    sparse_rewards: bool
    visit_all: bool
    sparse_weight: float
    max_cycles: int
    spawn_size: float
    render_mode: str | None


@dataclass(frozen=True)
class EnvConfig:
    """One environment's task, checked: counts, reward mode, episode limit and spawn area."""

    n_agents: int = 2
    n_boulders: int = 2
    n_landmarks: int = 2
    n_physics_steps: int = 5
    sparse_rewards: bool = False
    visit_all: bool = False
    sparse_weight: float = 1.0
    max_cycles: int = 300
    spawn_size: float = 30.0

    def __post_init__(self) -> None:
        checked = {
            "n_agents": _check_count("n_agents", self.n_agents, minimum=1),
            "n_boulders": _check_count("n_boulders", self.n_boulders, minimum=0),
            "n_landmarks": _check_count("n_landmarks", self.n_landmarks, minimum=0),
            "n_physics_steps": _check_count("n_physics_steps", self.n_physics_steps, minimum=1),
            "sparse_rewards": _check_flag("sparse_rewards", self.sparse_rewards),
            "visit_all": _check_flag("visit_all", self.visit_all),
            "sparse_weight": _check_real("sparse_weight", self.sparse_weight, positive=False),
            "max_cycles": _check_count("max_cycles", self.max_cycles, minimum=1),
            "spawn_size": _check_real("spawn_size", self.spawn_size, positive=True),
        }
        # the checked values replace the given ones: plain ints, bools and floats
        for name, value in checked.items():
            object.__setattr__(self, name, value)

    @property
    def flag_count(self) -> int:
        """Goal flags at the end of the state vector."""
        return self.n_landmarks * self.n_boulders if self.visit_all else self.n_boulders

    @property
    def state_length(self) -> int:
        """Length of the global state vector and of every observation."""
        return 4 * self.n_agents + 2 * (self.n_boulders + self.n_landmarks) + self.flag_count

    def keywords(self) -> dict[str, int | float | bool]:
        return {field.name: getattr(self, field.name) for field in fields(self)}


def _check_count(keyword: str, value: object, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < minimum:
        raise ValueError(f"{keyword} must be an integer >= {minimum}, got {value!r}")
    return int(value)


def _check_flag(keyword: str, value: object) -> bool:
    if not isinstance(value, bool | np.bool_):
        raise ValueError(f"{keyword} must be True or False, got {value!r}")
    return bool(value)


def _check_real(keyword: str, value: object, positive: bool) -> float:
    allowed = "a finite number > 0" if positive else "a finite number"
    if (
        isinstance(value, bool)
        or not isinstance(value, numbers.Real)
        or not math.isfinite(value)
        or (positive and value <= 0)
    ):
        raise ValueError(f"{keyword} must be {allowed}, got {value!r}")
    return float(value)
