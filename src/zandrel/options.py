"""The environment options, declared once: defaults, types, checks, help and command line.

:class:`EnvConfig` is the one declaration. Each field carries its default, its type (the
annotation), its check and its help text; the environments' keywords, their validation,
the command-line options (:func:`add_config_arguments`) and the native engine's task
configuration (read by field name) all follow from it. A new keyword is one more field
here, and one in the native `TaskConfig` when the engine uses it.
"""

from __future__ import annotations

import argparse
import inspect
import math
import numbers
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field, fields
from typing import Any, TypedDict

import numpy as np

# the native code counts in 32-bit signed integers and steps in 64-bit ones
INT32_MAX = 2**31 - 1
INT64_MAX = 2**63 - 1
# Start positions lie within spawn_size / 2 of the origin. Up to 1e12 a position still
# resolves a sub-step's move (0.1 units at most, the spacing of doubles near 5e11 is
# about 1e-4), and squared distances (about 1e24) stay far from overflowing to inf.
MAX_SPAWN_SIZE = 1e12

# default episode limit: steps budgeted per goal for one pushing particle in the default
# square, about twice what the built-in heuristic needs on average; the budget grows with
# the side of the spawn square (distances grow with it) and shrinks with the particles that
# can push boulders at the same time
STEPS_PER_GOAL = 350
REFERENCE_SPAWN_SIZE = 30.0  # plane units; the default spawn_size

# memory: one step's observations take 8 * rows * observation_length bytes, rows being
# n_agents (one state per environment with "state"); "global" and "relative" rows are as
# long as the state, so they grow with the square of the team, "local" rows not at all
FLOAT64_BYTES = 8
DEFAULT_MAX_OBSERVATION_BYTES = 2**30  # 1 GiB per step of observations
MAX_OBSERVATION_BYTES_VARIABLE = "ZANDREL_MAX_OBSERVATION_BYTES"
# everything an environment or a batch of them holds, estimated by zandrel.memory
DEFAULT_MAX_MEMORY_BYTES = 8 * 2**30
MAX_MEMORY_BYTES_VARIABLE = "ZANDREL_MAX_MEMORY_BYTES"


class ConfigError(ValueError):
    """A refused configuration; `keywords` names the keywords that together caused it."""

    def __init__(self, message: str, *keywords: str) -> None:
        super().__init__(message)
        self.keywords = keywords


@dataclass(frozen=True)
class Count:
    """An integer from `minimum` to `maximum`; also None when `optional`."""

    minimum: int
    maximum: float = INT32_MAX  # math.inf for counts the native code never holds
    optional: bool = False

    def refusal(self, value: object) -> str | None:
        """Why `value` is refused ("must be ..."), or None when it is accepted."""
        if value is None and self.optional:
            return None
        allowed = ("None or " if self.optional else "") + f"an integer >= {self.minimum}"
        if (
            isinstance(value, bool)
            or not isinstance(value, numbers.Integral)
            or value < self.minimum
        ):
            return f"must be {allowed}, got {value!r}"
        if value > self.maximum:
            most = f"{self.maximum} ({_power_text(int(self.maximum))})"
            return f"must be {allowed} and at most {most}, got {value!r}"
        return None

    def __call__(self, keyword: str, value: object) -> int | None:
        _refuse(keyword, self.refusal(value))
        return None if value is None else int(value)

    def parse(self, text: str) -> int:
        """The option's value from the command line, where None cannot be given."""
        value = int(text)
        problem = Count(self.minimum, self.maximum).refusal(value)
        if problem is not None:
            raise argparse.ArgumentTypeError(problem)
        return value


