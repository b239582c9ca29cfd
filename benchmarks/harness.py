"""Shared pieces of the benchmarks: scenarios, environments, timing rounds and reports."""

from __future__ import annotations

import argparse
import contextlib
import functools
import importlib.metadata
import importlib.util
import math
import os
import platform
import shutil
import statistics
import subprocess
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import zandrel_cpp

from zandrel.config import BOULDER_SPACING, CONTACT_DISTANCE, REFERENCE_SPAWN_SIZE
from zandrel.layouts import Layout
from zandrel.native import new_core
from zandrel.options import positive_int
from zandrel.zandrel_env import ZandrelEnv

REPO = Path(__file__).resolve().parent.parent
MODEL_PATH = REPO / "tests" / "native" / "reference_model.py"

PHYSICS_STEPS = 5
EPISODE_STEPS = 100  # steps between resets; long enough for boulders to meet neighbours
BOULDER_PITCH = 12.0  # start grid of boulders, just over their 10-unit spacing
PARTICLE_GAP = 6.5  # particles start just outside contact with their boulder
LANDMARK_OFFSET = 6.0  # landmarks sit on grid-cell corners, about 8.5 units from boulders
AIM_SPREAD = math.radians(25)  # pushes head roughly, not exactly, at a landmark
ACTION_NOISE = 0.05
# packages whose versions the figures depend on; the peers are optional
VERSIONED = ("zandrel", "pettingzoo", "supersuit", "mpe2", "torch", "vmas", "jax", "jaxmarl")

Actions = dict[str, Any]
Points = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Scenario:
    """Entity counts of one benchmark case; every case is visit_all with dense rewards."""

    name: str
    particles: int
    boulders: int
    landmarks: int
    seed: int = 0

    @property
    def label(self) -> str:
        return f"{self.name} ({self.particles}p/{self.boulders}b/{self.landmarks}l)"


SIZES = (
    Scenario("small", 3, 3, 3),
    Scenario("medium", 8, 8, 4),
    Scenario("big", 24, 24, 8),
    Scenario("large", 64, 64, 16),
)
SMALL, LARGEST = SIZES[0], SIZES[-1]


# --- layouts and actions ---------------------------------------------------------------


def layout(scenario: Scenario) -> Layout:
    """Boulders on a jittered grid, landmarks on cell corners, particles behind boulders."""
    rng = np.random.default_rng(scenario.seed)
    boulders = _boulder_grid(rng, scenario.boulders)
    landmarks = _landmarks_between(rng, boulders, scenario.landmarks)
    particles = _particles_behind(rng, boulders, landmarks, scenario.particles)
    return Layout(particles, boulders, landmarks)


