"""The configuration keywords shared by every Zandrel environment, and their checks."""

from __future__ import annotations

import math
import numbers
import os
from dataclasses import dataclass, fields
from typing import TypedDict

import numpy as np

# geometry of the simulation core (plane units)
CONTACT_DISTANCE = 6.0  # particle to boulder centre distance below which they touch
BOULDER_SPACING = 10.0  # boulder centres closer than this are pushed apart
ARRIVAL_DISTANCE = 6.0  # boulder to landmark centre distance below which the boulder has arrived
ACTION_SCALE = 0.1  # distance a unit-length action moves a particle per physics sub-step

# default episode limit: steps budgeted per goal for one pushing particle in the default
# square, about twice what the built-in heuristic needs on average; the budget grows with
# the side of the spawn square (distances grow with it) and shrinks with the particles that
# can push boulders at the same time
STEPS_PER_GOAL = 350
REFERENCE_SPAWN_SIZE = 30.0  # plane units; the default spawn_size

# memory: every agent observes the whole state as float64 values, so one step's
# observations take 8 * n_agents * state_length bytes, which grows with the square of the team
FLOAT64_BYTES = 8
DEFAULT_MAX_OBSERVATION_BYTES = 2**30  # 1 GiB per step of observations
MAX_OBSERVATION_BYTES_VARIABLE = "ZANDREL_MAX_OBSERVATION_BYTES"


class ConfigError(ValueError):
    """A refused configuration; `keywords` names the keywords that together caused it."""

    def __init__(self, message: str, *keywords: str) -> None:
        super().__init__(message)
        self.keywords = keywords


class ZandrelConfig(TypedDict, total=False):
    """Keyword arguments of :class:`zandrel.ZandrelEnv`, for :func:`env` and :func:`raw_env`."""

    n_agents: int
    n_boulders: int
    n_landmarks: int
    n_physics_steps: int
    sparse_rewards: bool
    visit_all: bool
    sparse_weight: float
    max_cycles: int | None
    spawn_size: float
    max_observation_bytes: int | None
    approach_shaping: float
    render_mode: str | None


