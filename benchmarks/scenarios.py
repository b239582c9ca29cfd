"""What the benchmarks measure: the tasks, their start layouts and actions, the batch sizes."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from zandrel.config import REFERENCE_SPAWN_SIZE
from zandrel.layouts import Layout

PHYSICS_STEPS = 5
EPISODE_STEPS = 100  # steps between resets; long enough for boulders to meet neighbours
BOULDER_PITCH = 12.0  # start grid of boulders, just over their 10-unit spacing
PARTICLE_GAP = 6.5  # particles start just outside contact with their boulder
LANDMARK_OFFSET = 6.0  # landmarks sit on grid-cell corners, about 8.5 units from boulders
AIM_SPREAD = math.radians(25)  # pushes head roughly, not exactly, at a landmark
ACTION_NOISE = 0.05

Actions = dict[str, Any]
Points = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Scenario:
    """Entity counts of one benchmark case; every case is visit_all with dense rewards.

    Cases stepped one environment at a time start from `layout(scenario)`, drawn from
    `seed`; batched cases let each environment draw its layouts in the `spawn_size` square.
    """

    name: str
    particles: int
    boulders: int
    landmarks: int
    seed: int = 0
    spawn_size: float = REFERENCE_SPAWN_SIZE  # side of the start square, in plane units

    @property
    def counts(self) -> str:
        return f"{self.particles}p/{self.boulders}b/{self.landmarks}l"

    @property
    def label(self) -> str:
        return f"{self.name} ({self.counts})"

    def config(self) -> dict[str, Any]:
        """Keywords of `zandrel.parallel_env`, and of the batched engine, for this case."""
        return {
            "n_agents": self.particles,
            "n_boulders": self.boulders,
            "n_landmarks": self.landmarks,
            "n_physics_steps": PHYSICS_STEPS,
            "sparse_rewards": False,
            "visit_all": True,
            "max_cycles": EPISODE_STEPS,
            "spawn_size": self.spawn_size,
        }


SIZES = (
    Scenario("small", 3, 3, 3),
    Scenario("medium", 8, 8, 4),
    Scenario("big", 24, 24, 8),
    Scenario("large", 64, 64, 16),
)
SMALL, LARGEST = SIZES[0], SIZES[-1]

# the batched race: the small case, and a team the default spawn square cannot hold; 70
# units give 16 boulders the room that the default square gives 3
BATCH_BIG = Scenario("big", 16, 16, 8, spawn_size=70.0)
BATCH_SCENES = (SMALL, BATCH_BIG)
BATCH_SEED = 0
TABLE_SIZES = (64, 1024, 4096)  # environments per call in the main table
SWEEP_SIZES = (1, 4, 16, 64, 256, 1024, 4096)  # environments per call in the scaling sweep
# SuperSuit steps every environment in Python, so its rate is flat in the batch size and a
# round of 100 calls at 1,024 environments would take seconds: its sweep stops at 256
SUPERSUIT_SWEEP_SIZES = (1, 4, 16, 64, 256)
SUPERSUIT_ENVS = 64

# the peers run their own task, simple_spread, with as many agents as the small case
PEER_AGENTS = 3
PEER_TASK = f"simple_spread, {PEER_AGENTS} agents"


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