@dataclass(frozen=True)
class Real:
    """A finite real number, above zero with bound "> 0", not below it with ">= 0"."""

    bound: str = ""
    maximum: float = math.inf

    def __call__(self, keyword: str, value: object) -> float:
        allowed = f"a finite number {self.bound}".rstrip()
        if (
            isinstance(value, bool)
            or not isinstance(value, numbers.Real)
            or not math.isfinite(value)
            or (self.bound == "> 0" and value <= 0)
            or (self.bound == ">= 0" and value < 0)
        ):
            _refuse(keyword, f"must be {allowed}, got {value!r}")
        if value > self.maximum:
            most = f"{self.maximum:.0e}".replace("+", "")
            _refuse(keyword, f"must be {allowed} and at most {most}, got {value!r}")
        return float(value)

    def parse(self, text: str) -> float:
        # finite and in range is checked with the whole configuration, by __call__
        return float(text)


@dataclass(frozen=True)
class Flag:
    """True or False; NumPy's bool too."""

    def __call__(self, keyword: str, value: object) -> bool:
        if not isinstance(value, bool | np.bool_):
            _refuse(keyword, f"must be True or False, got {value!r}")
        return bool(value)


@dataclass(frozen=True)
class Choice:
    """One of a few names."""

    names: tuple[str, ...]

    def refusal(self, value: object) -> str | None:
        if isinstance(value, str) and value in self.names:
            return None
        *first, last = (repr(name) for name in self.names)
        return f"must be {', '.join(first)} or {last}, got {value!r}"

    def __call__(self, keyword: str, value: object) -> str:
        _refuse(keyword, self.refusal(value))
        return str(value)

    def parse(self, text: str) -> str:
        problem = self.refusal(text)
        if problem is not None:
            raise argparse.ArgumentTypeError(problem)
        return text


@dataclass(frozen=True)
class CountTuple:
    """Integers from 0 to 2**31 - 1, one per name, as a tuple; "a,b,c" on the command line."""

    names: tuple[str, ...]

    def refusal(self, value: object) -> str | None:
        if (
            isinstance(value, Sequence | np.ndarray)
            and not isinstance(value, str | bytes)
            and len(value) == len(self.names)
            and all(Count(0).refusal(item) is None for item in value)
        ):
            return None
        return f"must be {len(self.names)} integers >= 0 ({', '.join(self.names)}), got {value!r}"

    def __call__(self, keyword: str, value: object) -> tuple[int, ...]:
        _refuse(keyword, self.refusal(value))
        assert isinstance(value, Sequence | np.ndarray)
        return tuple(int(item) for item in value)

    def parse(self, text: str) -> tuple[int, ...]:
        try:
            value = tuple(int(item) for item in text.split(","))
        except ValueError:
            value = None
        if value is None or self.refusal(value) is not None:
            raise argparse.ArgumentTypeError(self.refusal(text) or "")
        return value


Check = Count | Real | Flag | Choice | CountTuple

# the observation modes: per-agent ones for every environment, "state" for vector_env
OBSERVATION_MODES = ("global", "relative", "local", "state")
AGENT_OBSERVATION_MODES = OBSERVATION_MODES[:-1]
DEFAULT_NEIGHBOURS = (4, 4, 4)
# values of a local observation: the observer's x, y, vx, vy, then per slot a presence
# flag and the relative position, with a particle's vx, vy or a boulder's done flag
LOCAL_OWN_VALUES = 4
LOCAL_SLOT_VALUES = (5, 4, 3)  # particle, boulder, landmark


def option(default: Any, check: Check, help: str) -> Any:
    """A declared field: its default, its check and its help text; its command-line option
    is named after it (:func:`option_name`)."""
    return field(default=default, metadata={"check": check, "help": help})