@dataclass(frozen=True)
class EnvConfig:
    """One environment's task, checked: counts, reward mode, episode limit and spawn area.

    `max_cycles=None` becomes :attr:`default_max_cycles` and `max_observation_bytes=None`
    the value of the ZANDREL_MAX_OBSERVATION_BYTES environment variable, or 1 GiB without
    it. Refused configurations raise :class:`ConfigError`, a ValueError.
    """

    n_agents: int = 2
    n_boulders: int = 2
    n_landmarks: int = 2
    n_physics_steps: int = 5
    sparse_rewards: bool = False
    visit_all: bool = False
    sparse_weight: float = 1.0
    max_cycles: int | None = None
    spawn_size: float = REFERENCE_SPAWN_SIZE
    max_observation_bytes: int | None = None
    approach_shaping: float = 0.0

    def __post_init__(self) -> None:
        checked = {
            "n_agents": _check_count("n_agents", self.n_agents, minimum=1),
            "n_boulders": _check_count("n_boulders", self.n_boulders, minimum=0),
            "n_landmarks": _check_count("n_landmarks", self.n_landmarks, minimum=0),
            "n_physics_steps": _check_count("n_physics_steps", self.n_physics_steps, minimum=1),
            "sparse_rewards": _check_flag("sparse_rewards", self.sparse_rewards),
            "visit_all": _check_flag("visit_all", self.visit_all),
            "sparse_weight": _check_real("sparse_weight", self.sparse_weight),
            "max_cycles": _check_optional_count("max_cycles", self.max_cycles),
            "spawn_size": _check_real("spawn_size", self.spawn_size, "> 0"),
            "max_observation_bytes": _check_optional_count(
                "max_observation_bytes", self.max_observation_bytes
            ),
            "approach_shaping": _check_real("approach_shaping", self.approach_shaping, ">= 0"),
        }
        # the checked values replace the given ones: plain ints, bools and floats
        for name, value in checked.items():
            object.__setattr__(self, name, value)
        if self.n_boulders > 0 and self.n_landmarks == 0 and not self.visit_all:
            raise ConfigError(
                f"n_landmarks=0 leaves the {self.n_boulders} boulder(s) nowhere to go, so no "
                "episode could ever succeed; use n_landmarks >= 1, or n_boulders=0 for a task "
                "without goals",
                "n_landmarks",
                "n_boulders",
            )
        if self.max_cycles is None:
            object.__setattr__(self, "max_cycles", self.default_max_cycles)
        if self.max_observation_bytes is None:
            object.__setattr__(self, "max_observation_bytes", _limit_from_environment())
        self.check_observation_memory()

    @property
    def flag_count(self) -> int:
        """Goal flags at the end of the state vector."""
        return self.n_landmarks * self.n_boulders if self.visit_all else self.n_boulders

    @property
    def state_length(self) -> int:
        """Length of the global state vector and of every observation."""
        return 4 * self.n_agents + 2 * (self.n_boulders + self.n_landmarks) + self.flag_count

    @property
    def default_max_cycles(self) -> int:
        """The episode limit that `max_cycles=None` stands for.

        STEPS_PER_GOAL (350) steps per goal (the goal flags: n_boulders, or n_landmarks *
        n_boulders with visit_all), times spawn_size / 30 when the square is larger than the
        default, divided by min(n_agents, n_boulders), the boulders pushed at once; at least
        1. The defaults give 350 steps, or 700 with visit_all.
        """
        if self.flag_count == 0:
            # nothing to do: the episode ends at its first step
            return 1
        spread = max(1.0, self.spawn_size / REFERENCE_SPAWN_SIZE)
        pushed_at_once = min(self.n_agents, self.n_boulders)
        return math.ceil(STEPS_PER_GOAL * self.flag_count * spread / pushed_at_once)

    @property
    def observation_bytes(self) -> int:
        """Estimated bytes of one step's observations: n_agents float64 state vectors."""
        return FLOAT64_BYTES * self.n_agents * self.state_length

    def check_observation_memory(self, copies: int = 1) -> None:
        """ConfigError unless `copies` environments' observations fit max_observation_bytes.

        A batch of environments stepped together passes its size as `copies`.
        """
        estimate = copies * self.observation_bytes
        limit = self.max_observation_bytes
        assert limit is not None
        if estimate <= limit:
            return
        team = f"n_agents={self.n_agents}"
        if copies != 1:
            team = f"{copies} environments of {team}"
        raise ConfigError(
            f"one step's observations would take about {_bytes_text(estimate)} ({estimate:,} "
            f"bytes) with {team}, over max_observation_bytes={limit:,}; every agent observes "
            "the whole state, so this grows with the square of n_agents. Pass a larger "
            f"max_observation_bytes or set {MAX_OBSERVATION_BYTES_VARIABLE} if the memory is "
            "there",
            "n_agents",
            "max_observation_bytes",
        )

    def keywords(self) -> dict[str, int | float | bool]:
        return {field.name: getattr(self, field.name) for field in fields(self)}


def _limit_from_environment() -> int:
    text = os.environ.get(MAX_OBSERVATION_BYTES_VARIABLE)
    if text is None:
        return DEFAULT_MAX_OBSERVATION_BYTES
    try:
        limit = int(text)
    except ValueError:
        limit = 0
    if limit < 1:
        raise ConfigError(
            f"the environment variable {MAX_OBSERVATION_BYTES_VARIABLE} must be an integer "
            f">= 1 (bytes), got {text!r}",
            "max_observation_bytes",
        )
    return limit


def _bytes_text(count: int) -> str:
    for unit, size in (("TiB", 2**40), ("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if count >= size:
            return f"{count / size:.1f} {unit}"
    return f"{count} bytes"


def _check_count(keyword: str, value: object, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < minimum:
        raise ConfigError(f"{keyword} must be an integer >= {minimum}, got {value!r}", keyword)
    return int(value)


def _check_optional_count(keyword: str, value: object) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1:
        raise ConfigError(f"{keyword} must be None or an integer >= 1, got {value!r}", keyword)
    return int(value)


def _check_flag(keyword: str, value: object) -> bool:
    if not isinstance(value, bool | np.bool_):
        raise ConfigError(f"{keyword} must be True or False, got {value!r}", keyword)
    return bool(value)


def _check_real(keyword: str, value: object, bound: str = "") -> float:
    """A finite real number, above zero with bound "> 0", not below it with ">= 0"."""
    allowed = f"a finite number {bound}".rstrip()
    if (
        isinstance(value, bool)
        or not isinstance(value, numbers.Real)
        or not math.isfinite(value)
        or (bound == "> 0" and value <= 0)
        or (bound == ">= 0" and value < 0)
    ):
        raise ConfigError(f"{keyword} must be {allowed}, got {value!r}", keyword)
    return float(value)
