"""Zandrel: particles cooperate to push boulders onto landmarks on an unbounded plane."""

from __future__ import annotations

import os
import sys
from collections.abc import Mapping
from typing import Any, Unpack

import gymnasium
import numpy as np
import numpy.typing as npt
import zandrel_cpp
from gymnasium import spaces
from gymnasium.utils import seeding
from pettingzoo import AECEnv, ParallelEnv
from pettingzoo.utils.conversions import parallel_to_aec, parallel_to_aec_wrapper

from zandrel.config import EnvConfig, ZandrelConfig
from zandrel.layouts import Layout, draw_layout
from zandrel.rendering import HumanWindow, draw_frame
from zandrel.snapshot import Snapshot, split_state

Observation = npt.NDArray[np.float64]
Action = npt.ArrayLike

RENDER_MODES = ("human", "rgb_array")

# action dtypes whose tolist() gives Python floats equal to their float64 conversion
EXACT_FLOAT_DTYPES = frozenset(np.dtype(kind) for kind in ("float64", "float32", "float16"))


class ZandrelEnv(ParallelEnv[str, Observation, Action]):
    """Particles cooperate to push boulders onto landmarks on an unbounded plane.

    ## Description

    `n_agents` particles, `n_boulders` boulders and `n_landmarks` landmarks lie on an
    unbounded plane without walls. A particle touches a boulder when their centres are
    closer than 6.0 units; walking into a boulder pushes it away by a fifth of the
    overlap, and the particle itself is held outside it. Boulders keep 10.0 units apart.
    A boulder has arrived at a landmark when their centres are closer than 6.0 units.
    All particles share one reward and one episode end: the team succeeds when every
    goal is met. The simulation runs in the native module `zandrel_cpp`, which gives the
    same numbers bit for bit for the same layout and actions.

    ## Action Space

    Each agent's action is a `Box(-1, 1, (2,), float32)`: the direction and speed of the
    particle in x and y. Components are clipped to [-1, 1] and the vector is scaled to
    length 1 when longer; a unit action moves the particle 0.1 units per physics
    sub-step, so 0.1 * `n_physics_steps` units per step. The actions reach the core as
    tuples of Python floats, so the caller's arrays are never written to. An agent left
    out of the actions dict stands still. Actions holding NaN, of another shape, or
    naming an agent that is not live raise `ValueError`.

    ## Observation Space

    Every agent observes the whole global state, a float64 vector of length
    4 * n_agents + 2 * n_boulders + 2 * n_landmarks + F, with its own four values first:

    | Index              | Content                                          | Min  | Max |
    |--------------------|--------------------------------------------------|------|-----|
    | 0, 1               | own x, y                                         | -inf | inf |
    | 2, 3               | own vx, vy                                       | -1   | 1   |
    | 4 i to 4 i + 3     | particle i >= 1 (particle 0 in the observer's)   | as 0 to 3  |
    | P + 2 b, P + 2 b + 1 | boulder b x, y, with P = 4 n_agents            | -inf | inf |
    | Q + 2 l, Q + 2 l + 1 | landmark l x, y, with Q = P + 2 n_boulders     | -inf | inf |
    | the last F         | goal flags, 0.0 or 1.0                           | 0    | 1   |

    Positions are unbounded; vx, vy are the last applied (clipped and scaled) action, in
    [-1, 1]. With `visit_all` the F = n_landmarks * n_boulders flags are landmark-major
    (flag l * n_boulders + b: boulder b has visited landmark l); otherwise F = n_boulders
    and flag b says that boulder b has reached a landmark. `state()` returns the same
    vector as particle 0's observation; `state_space` describes it.

    ## Rewards

    Every agent receives the same reward each step, the sum over its physics sub-steps
    of a sparse part and, unless `sparse_rewards`, a dense shaping part. Sparse part:
    with `visit_all`, `sparse_weight` for each (landmark, boulder) pair visited for the
    first time; otherwise 1.0 for each boulder that reaches its first landmark. Shaping
    part: the total decrease of each open boulder's distance to its nearest open
    landmark (negative when boulders move away).

    ## Starting State

    Every entity starts uniformly at random in the square of side `spawn_size` centred
    on the origin, with clearances so that nothing interacts at the start: landmarks at
    least 13 units apart (their arrival zones do not overlap), boulders at least 12 units
    from each other and 10 units from every landmark, particles at least 7 units from
    every boulder. Velocities are zero and no goal is met.

    ## Episode End

    The episode terminates for every agent when every goal is met: with `visit_all`,
    when every boulder has visited every landmark; otherwise when every boulder has
    reached some landmark. It is truncated for every agent when `max_cycles` steps have
    run without termination. Finished agents leave `agents`, all at once.

    ## Arguments

    - `n_agents=2`: number of particles, at least 1; named `particle_0`, `particle_1`, ...
    - `n_boulders=2`: number of boulders, at least 0.
    - `n_landmarks=2`: number of landmarks, at least 0.
    - `n_physics_steps=5`: physics sub-steps per step, at least 1.
    - `sparse_rewards=False`: pay only the sparse part. The dense shaping part is on by
      default because random exploration rarely brings a boulder to a landmark on an
      open plane, while shaping rewards every push in the right direction.
    - `visit_all=False`: each boulder must visit every landmark (True) or reach any one
      landmark (False). The default is the shorter task a learner can solve first.
    - `sparse_weight=1.0`: reward per newly visited pair with `visit_all`; a finite
      number. It has no effect without `visit_all`, where an arrival pays 1.0.
    - `max_cycles=300`: steps before truncation, at least 1. Pushing is slow (a boulder
      moves about 0.1 units per step per pushing particle); the built-in heuristic team
      needs about 170 steps on average with the defaults, so the limit leaves time to
      spare without making episodes needlessly long.
    - `spawn_size=30.0`: side of the start square in units, a finite number above 0. It
      must leave room for the start clearances. A small square keeps boulders within a
      few pushes' reach of the landmarks, which also helps exploration.
    - `render_mode=None`: `"rgb_array"` (frames as uint8 arrays drawn with Pillow),
      `"human"` (a pygame window; needs a display and the `human` extra) or None.

    The environment pickles: unpickling rebuilds the native simulation from the
    configuration, re-creates the episode's start layout and replays the episode's
    actions, which reproduces its state exactly because the core is deterministic (its
    goal flags cannot be set any other way).
    """

    metadata: dict[str, Any] = {  # noqa: RUF012 - the class attribute that PettingZoo reads
        "name": "zandrel_v0",
        "render_modes": list(RENDER_MODES),
        "render_fps": 25,  # 40 ms per frame, which GIF delays (in 10 ms units) can hold exactly
        "is_parallelizable": True,
    }

    def __init__(
        self,
        *,
        n_agents: int = 2,
        n_boulders: int = 2,
        n_landmarks: int = 2,
        n_physics_steps: int = 5,
        sparse_rewards: bool = False,
        visit_all: bool = False,
        sparse_weight: float = 1.0,
        max_cycles: int = 300,
        spawn_size: float = 30.0,
        render_mode: str | None = None,
    ) -> None:
        config = EnvConfig(
            n_agents=n_agents,
            n_boulders=n_boulders,
            n_landmarks=n_landmarks,
            n_physics_steps=n_physics_steps,
            sparse_rewards=sparse_rewards,
            visit_all=visit_all,
            sparse_weight=sparse_weight,
            max_cycles=max_cycles,
            spawn_size=spawn_size,
        )
        self.config = config
        self.n_agents = config.n_agents
        self.n_boulders = config.n_boulders
        self.n_landmarks = config.n_landmarks
        self.n_physics_steps = config.n_physics_steps
        self.sparse_rewards = config.sparse_rewards
        self.visit_all = config.visit_all
        self.sparse_weight = config.sparse_weight
        self.max_cycles = config.max_cycles
        self.spawn_size = config.spawn_size
        if render_mode is not None and render_mode not in RENDER_MODES:
            raise ValueError(
                f"render_mode must be None, 'human' or 'rgb_array', got {render_mode!r}"
            )
        self.render_mode = render_mode
        # fail at construction, not at the first reset, when the clearances cannot fit
        self._draw_layout(seeding.np_random(0)[0])

        self.possible_agents = [f"particle_{index}" for index in range(self.n_agents)]
        self.agents: list[str] = []
        # derived from the agents list they were built for, so that step() need not
        # rebuild them each time: a set for the key check, the flags of a running episode
        self._live_list: list[str] = self.agents
        self._live: frozenset[str] = frozenset()
        self._running: dict[str, bool] = {}
        self.state_space = self._vector_space()
        self.observation_spaces = {agent: self._vector_space() for agent in self.possible_agents}
        self.action_spaces = {
            agent: spaces.Box(-1.0, 1.0, shape=(2,), dtype=np.float32)
            for agent in self.possible_agents
        }

        self._np_random: np.random.Generator | None = None
        self._layout: Layout | None = None
        self._history: list[dict[str, tuple[float, float]]] = []
        self._state: npt.NDArray[np.float64] | None = None
        self._steps = 0
        self._window: HumanWindow | None = None
        self._core = new_core()

    def observation_space(self, agent: str) -> spaces.Box:
        return self.observation_spaces[agent]

    def action_space(self, agent: str) -> spaces.Box:
        return self.action_spaces[agent]

    def reset(
        self, seed: int | None = None, options: Mapping[str, Any] | None = None
    ) -> tuple[dict[str, Observation], dict[str, dict[str, Any]]]:
        """Start an episode on a fresh layout; `options` is accepted for the API and unused."""
        if seed is not None or self._np_random is None:
            self._np_random, _ = seeding.np_random(seed)
        self._layout = self._draw_layout(self._np_random)
        self._history = []
        self._steps = 0
        observations = self._restart_core()
        self.agents = self.possible_agents[:]
        if self.render_mode == "human":
            self.render()
        return observations, self._empty_infos()

    def step(
        self, actions: Mapping[str, Action]
    ) -> tuple[
        dict[str, Observation],
        dict[str, float],
        dict[str, bool],
        dict[str, bool],
        dict[str, dict[str, Any]],
    ]:
        agents = self.agents
        if agents is not self._live_list:
            self._watch(agents)
        if not agents:
            raise RuntimeError("step() needs a running episode; call reset() first")
        core_actions = self._core_actions(actions, agents)
        self._state, observations, rewards, terminations, _ = self._core.step(core_actions)
        self._history.append(core_actions)
        self._steps += 1
        # every agent shares one termination flag, a bool
        terminated = True in terminations.values()
        # the core never truncates; a terminated episode is not also reported as cut short
        truncated = not terminated and self._steps >= self.max_cycles
        truncations = dict.fromkeys(agents, True) if truncated else self._running.copy()
        if truncated or terminated:
            self.agents = []
        if self.render_mode == "human":
            self.render()
        return observations, rewards, terminations, truncations, self._empty_infos()

    def state(self) -> npt.NDArray[np.float64]:
        return self._current_state().copy()

    def snapshot(self) -> Snapshot:
        """The current global state split into positions, velocities and goal flags."""
        # a copy, because the parts are views that callers may write to
        state = self._current_state().copy()
        return split_state(state, self.n_agents, self.n_boulders, self.n_landmarks, self.visit_all)

    @property
    def steps(self) -> int:
        """Steps taken in the current episode."""
        return self._steps

    def render(self, mode: str | None = None) -> npt.NDArray[np.uint8] | None:
        """Draw the current state in the `render_mode` the environment was made with.

        `mode` is there for wrappers that pass their own render mode along (RLlib's
        PettingZoo wrappers call ``render(self.render_mode)``, usually with None); a mode
        other than None must be the environment's own, because it is fixed at construction.
        """
        if mode is not None and mode != self.render_mode:
            raise ValueError(
                f"render() got mode {mode!r}, but this environment's render_mode is "
                f"{self.render_mode!r}, fixed when it was made; pass None or the same mode"
            )
        if self.render_mode is None:
            gymnasium.logger.warn(
                "You are calling render method without specifying any render mode. "
                "Set render_mode='rgb_array' or 'human' when creating the environment."
            )
            return None
        frame = draw_frame(self.snapshot(), self.spawn_size, self._steps)
        if self.render_mode == "rgb_array":
            return frame
        if self._window is None:
            self._window = HumanWindow(self.metadata["render_fps"])
        self._window.show(frame)
        return None

    def close(self) -> None:
        if self._window is not None:
            self._window.close()
            self._window = None

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        del state["_core"]
        state["_window"] = None
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._core = new_core()
        if self._layout is None:
            return
        pickled_state = self._state
        self._restart_core()
        for core_actions in self._history:
            self._state, *_ = self._core.step(core_actions)
        if not np.array_equal(self._state, pickled_state, equal_nan=True):
            raise RuntimeError(
                "replaying the pickled episode did not reproduce its state; "
                "was it pickled with another build of zandrel_cpp?"
            )

    def _vector_space(self) -> spaces.Box:
        particle_low = [-np.inf, -np.inf, -1.0, -1.0] * self.n_agents
        particle_high = [np.inf, np.inf, 1.0, 1.0] * self.n_agents
        n_positions = 2 * (self.n_boulders + self.n_landmarks)
        n_flags = self.n_landmarks * self.n_boulders if self.visit_all else self.n_boulders
        low = np.array(particle_low + [-np.inf] * n_positions + [0.0] * n_flags)
        high = np.array(particle_high + [np.inf] * n_positions + [1.0] * n_flags)
        return spaces.Box(low, high, dtype=np.float64)

    def _restart_core(self) -> dict[str, Observation]:
        assert self._layout is not None
        self._core.init(
            self._layout.particles.ravel().tolist(),
            self._layout.boulders.ravel().tolist(),
            self._layout.landmarks.ravel().tolist(),
            self.n_physics_steps,
            self.sparse_rewards,
            self.visit_all,
            self.sparse_weight,
        )
        self._state, observations = self._core.reset()
        return observations

    def _watch(self, agents: list[str]) -> None:
        self._live_list = agents
        self._live = frozenset(agents)
        self._running = dict.fromkeys(agents, False)

    def _core_actions(
        self, actions: Mapping[str, Action], agents: list[str]
    ) -> dict[str, tuple[float, float]]:
        # a set test instead of a list scan per key, which grows with the square of the team
        if not self._live.issuperset(actions):
            strangers = [agent for agent in actions if agent not in agents]
            raise ValueError(
                f"actions name agents that are not live: {strangers}; live agents: {agents}"
            )
        pairs = {}
        for agent, action in actions.items():
            # inline fast paths for the common action types give the float64 conversion's
            # values without building an array; a call per agent would cost more
            kind = type(action)
            if (
                kind is np.ndarray
                and action.dtype in EXACT_FLOAT_DTYPES
                and action.ndim == 1
                and len(action) == 2
            ):
                x, y = action.tolist()
            elif (
                (kind is tuple or kind is list)
                and len(action) == 2
                and type(action[0]) is float
                and type(action[1]) is float
            ):
                x, y = action
            else:
                x, y = _action_pair(agent, action)
            # NaN is the one float unequal to itself
            if x != x or y != y:
                raise ValueError(f"the action of {agent} must not be NaN, got {[x, y]}")
            pairs[agent] = (x, y)
        return pairs

    def _draw_layout(self, rng: np.random.Generator) -> Layout:
        return draw_layout(rng, self.config)

    def _current_state(self) -> npt.NDArray[np.float64]:
        if self._state is None:
            raise RuntimeError("the environment has no state yet; call reset() first")
        return self._state

    def _empty_infos(self) -> dict[str, dict[str, Any]]:
        # a plain loop: a comprehension costs a function call of its own on Python 3.11
        infos: dict[str, dict[str, Any]] = {}
        for agent in self.possible_agents:
            infos[agent] = {}
        return infos