@dataclass(frozen=True)
class EnvConfig:
    """One environment's task, checked: counts, reward mode, episode limit and spawn area.

    `max_cycles=None` becomes :attr:`default_max_cycles` and `max_observation_bytes=None`
    the value of the ZANDREL_MAX_OBSERVATION_BYTES environment variable, or 1 GiB without
    it; `max_memory_bytes=None` likewise ZANDREL_MAX_MEMORY_BYTES, or 8 GiB. Refused
    configurations raise :class:`ConfigError`, a ValueError.
    """

    n_agents: int = option(2, Count(1), "number of particles")
    n_boulders: int = option(2, Count(0), "number of boulders")
    n_landmarks: int = option(
        2, Count(0), "number of landmarks (at least 1 with boulders, unless --visit-all)"
    )
    n_physics_steps: int = option(5, Count(1), "physics sub-steps per step")
    sparse_rewards: bool = option(
        False, Flag(), "pay only for arrivals, without the dense shaping reward"
    )
    visit_all: bool = option(
        False, Flag(), "every boulder must visit every landmark, not just reach one"
    )
    sparse_weight: float = option(
        1.0, Real(), "reward per newly visited (landmark, boulder) pair with --visit-all"
    )
    max_cycles: int | None = option(
        None,
        Count(1, INT64_MAX, optional=True),
        "steps before an episode is truncated; by default 350 per goal, scaled with the spawn "
        "area and the team (see help(zandrel.parallel_env))",
    )
    spawn_size: float = option(
        REFERENCE_SPAWN_SIZE,
        Real("> 0", MAX_SPAWN_SIZE),
        "side of the square the entities start in (plane units)",
    )
    max_observation_bytes: int | None = option(
        None,
        Count(1, math.inf, optional=True),
        "most bytes one step's observations may take; by default $ZANDREL_MAX_OBSERVATION_BYTES "
        "or 1 GiB",
    )
    max_memory_bytes: int | None = option(
        None,
        Count(1, math.inf, optional=True),
        "most bytes the environments may hold in memory, estimated before they are built; "
        "by default $ZANDREL_MAX_MEMORY_BYTES or 8 GiB",
    )
    approach_shaping: float = option(
        0.0,
        Real(">= 0"),
        "weight of the reward for approaching the nearest open boulder (a learning aid)",
    )
    observation: str = option(
        "global",
        Choice(OBSERVATION_MODES),
        "what each agent observes: global, relative, local (its nearest neighbours), or "
        "state (vector_env only: one state per environment)",
    )
    n_neighbours: tuple[int, int, int] = option(
        DEFAULT_NEIGHBOURS,
        CountTuple(("k_particles", "k_boulders", "k_landmarks")),
        "nearest other particles, boulders and landmarks in a local observation, as "
        "k_particles,k_boulders,k_landmarks",
    )

    def __post_init__(self) -> None:
        # the checked values replace the given ones: plain ints, bools and floats
        for declared in fields(self):
            checked = declared.metadata["check"](declared.name, getattr(self, declared.name))
            object.__setattr__(self, declared.name, checked)
        if self.n_boulders > 0 and self.n_landmarks == 0 and not self.visit_all:
            raise ConfigError(
                f"n_landmarks=0 leaves the {self.n_boulders} boulder(s) nowhere to go, so no "
                "episode could ever succeed; use n_landmarks >= 1, or n_boulders=0 for a task "
                "without goals",
                "n_landmarks",
                "n_boulders",
            )
        if self.observation != "local" and self.n_neighbours != DEFAULT_NEIGHBOURS:
            raise ConfigError(
                f"n_neighbours={self.n_neighbours} is read by observation='local' only, got "
                f"observation={self.observation!r}; pass observation='local' or leave "
                "n_neighbours out",
                "n_neighbours",
                "observation",
            )
        if self.max_cycles is None:
            object.__setattr__(self, "max_cycles", self.default_max_cycles)
        if self.max_observation_bytes is None:
            limit = _limit_from_environment(
                MAX_OBSERVATION_BYTES_VARIABLE,
                DEFAULT_MAX_OBSERVATION_BYTES,
                "max_observation_bytes",
            )
            object.__setattr__(self, "max_observation_bytes", limit)
        if self.max_memory_bytes is None:
            limit = _limit_from_environment(
                MAX_MEMORY_BYTES_VARIABLE, DEFAULT_MAX_MEMORY_BYTES, "max_memory_bytes"
            )
            object.__setattr__(self, "max_memory_bytes", limit)
        self.check_observation_memory()

    @classmethod
    def from_keywords(cls, caller: str, keywords: dict[str, Any]) -> EnvConfig:
        """The configuration of a call's keywords; TypeError naming one it does not take."""
        unknown = keywords.keys() - KEYWORDS
        if unknown:
            raise TypeError(
                f"{caller}() got an unexpected keyword argument {sorted(unknown)[0]!r}; "
                f"the environment keywords are {', '.join(KEYWORDS)}"
            )
        return cls(**keywords)

    @property
    def flag_count(self) -> int:
        """Goal flags at the end of the state vector."""
        return self.n_landmarks * self.n_boulders if self.visit_all else self.n_boulders

    @property
    def state_length(self) -> int:
        """Length of the global state vector, and of a "global" or "relative" observation."""
        return 4 * self.n_agents + 2 * (self.n_boulders + self.n_landmarks) + self.flag_count

    @property
    def observation_length(self) -> int:
        """Values in one observation row of the chosen mode."""
        if self.observation != "local":
            return self.state_length
        slots = zip(self.n_neighbours, LOCAL_SLOT_VALUES, strict=True)
        return LOCAL_OWN_VALUES + sum(count * values for count, values in slots)

    @property
    def observation_rows(self) -> int:
        """Observation rows per environment and step: one per agent, one with "state"."""
        return 1 if self.observation == "state" else self.n_agents

    @property
    def default_max_cycles(self) -> int:
        """The episode limit that `max_cycles=None` stands for.

        STEPS_PER_GOAL (350) steps per goal (the goal flags: n_boulders, or n_landmarks *
        n_boulders with visit_all), times spawn_size / 30 when the square is larger than the
        default, divided by min(n_agents, n_boulders), the boulders pushed at once; at least
        1 and at most 2**63 - 1. The defaults give 350 steps, or 700 with visit_all.
        """
        if self.flag_count == 0:
            # nothing to do: the episode ends at its first step
            return 1
        spread = max(1.0, self.spawn_size / REFERENCE_SPAWN_SIZE)
        pushed_at_once = min(self.n_agents, self.n_boulders)
        return min(math.ceil(STEPS_PER_GOAL * self.flag_count * spread / pushed_at_once), INT64_MAX)

    @property
    def observation_bytes(self) -> int:
        """Estimated bytes of one step's observations: their rows of float64 values."""
        return FLOAT64_BYTES * self.observation_rows * self.observation_length

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
            f"one step's observations would take about {bytes_text(estimate)} ({estimate:,} "
            f"bytes) with {team}, over max_observation_bytes={limit:,}; "
            f"{GROWTH[self.observation]}. Pass a larger "
            f"max_observation_bytes or set {MAX_OBSERVATION_BYTES_VARIABLE} if the memory is "
            "there",
            "n_agents",
            "max_observation_bytes",
        )

    def keywords(self) -> dict[str, int | float | bool]:
        return {declared.name: getattr(self, declared.name) for declared in fields(self)}


