"""Built-in policies: uniform random actions and a scripted pushing team."""

from __future__ import annotations

import math
from typing import Protocol

import numpy as np
import numpy.typing as npt

from zandrel.config import CONTACT_DISTANCE
from zandrel.snapshot import Snapshot
from zandrel.zandrel_env import ZandrelEnv

Actions = dict[str, npt.NDArray[np.float64]]

# scripted pushing (plane units and radians)
STANDOFF_DISTANCE = CONTACT_DISTANCE + 2.5  # where a particle waits before lining up
PUSH_DEPTH = CONTACT_DISTANCE - 2.0  # how far inside the boulder the pusher aims
LINED_UP_ANGLE = math.radians(25)  # off the push line within which a particle pushes
DETOUR_ANGLE = math.radians(50)  # angle walked around a boulder per waypoint


class Policy(Protocol):
    """Chooses the actions of all live agents from the environment's current state."""

    def reset(self) -> None: ...

    def __call__(self, env: ZandrelEnv) -> Actions: ...


class RandomPolicy:
    """Uniform random actions in [-1, 1] x [-1, 1] from its own generator."""

    def __init__(self, seed: int | None) -> None:
        self._rng = np.random.default_rng(seed)

    def reset(self) -> None:
        """Nothing to forget between episodes."""

    def __call__(self, env: ZandrelEnv) -> Actions:
        return {agent: self._rng.uniform(-1.0, 1.0, size=2) for agent in env.agents}


class HeuristicPolicy:
    """A centralised scripted team that reads the global state.

    Every unfinished boulder is given a landmark (the nearest open one, keeping to
    distinct landmarks while there are enough) and a share of the particles. A particle
    walks around its boulder to the side facing away from the landmark, then pushes
    along the line from the boulder to the landmark, steering back onto that line as
    the push drifts. Assignments last until a boulder finishes.
    """

    def __init__(self) -> None:
        self._pushers: dict[int, int] = {}
        self._open_boulders: tuple[int, ...] = ()

    def reset(self) -> None:
        self._pushers = {}
        self._open_boulders = ()

    def __call__(self, env: ZandrelEnv) -> Actions:
        snapshot = env.snapshot()
        open_boulders = tuple(np.flatnonzero(~snapshot.boulders_done).tolist())
        if not open_boulders or len(snapshot.landmarks) == 0:
            return {agent: np.zeros(2) for agent in env.agents}
        goals = _goal_landmarks(snapshot, open_boulders)
        if open_boulders != self._open_boulders:
            self._pushers = _share_particles(snapshot, open_boulders)
            self._open_boulders = open_boulders
        actions = {}
        for particle, agent in enumerate(env.possible_agents):
            boulder = self._pushers[particle]
            landmark = snapshot.landmarks[goals[boulder]]
            actions[agent] = _push_action(
                snapshot.particles[particle], snapshot.boulders[boulder], landmark
            )
        return actions


def make_policy(name: str, seed: int | None) -> Policy:
    """The built-in policy called `name`: "random" or "heuristic"."""
    if name == "random":
        return RandomPolicy(seed)
    if name == "heuristic":
        return HeuristicPolicy()
    raise ValueError(f"policy must be 'random' or 'heuristic', got {name!r}")


def _goal_landmarks(snapshot: Snapshot, open_boulders: tuple[int, ...]) -> dict[int, int]:
    """The landmark each open boulder heads for."""
    distances = np.linalg.norm(
        snapshot.boulders[:, None, :] - snapshot.landmarks[None, :, :], axis=2
    )
    if snapshot.visits is not None:
        # every landmark must be visited: go to the nearest one not yet visited
        unvisited = np.where(snapshot.visits.T, np.inf, distances)
        return {boulder: int(np.argmin(unvisited[boulder])) for boulder in open_boulders}
    goals: dict[int, int] = {}
    taken = {int(np.argmin(distances[b])) for b in np.flatnonzero(snapshot.boulders_done)}
    pairs = sorted(
        (distances[boulder, landmark], boulder, landmark)
        for boulder in open_boulders
        for landmark in range(distances.shape[1])
    )
    for _, boulder, landmark in pairs:
        if boulder not in goals and landmark not in taken:
            goals[boulder] = landmark
            taken.add(landmark)
    for boulder in open_boulders:
        # more boulders than free landmarks: share the nearest one
        goals.setdefault(boulder, int(np.argmin(distances[boulder])))
    return goals


def _share_particles(snapshot: Snapshot, open_boulders: tuple[int, ...]) -> dict[int, int]:
    """Particles to boulders, nearest first, as evenly as the counts allow."""
    capacity = math.ceil(len(snapshot.particles) / len(open_boulders))
    load = dict.fromkeys(open_boulders, 0)
    pairs = sorted(
        (float(np.linalg.norm(snapshot.particles[p] - snapshot.boulders[b])), p, b)
        for p in range(len(snapshot.particles))
        for b in open_boulders
    )
    pushers: dict[int, int] = {}
    for _, particle, boulder in pairs:
        if particle not in pushers and load[boulder] < capacity:
            pushers[particle] = boulder
            load[boulder] += 1
    return pushers


def _push_action(
    particle: npt.NDArray[np.float64],
    boulder: npt.NDArray[np.float64],
    landmark: npt.NDArray[np.float64],
) -> npt.NDArray[np.float64]:
    heading = _unit(landmark - boulder)
    offset = particle - boulder
    # angle between the particle's side of the boulder and the side facing away from the goal
    off_line = _angle_between(offset, -heading)
    if off_line < LINED_UP_ANGLE and np.linalg.norm(offset) < STANDOFF_DISTANCE + 1.0:
        return _unit(boulder - heading * PUSH_DEPTH - particle)
    if off_line < LINED_UP_ANGLE or not _blocks(offset, -heading * STANDOFF_DISTANCE):
        return _unit(boulder - heading * STANDOFF_DISTANCE - particle)
    # walk around the boulder towards its back side instead of pushing it the wrong way
    turn = DETOUR_ANGLE if _cross(offset, -heading) > 0 else -DETOUR_ANGLE
    waypoint = boulder + _rotate(_unit(offset), turn) * STANDOFF_DISTANCE
    return _unit(waypoint - particle)


def _blocks(offset: npt.NDArray[np.float64], standoff: npt.NDArray[np.float64]) -> bool:
    """Whether the straight walk from `offset` to `standoff` (both boulder-relative) hits it."""
    path = standoff - offset
    length_sq = float(path @ path)
    along = 0.0 if length_sq == 0 else min(1.0, max(0.0, -float(offset @ path) / length_sq))
    closest = offset + along * path
    return bool(np.linalg.norm(closest) < CONTACT_DISTANCE + 0.5)


def _unit(vector: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    length = float(np.linalg.norm(vector))
    return vector / length if length > 0 else np.zeros(2)


def _angle_between(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> float:
    return abs(math.atan2(_cross(a, b), float(a @ b)))


def _cross(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> float:
    return float(a[0] * b[1] - a[1] * b[0])


def _rotate(vector: npt.NDArray[np.float64], angle: float) -> npt.NDArray[np.float64]:
    cos, sin = math.cos(angle), math.sin(angle)
    return np.array([cos * vector[0] - sin * vector[1], sin * vector[0] + cos * vector[1]])