def env(**config: Unpack[ZandrelConfig]) -> AECEnv[str, Observation, Action | None]:
    """The AEC version: :class:`ZandrelEnv` behind PettingZoo's conversion and order checks."""
    return parallel_to_aec(ZandrelEnv(**config))


def raw_env(**config: Unpack[ZandrelConfig]) -> AECEnv[str, Observation, Action | None]:
    """The AEC version without PettingZoo's order-enforcing wrapper."""
    return parallel_to_aec_wrapper(ZandrelEnv(**config))


parallel_env = ZandrelEnv


def new_core() -> zandrel_cpp.Environment:
    """A native environment, without the banner that its constructor prints."""
    sys.stdout.flush()
    try:
        saved_stdout = os.dup(1)
    except OSError:
        # no file descriptor 1 to silence: the banner goes nowhere anyway
        return zandrel_cpp.Environment()
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 1)
            return zandrel_cpp.Environment()
    finally:
        os.dup2(saved_stdout, 1)
        os.close(saved_stdout)


def _action_pair(agent: str, action: Action) -> tuple[float, float]:
    """Any action's two components as the floats of its float64 conversion."""
    components = np.asarray(action, dtype=np.float64)
    if components.shape != (2,):
        raise ValueError(f"the action of {agent} must hold 2 numbers, got shape {components.shape}")
    return float(components[0]), float(components[1])