# how one step's observations grow, for the memory guard's refusal
GROWTH = {
    "global": "every agent observes the whole state, so this grows with the square of n_agents",
    "relative": "with observation='relative' every agent observes the whole state, so this "
    "grows with the square of n_agents",
    "local": "with observation='local' each agent's observation has a fixed length, so this "
    "grows linearly with n_agents",
    "state": "with observation='state' each environment gives one state, which grows "
    "linearly with the team",
}

# every declared keyword, in declaration order
KEYWORDS = tuple(declared.name for declared in fields(EnvConfig))


class ZandrelConfig(TypedDict, total=False):
    """Keyword arguments of :class:`zandrel.ZandrelEnv`, for :func:`env` and :func:`raw_env`.

    The fields of :class:`EnvConfig` with their types, and `render_mode`; a test keeps the
    two in step, because type checkers cannot read a TypedDict made at run time.
    """

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
    max_memory_bytes: int | None
    approach_shaping: float
    observation: str
    n_neighbours: tuple[int, int, int]
    render_mode: str | None


def keyword_parameters() -> list[inspect.Parameter]:
    """The declared keywords as keyword-only parameters, for the environments' signatures."""
    return [
        inspect.Parameter(
            item.name, inspect.Parameter.KEYWORD_ONLY, default=item.default, annotation=item.type
        )
        for item in fields(EnvConfig)
    ]