def _boulder_grid(rng: np.random.Generator, count: int) -> Points:
    columns = max(1, math.ceil(math.sqrt(count)))
    cells = np.array([(i % columns, i // columns) for i in range(count)], dtype=np.float64)
    grid = (cells - cells.mean(axis=0)) * BOULDER_PITCH if count else cells.reshape(0, 2)
    return grid + rng.uniform(-0.5, 0.5, size=grid.shape)


def _landmarks_between(rng: np.random.Generator, boulders: Points, count: int) -> Points:
    # cell corners next to boulders, each corner once, so landmarks do not stack
    offsets = np.array([(1, 1), (1, -1), (-1, 1), (-1, -1)]) * LANDMARK_OFFSET
    corners = np.unique(np.round((boulders[:, None, :] + offsets).reshape(-1, 2)), axis=0)
    chosen = corners[rng.choice(len(corners), size=count, replace=count > len(corners))]
    return chosen + rng.uniform(-0.5, 0.5, size=chosen.shape)


def _particles_behind(
    rng: np.random.Generator,
    boulders: Points,
    landmarks: Points,
    count: int,
) -> Points:
    """Each particle behind its boulder, as seen from the landmark nearest that boulder."""
    particles = np.empty((count, 2))
    for index in range(count):
        home = boulders[index % len(boulders)]
        goal = _nearest(landmarks, home) if len(landmarks) else np.zeros(2)
        away_x, away_y = home - goal
        heading = math.atan2(away_y, away_x)
        # a few redraws at most; the last one stands if none is clear
        for _ in range(100):
            angle = heading + rng.uniform(-AIM_SPREAD, AIM_SPREAD)
            particles[index] = home + PARTICLE_GAP * np.array([math.cos(angle), math.sin(angle)])
            # clear of every other boulder, so each particle starts on its own boulder
            if np.min(np.linalg.norm(boulders - particles[index], axis=1)) >= PARTICLE_GAP - 1e-9:
                break
    return particles


def _nearest(points: Points, to: Points) -> Points:
    return points[np.argmin(np.linalg.norm(points - to, axis=1))]


def agent_names(count: int) -> list[str]:
    return [f"particle_{index}" for index in range(count)]


def action_arrays(scenario: Scenario, steps: int = EPISODE_STEPS) -> list[Actions]:
    """Per step, each particle pushes through its boulder's centre at a varying speed."""
    start = layout(scenario)
    rng = np.random.default_rng(scenario.seed + 1)
    homes = start.boulders[np.arange(scenario.particles) % scenario.boulders]
    towards = homes - start.particles
    towards /= np.linalg.norm(towards, axis=1, keepdims=True)
    names = agent_names(scenario.particles)
    episode = []
    for _ in range(steps):
        # speeds around 1 give actions inside, on and outside the unit circle
        speed = rng.uniform(0.6, 1.4, size=(scenario.particles, 1))
        moves = towards * speed + rng.normal(0.0, ACTION_NOISE, size=towards.shape)
        episode.append({name: move.copy() for name, move in zip(names, moves, strict=True)})
    return episode


def as_lists(episode: list[Actions]) -> list[Actions]:
    """The same actions as lists of Python floats."""
    return [{name: action.tolist() for name, action in step.items()} for step in episode]


def copied(episode: list[Actions]) -> list[Actions]:
    """Fresh float64 arrays, since the module writes normalised actions back into them."""
    return [{name: action.copy() for name, action in step.items()} for step in episode]


@dataclass(frozen=True)
class Contacts:
    """What one episode of a scenario does, to show that its entities interact."""

    particles_touching: float  # share of particle-steps ending against a boulder
    boulder_pairs_touching: float  # boulder pairs 10 units apart or closer, per step
    boulder_travel: float  # mean distance a boulder moves in the episode
    goals_met: int
    goals_total: int

    def summary(self) -> str:
        return (
            f"particles touching a boulder {self.particles_touching:.0%} of steps, "
            f"{self.boulder_pairs_touching:.1f} boulder pairs touching per step, "
            f"boulders moved {self.boulder_travel:.1f} units, "
            f"{self.goals_met}/{self.goals_total} goals met"
        )


def contacts(scenario: Scenario, episode: list[Actions]) -> Contacts:
    core = module_env(scenario)
    states = np.array([core.step(actions)[0] for actions in as_lists(episode)])
    particles_end = 4 * scenario.particles
    boulders_end = particles_end + 2 * scenario.boulders
    particles = states[:, :particles_end].reshape(len(states), -1, 4)[:, :, :2]
    boulders = states[:, particles_end:boulders_end].reshape(len(states), -1, 2)
    # a pushed-out particle ends at the contact distance from the centre, up to rounding
    reach = np.linalg.norm(particles[:, :, None] - boulders[:, None], axis=3).min(axis=2)
    gaps = np.linalg.norm(boulders[:, :, None] - boulders[:, None], axis=3)
    upper = np.triu_indices(scenario.boulders, 1)
    flags = states[-1, boulders_end + 2 * scenario.landmarks :]
    boulders_at_start = layout(scenario).boulders
    return Contacts(
        particles_touching=float(np.mean(reach < CONTACT_DISTANCE + 1e-6)),
        boulder_pairs_touching=float(
            np.mean(np.sum(gaps[:, *upper] < BOULDER_SPACING + 1e-6, axis=1))
        ),
        boulder_travel=float(np.mean(np.linalg.norm(boulders[-1] - boulders_at_start, axis=1))),
        goals_met=int(flags.sum()),
        goals_total=len(flags),
    )


# --- environments ----------------------------------------------------------------------


def init_args(scenario: Scenario) -> tuple[Any, ...]:
    start = layout(scenario)
    positions = [points.ravel().tolist() for points in (start.particles, start.boulders)]
    landmarks = start.landmarks.ravel().tolist()
    # visit_all with dense rewards: every (landmark, boulder) pair is tracked and shaped
    return (*positions, landmarks, PHYSICS_STEPS, False, True, 1.0)


def module_env(scenario: Scenario) -> zandrel_cpp.Environment:
    core = new_core()
    core.init(*init_args(scenario))
    core.reset()
    return core


@functools.cache
def load_model_class() -> type:
    """ReferenceEnvironment from tests/native/reference_model.py, imported by path."""
    found = importlib.util.spec_from_file_location("reference_model", MODEL_PATH)
    if found is None or found.loader is None:
        raise ImportError(f"cannot load the reference model from {MODEL_PATH}")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module.ReferenceEnvironment


def model_env(scenario: Scenario) -> Any:
    model = load_model_class()()
    model.init(*init_args(scenario))
    model.reset()
    return model


def wrapper_env(scenario: Scenario, episode_steps: int = EPISODE_STEPS) -> ZandrelEnv:
    """The PettingZoo environment started on the scenario's layout instead of a random one."""
    start = layout(scenario)
    env = ZandrelEnv(
        n_agents=scenario.particles,
        n_boulders=scenario.boulders,
        n_landmarks=scenario.landmarks,
        n_physics_steps=PHYSICS_STEPS,
        sparse_rewards=False,
        visit_all=True,
        max_cycles=episode_steps,
        # construction tries a random draw, which needs more room than the scenario's
        # grid takes; twice its square leaves enough at every size
        spawn_size=2.0 * spawn_side(start),
    )
    env.reset(seed=0, options={"layout": start})
    return env


def spawn_side(start: Layout) -> float:
    """The side of the square around the origin that holds every entity of a layout."""
    points = np.concatenate([start.particles, start.boulders, start.landmarks])
    return max(REFERENCE_SPAWN_SIZE, 2.0 * float(np.abs(points).max()) + 2.0 * CONTACT_DISTANCE)


def until_done(scenario: Scenario, episode: list[Actions]) -> list[Actions]:
    """The actions up to the step at which the environment ends the episode, if it does."""
    env = wrapper_env(scenario, len(episode))
    for taken, actions in enumerate(episode, start=1):
        env.step(actions)
        if not env.agents:
            return episode[:taken]
    return episode


# --- timing ----------------------------------------------------------------------------


class Stepper:
    """Steps an environment through repeated episodes; only the steps are timed."""

    def __init__(
        self, step: Callable[[Actions], Any], reset: Callable[[], Any], episode: list[Actions]
    ) -> None:
        self._step = step
        self._reset = reset
        self._episode = episode
        self._done = len(episode)  # steps taken in the current episode

    def __call__(self, count: int) -> float:
        """Seconds spent in `count` steps."""
        elapsed = 0.0
        while count:
            if self._done == len(self._episode):
                self._reset()
                self._done = 0
            batch = self._episode[self._done : self._done + count]
            step = self._step
            started = time.perf_counter()
            for actions in batch:
                step(actions)
            elapsed += time.perf_counter() - started
            self._done += len(batch)
            count -= len(batch)
        return elapsed


@dataclass(frozen=True)
class Timing:
    """Seconds per step over the timed rounds."""

    best: float
    median: float
    steps: int

    @property
    def rate(self) -> float:
        return 1.0 / self.best


def calibrate(run: Callable[[int], float], seconds: float) -> int:
    """Steps that take about `seconds`."""
    count = 1
    elapsed = run(count)
    while elapsed < seconds / 8:
        count *= 4
        elapsed = run(count)
    return max(1, round(count * seconds / elapsed))


def race(runs: dict[str, Callable[[int], float]], rounds: int, seconds: float) -> dict[str, Timing]:
    """Time each run in interleaved rounds, so load from other jobs hits all of them alike."""
    counts = {name: calibrate(run, seconds) for name, run in runs.items()}
    samples: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            samples[name].append(run(counts[name]) / counts[name])
    return {
        name: Timing(min(times), statistics.median(times), counts[name] * rounds)
        for name, times in samples.items()
    }


# --- options and reports ---------------------------------------------------------------


@dataclass(frozen=True)
class Target:
    """One goal the benchmarks check and print as PASS or FAIL, or as not measured."""

    text: str
    passed: bool
    # why the run could not check it; a target not measured has not passed either
    unmeasured: str | None = None

    @classmethod
    def not_measured(cls, text: str, reason: str) -> Target:
        return cls(text, passed=False, unmeasured=reason)

    def line(self) -> str:
        if self.unmeasured is not None:
            return f"----  {self.text}: not measured ({self.unmeasured})"
        return f"{'PASS' if self.passed else 'FAIL'}  {self.text}"


def add_timing_options(parser: argparse.ArgumentParser) -> None:
    # many short rounds: on a shared machine some of them run without being preempted
    parser.add_argument("--rounds", type=positive_int, default=100, help="timed rounds per case")
    parser.add_argument(
        "--round-seconds", type=float, default=0.01, help="length of one timed round"
    )


def timed_main(
    description: str, run: Callable[[int, float], list[Target]], argv: Sequence[str] | None
) -> list[Target]:
    """Command line of a benchmark that takes only the timing options."""
    parser = argparse.ArgumentParser(description=description)
    add_timing_options(parser)
    args = parser.parse_args(argv)
    return run(args.rounds, args.round_seconds)


def print_targets(targets: Sequence[Target]) -> None:
    print("\n".join(target.line() for target in targets))


def table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    """Names in the first column to the left, figures to the right."""
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    lines = [_table_line(header, widths), "  ".join("-" * width for width in widths)]
    return "\n".join(lines + [_table_line(row, widths) for row in rows])


def _table_line(cells: Sequence[str], widths: Sequence[int]) -> str:
    figures = [cell.rjust(width) for cell, width in zip(cells[1:], widths[1:], strict=True)]
    return "  ".join([cells[0].ljust(widths[0]), *figures])


def rate(value: float) -> str:
    return f"{value:,.0f}"


def micros(seconds: float) -> str:
    return f"{seconds * 1e6:,.2f}"


def section(title: str) -> None:
    print(f"\n== {title} ==", flush=True)


def machine() -> list[str]:
    """What the figures were measured on."""
    versions = ", ".join(f"{name} {_version(name)}" for name in VERSIONED)
    return [
        f"CPU: {_cpu_model()}, {os.cpu_count()} logical cores, "
        f"{len(os.sched_getaffinity(0))} usable",
        f"OS: {platform.platform()}",
        f"Python {platform.python_version()}, NumPy {np.__version__}, {versions}",
        f"zandrel_cpp built by: {_compiler()}",
        load(),
    ]


def load() -> str:
    """Other jobs on the machine slow every figure; the ratios are measured side by side."""
    one, five, fifteen = os.getloadavg()
    return f"load average: {one:.2f}, {five:.2f}, {fifteen:.2f}"


def _version(name: str) -> str:
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def _cpu_model() -> str:
    with contextlib.suppress(OSError), open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def _compiler() -> str:
    # the compiler leaves its name in the .comment section of the extension
    readelf = shutil.which("readelf")
    if readelf is None or zandrel_cpp.__file__ is None:
        return "unknown (no readelf)"
    dump = subprocess.run(
        [readelf, "-p", ".comment", zandrel_cpp.__file__], capture_output=True, text=True
    ).stdout
    names = [line.split("]", 1)[1].strip() for line in dump.splitlines() if "]" in line]
    return "; ".join(dict.fromkeys(names)) or "unknown"