def check_count(keyword: str, value: object, minimum: int = 1, maximum: int = INT32_MAX) -> int:
    """A count outside the declaration (num_envs, num_threads), with the same check."""
    checked = Count(minimum, maximum)(keyword, value)
    assert checked is not None
    return checked


def positive_int(text: str) -> int:
    """argparse type: an integer >= 1."""
    return Count(1, math.inf).parse(text)


def non_negative_int(text: str) -> int:
    """argparse type: an integer >= 0."""
    return Count(0, math.inf).parse(text)


# argparse names the type in its message for text that does not parse
positive_int.__name__ = non_negative_int.__name__ = "int"


def add_config_arguments(parser: argparse.ArgumentParser, **defaults: Any) -> None:
    """An option for every environment keyword, with the environment's defaults.

    Keyword arguments replace the environment's default of that keyword. Numbers come
    before the on/off flags, in declaration order.
    """
    declared = fields(EnvConfig)
    for item in [item for item in declared if not isinstance(item.metadata["check"], Flag)]:
        default = defaults.get(item.name, item.default)
        help_text = item.metadata["help"]
        shown = help_text if default is None else f"{help_text} (default: {default})"
        parser.add_argument(
            option_name(item.name),
            type=_parser_of(item.metadata["check"]),
            default=default,
            help=shown,
        )
    for item in [item for item in declared if isinstance(item.metadata["check"], Flag)]:
        default = defaults.get(item.name, item.default)
        parser.add_argument(
            option_name(item.name),
            action=argparse.BooleanOptionalAction,
            default=default,
            help=f"{item.metadata['help']} (default: {'on' if default else 'off'})",
        )


def config_from(args: argparse.Namespace) -> dict[str, Any]:
    """The environment keywords of parsed options added by :func:`add_config_arguments`."""
    return {name: getattr(args, name) for name in KEYWORDS}


def option_name(keyword: str) -> str:
    """The command-line option of a keyword: n_agents is --n-agents."""
    return "--" + keyword.replace("_", "-")


def _parser_of(check: Count | Real | Choice | CountTuple) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        return check.parse(text)

    # argparse names the type in its message for text that does not parse
    parse.__name__ = PARSED_TYPE_NAMES[type(check)]
    return parse


PARSED_TYPE_NAMES = {Count: "int", Real: "float", Choice: "str", CountTuple: "int list"}


def _refuse(keyword: str, problem: str | None) -> None:
    if problem is not None:
        raise ConfigError(f"{keyword} {problem}", keyword)


def _power_text(bound: int) -> str:
    return f"2**{bound.bit_length()} - 1"


def _limit_from_environment(variable: str, default: int, keyword: str) -> int:
    text = os.environ.get(variable)
    if text is None:
        return default
    try:
        limit = int(text)
    except ValueError:
        limit = 0
    if limit < 1:
        raise ConfigError(
            f"the environment variable {variable} must be an integer >= 1 (bytes), got {text!r}",
            keyword,
        )
    return limit


def bytes_text(count: int) -> str:
    """A byte count for people: 1.5 GiB."""
    for unit, size in (("TiB", 2**40), ("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if count >= size:
            return f"{count / size:.1f} {unit}"
    return f"{count} bytes"
