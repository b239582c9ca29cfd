"""Zandrel: particles cooperate to push boulders onto landmarks on an unbounded plane."""

from __future__ import annotations

import inspect
from collections.abc import Mapping
from typing import Any, Unpack

import gymnasium
import numpy as np
import numpy.typing as npt
import zandrel_cpp
from gymnasium import spaces
from gymnasium.error import ClosedEnvironmentError
from pettingzoo import AECEnv, ParallelEnv
from pettingzoo.utils.conversions import parallel_to_aec, parallel_to_aec_wrapper

from zandrel import _batch
from zandrel.actions import described, holds_real_numbers
from zandrel.history import ActionHistory
from zandrel.layouts import Layout, checked_layout, draw_layout, seed_state
from zandrel.memory import check_memory, single_env_bytes
from zandrel.native import new_core
from zandrel.observations import observation_bounds, refuse_state_mode, state_bounds
from zandrel.options import EnvConfig, ZandrelConfig, keyword_parameters
from zandrel.rendering import FRAMES_PER_SECOND, Camera, HumanWindow, draw_frame
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
    out of the actions dict stands still. An action must be two real numbers (a list,
    tuple or array of real, integer or bool values); text, complex numbers, NaN, another
    shape, or a key naming an agent that is not live raise `ValueError` naming the agent,
    and actions that are not a mapping raise `TypeError`.

    ## Observation Space

    `observation` chooses what each agent observes; every mode is a float64 vector
    written by the native core, the same numbers bit for bit as `zandrel.vector_env`'s.

    `"global"` (the default): the whole global state, a vector of length
    L = 4 * n_agents + 2 * n_boulders + 2 * n_landmarks + F, with the observer's own four
    values first and particle 0's in the slot the observer's own values would otherwise
    take:

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

    For three particles, slots 0 to 2 (four values each) hold particles (0, 1, 2) in
    particle_0's observation, (1, 0, 2) in particle_1's and (2, 1, 0) in particle_2's.

    `"relative"`: the layout and bounds of "global", but every x, y except the observer's
    own (indices 0, 1) is given relative to the observer: x - own x and y - own y, one
    rounded subtraction each, for the other particles, the boulders and the landmarks.
    Velocities and flags are unchanged. Policies trained on it are translation-invariant.

    `"local"` with `n_neighbours=(kp, kb, kl)`: egocentric and of fixed length
    4 + 5 kp + 4 kb + 3 kl, whatever the team size (52 values for the default (4, 4, 4)):

    | Index                  | Content                                             |
    |------------------------|-----------------------------------------------------|
    | 0 to 3                 | own x, y (absolute), vx, vy                          |
    | 4 + 5 j to 8 + 5 j     | j-th nearest other particle: present, dx, dy, vx, vy |
    | B + 4 j to B + 4 j + 3 | j-th nearest boulder: present, dx, dy, done, with B = 4 + 5 kp |
    | C + 3 j to C + 3 j + 2 | j-th nearest landmark: present, dx, dy, with C = B + 4 kb |

    dx, dy are the neighbour's x - own x and y - own y (one rounded subtraction each);
    vx, vy the neighbour's own last action, in [-1, 1]. Each kind is ordered nearest
    first by dx * dx + dy * dy, ties to the lower index. `present` is 1.0 in a filled
    slot; slots past the number of entities of that kind (the other particles are
    n_agents - 1) are all 0.0, `present` included. `done` is 1.0 for a boulder whose goal
    is met (with `visit_all`: it has visited every landmark), else 0.0. Bounds: present
    and done in [0, 1], vx, vy in [-1, 1], positions unbounded. The goal flags of the
    other modes are not part of it.

    `"state"` is for `zandrel.vector_env` only (one state per environment); here it is
    refused, and `state()` gives the state.

    One step's observations take 8 * n_agents * (observation length) bytes: with
    "global" and "relative" that grows with the square of the team (about 3.2 GB for
    10,000 particles, and the observation spaces take a little over twice that once),
    with "local" linearly (about 4 MB for 10,000 particles with the default neighbours).
    Configurations whose observations would exceed `max_observation_bytes` are refused
    at construction.

    ## Rewards

    Every agent receives the same reward each step, the sum over its physics sub-steps
    of a sparse part and, unless `sparse_rewards`, a dense shaping part. Sparse part:
    with `visit_all`, `sparse_weight` for each (landmark, boulder) pair visited for the
    first time; otherwise 1.0 for each boulder that reaches its first landmark. Shaping
    part: the total decrease of each open boulder's distance to its nearest open
    landmark (negative when boulders move away).

    With `approach_shaping` w > 0, the step's reward also gains w * S, where S is how
    much closer the particles came to the boulders still to be moved: at the start of
    the step each particle, in ascending order, picks the nearest open boulder (with
    `visit_all` one with a landmark left to visit, otherwise one that has not arrived),
    by squared centre distance with ties to the lower index; S is the sum, from 0.0 in
    ascending particle order, of that distance at the start minus the distance between
    the same particle and boulder at the end of the step. A particle with no open
    boulder adds 0.0. The term exists for learners: the team reward pays only for moving
    boulders, so a particle earns nothing until it touches one, which random play
    rarely does; paying for the approach gives exploration a gradient. With w = 0.0 (the
    default) every reward is the core's own, bit for bit.

    ## Starting State

    Every entity starts uniformly at random in the square of side `spawn_size` centred
    on the origin, with clearances so that nothing interacts at the start: landmarks at
    least 13 units apart (their arrival zones do not overlap), boulders at least 12 units
    from each other and 10 units from every landmark, particles at least 7 units from
    every boulder. Velocities are zero and no goal is met.

    ## Episode End

    The episode terminates for every agent when every goal is met: with `visit_all`,
    when every boulder has visited every landmark; otherwise when every boulder has
    reached some landmark. A goal stays met when its boulder is pushed off the landmark
    later. A task without goals (`n_boulders=0`, or `visit_all` with `n_landmarks=0`)
    terminates at its first step. It is truncated for every agent when `max_cycles`
    steps have run without termination. Finished agents leave `agents`, all at once.

    ## Arguments

    Counts are at most 2**31 - 1, the native code's 32-bit counts.

    - `n_agents=2`: number of particles, at least 1; named `particle_0`, `particle_1`, ...
    - `n_boulders=2`: number of boulders, at least 0; 0 gives a task without goals.
    - `n_landmarks=2`: number of landmarks, at least 0, and at least 1 when there are
      boulders and not `visit_all`: without landmarks no boulder could ever arrive, so
      that configuration is refused.
    - `n_physics_steps=5`: physics sub-steps per step, at least 1.
    - `sparse_rewards=False`: pay only the sparse part. The dense shaping part is on by
      default because random exploration rarely brings a boulder to a landmark on an
      open plane, while shaping rewards every push in the right direction.
    - `visit_all=False`: each boulder must visit every landmark (True) or reach any one
      landmark (False). The default is the shorter task a learner can solve first.
    - `sparse_weight=1.0`: reward per newly visited pair with `visit_all`; a finite
      number. It has no effect without `visit_all`, where an arrival pays 1.0.
    - `max_cycles=None`: steps before truncation, from 1 to 2**63 - 1. None scales the limit with
      the task: 350 steps per goal (F above), times `spawn_size` / 30 when the square is
      larger than the default, divided by min(`n_agents`, `n_boulders`), the boulders
      that can be pushed at once; 1 for a task without goals. That is 350 steps on the
      defaults and 700 with `visit_all`. With the limit lifted, the built-in heuristic
      team (`zandrel.policies.HeuristicPolicy`) took 160.2 and 366.3 steps on average
      on seeds 0 to 99, at most 266 and 772: one `visit_all` layout of those needs more
      than the limit. Pushing is slow: a boulder moves about 0.1 units per step per
      pushing particle.
    - `spawn_size=30.0`: side of the start square in units, a finite number above 0 and
      at most 1e12, where positions still resolve a sub-step's move. It must leave room
      for the start clearances. A small square keeps boulders within a
      few pushes' reach of the landmarks, which also helps exploration.
    - `max_observation_bytes=None`: the most bytes one step's observations may take
      (see Observation Space); None reads the environment variable
      ZANDREL_MAX_OBSERVATION_BYTES, or allows 1 GiB (2**30) without it.
    - `max_memory_bytes=None`: the most bytes the environment may hold, estimated from
      the configuration before anything is built (its record, observation spaces and two
      steps' observations; `zandrel.vector_env` counts every environment of its batch);
      None reads the environment variable ZANDREL_MAX_MEMORY_BYTES, or allows 8 GiB.
    - `approach_shaping=0.0`: weight of the approach term (see Rewards), a finite
      number >= 0; 0.5 is a good start for training.
    - `observation='global'`: `"global"`, `"relative"` or `"local"` (see Observation
      Space); `"state"` only in `zandrel.vector_env`.
    - `n_neighbours=(4, 4, 4)`: the nearest other particles, boulders and landmarks in a
      `"local"` observation, three integers >= 0; refused with another mode unless left
      at its default.
    - `render_mode=None`: `"rgb_array"` (frames as uint8 arrays drawn with Pillow),
      `"human"` (a pygame window; needs a display and the `human` extra) or None.
      Frames show the plane from a view that stays fixed for an episode (it widens by
      whole steps only when something leaves it) above a legend; see `render()`.

    Refused configurations raise `ValueError` (a `zandrel.config.ConfigError`, whose
    `keywords` names the keywords at fault).

    The environment pickles, and `copy.deepcopy` copies it, at any point of an episode:
    the copy is in the same state bit for bit and steps on exactly like the original.
    Unpickling rebuilds the native simulation from the configuration, re-creates the
    episode's start layout and replays the episode's actions, which reproduces its state
    exactly because the core is deterministic (its goal flags cannot be set any other
    way). The cost grows with the steps taken since `reset()`: the environment keeps
    each step's actions, two float64 per agent (16 bytes per agent-step, at most 17 with
    the spare room of the growing array; `reset()` frees them); a pickle (protocol 3 or
    later, the default) holds those 16 bytes per agent-step besides the rest of the
    environment (under 4 KB with the default counts); unpickling or deep-copying takes
    about as long as the core needs to step the episode again, about 3 s per million
    steps of a three-agent team on the 2-core machine of `benchmarks/README.md`.
    """

    metadata: dict[str, Any] = {  # noqa: RUF012 - the class attribute that PettingZoo reads
        "name": "zandrel_v0",
        "render_modes": list(RENDER_MODES),
        "render_fps": FRAMES_PER_SECOND,
        "is_parallelizable": True,
    }

    def __init__(self, *, render_mode: str | None = None, **config: Unpack[ZandrelConfig]) -> None:
        self.config = EnvConfig.from_keywords("ZandrelEnv", dict(config))
        refuse_state_mode("parallel_env", self.config.observation)
        # every checked keyword as a plain attribute (max_cycles resolved, never None),
        # read on every step without a property call
        self.__dict__.update(self.config.keywords())
        if render_mode is not None and render_mode not in RENDER_MODES:
            raise ValueError(
                f"render_mode must be None, 'human' or 'rgb_array', got {render_mode!r}"
            )
        self.render_mode = render_mode
        check_memory(
            self.config,
            single_env_bytes(self.config),
            f"one environment of n_agents={self.config.n_agents}",
        )
        # fail at construction, not at the first reset, when the clearances cannot fit
        draw_layout(seed_state(0), self.config)

        self.possible_agents = [f"particle_{index}" for index in range(self.n_agents)]
        self.agents: list[str] = []
        # derived from the agents list they were built for, so that step() need not
        # rebuild them each time: a set for the key check, the flags of a running episode
        self._live_list: list[str] = self.agents
        self._live: frozenset[str] = frozenset()
        self._running: dict[str, bool] = {}
        self.state_space = spaces.Box(*state_bounds(self.config), dtype=np.float64)
        self.observation_spaces = {
            agent: spaces.Box(*observation_bounds(self.config), dtype=np.float64)
            for agent in self.possible_agents
        }
        self.action_spaces = {
            agent: spaces.Box(-1.0, 1.0, shape=(2,), dtype=np.float32)
            for agent in self.possible_agents
        }

        self._layout_state: npt.NDArray[np.uint64] | None = None
        self._layout: Layout | None = None
        self._history = ActionHistory(self.possible_agents)
        self._state: npt.NDArray[np.float64] | None = None
        self._steps = 0
        self._window: HumanWindow | None = None
        self._camera: Camera | None = None
        self._closed = False
        self._core = self._new_core()

    def observation_space(self, agent: str) -> spaces.Box:
        """The observation space of `agent`; KeyError naming the agents for another name."""
        try:
            return self.observation_spaces[agent]
        except KeyError:
            raise KeyError(self._unknown_agent("observation_space", agent)) from None

    def action_space(self, agent: str) -> spaces.Box:
        """The action space of `agent`; KeyError naming the agents for another name."""
        try:
            return self.action_spaces[agent]
        except KeyError:
            raise KeyError(self._unknown_agent("action_space", agent)) from None

    def _unknown_agent(self, method: str, agent: object) -> str:
        names = self.possible_agents
        shown = f"{names[0]!r} to {names[-1]!r}" if len(names) > 3 else repr(names)[1:-1]
        return f"{method}() takes one of the agents {shown}, got {agent!r}"

    def reset(
        self, seed: int | None = None, options: Mapping[str, Any] | None = None
    ) -> tuple[dict[str, Observation], dict[str, dict[str, Any]]]:
        """Start an episode on a fresh layout, or on the one `options["layout"]` gives.

        Without a layout, the episode starts on the next layout of the seeded generator
        (see Starting State). `options={"layout": zandrel.layouts.Layout(...)}` starts it
        on those positions instead, without drawing: one (x, y) row of finite numbers per
        particle, boulder and landmark, in the counts of this environment (ValueError
        otherwise); the clearances of drawn layouts are not required. Other options are
        accepted for the API and unused.
        """
        self._check_open()
        if seed is not None or self._layout_state is None:
            self._layout_state = seed_state(seed)
        given = None if options is None else options.get("layout")
        if given is None:
            self._layout = draw_layout(self._layout_state, self.config)
        else:
            self._layout = checked_layout(given, self.config, "options['layout']")
        self._history = ActionHistory(self.possible_agents)
        self._steps = 0
        # each episode starts from the spawn-square view
        self._camera = None
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
        """Apply one action per live agent and advance the simulation by one step.

        `actions` maps live agent names to actions, two real numbers each (see the class
        docstring); a live agent left out stands still. Returns five dicts keyed by every
        agent of the episode: observations, rewards (one shared value), terminations
        (all True once every goal is met), truncations (all True when `max_cycles` steps
        have run without termination, never together with termination) and empty infos.
        When the episode ends, `agents` empties; stepping again needs `reset()`.

        Raises `ValueError` for a bad action or an agent that is not live and `TypeError`
        when `actions` is not a mapping, before anything moves; `RuntimeError` without a
        running episode; Gymnasium's `ClosedEnvironmentError` after `close()`.
        """
        agents = self.agents
        if agents is not self._live_list:
            self._watch(agents)
        if not agents:
            self._check_open()
            raise RuntimeError("step() needs a running episode; call reset() first")
        core_actions = self._core_actions(actions, agents)
        start_state = self._state
        self._state, observations, rewards, terminations, _ = self._core.step(core_actions)
        if self.approach_shaping:
            rewards = self._shaped_rewards(rewards, start_state)
        self._history.record(core_actions)
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
        """Draw the current state: a uint8 RGB array with "rgb_array", a window with "human".

        The frame (476 x 400 pixels, taller with `visit_all`) shows the plane from a view
        centred on the origin that holds the spawn square and stays fixed for the
        episode; it widens by whole zoom steps only when something would leave it. It
        always holds the boulders and landmarks; a particle that walks far off widens it
        by one zoom step at most and beyond that shows as an arrow in its colour at the
        edge, pointing at it. Particles are coloured discs with their index (particles on
        top of one another share one disc in wedges, with their indices beside it),
        boulders grey discs with their index, and landmarks circles numbered L0, L1, ...
        that are green while a boulder lies on them and yellow otherwise. A check-mark
        badge marks a boulder whose goal is met, which stays met after the boulder leaves
        the landmark. A legend and the step and goal count sit under the view; with
        `visit_all`, a table under the legend gives each landmark a square per boulder,
        filled once that boulder has been on it. Returns None in "human" mode, and warns and returns
        None without a render mode.

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
        snapshot = self.snapshot()
        camera = self._camera or Camera.for_spawn(self.spawn_size)
        self._camera = camera.widened_for(snapshot)
        frame = draw_frame(snapshot, self._camera, self.spawn_size, self._steps)
        if self.render_mode == "rgb_array":
            return frame
        if self._window is None:
            self._window = HumanWindow(self.metadata["render_fps"])
        self._window.show(frame)
        return None

    def close(self) -> None:
        """Close the window, if any, and end the episode; later steps and resets raise."""
        self._closed = True
        # no live agents: step() finds out on the path it takes without an episode
        self.agents = []
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
        self._core = self._new_core()
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

    def _new_core(self) -> zandrel_cpp.Environment:
        core = new_core()
        # the batched engine writes its observations with the same native writers
        core.set_observation(self.observation, self.n_neighbours)
        return core

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
        if type(actions) is not dict and not isinstance(actions, Mapping):
            raise TypeError(
                f"actions must be a dict from agent name to action, got {type(actions).__name__}"
                f"; live agents: {agents}"
            )
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

    def _shaped_rewards(
        self, rewards: dict[str, float], start_state: npt.NDArray[np.float64]
    ) -> dict[str, float]:
        # the batched engine adds the same term with the same native function
        progress = _batch.approach_progress(
            start_state,
            self._state,
            self.n_agents,
            self.n_boulders,
            self.n_landmarks,
            self.visit_all,
        )
        reward = rewards["particle_0"] + self.approach_shaping * progress
        return dict.fromkeys(rewards, reward)

    def _check_open(self) -> None:
        if self._closed:
            raise ClosedEnvironmentError(
                "this ZandrelEnv is closed; create a new one with zandrel.parallel_env()"
            )

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
# help() and inspect show every declared keyword, with its default, as a parameter
ZandrelEnv.__init__.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
    [
        inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD),
        *keyword_parameters(),
        inspect.Parameter(
            "render_mode", inspect.Parameter.KEYWORD_ONLY, default=None, annotation="str | None"
        ),
    ],
    return_annotation="None",
)


def _action_pair(agent: str, action: Action) -> tuple[float, float]:
    """Any action's two components as the floats of its float64 conversion."""
    try:
        values = np.asarray(action)
    except (TypeError, ValueError) as error:
        # ragged nesting, or an object whose conversion fails
        raise ValueError(f"the action of {agent} must be 2 real numbers, got {action!r}") from error
    if not holds_real_numbers(values):
        raise ValueError(
            f"the action of {agent} must be 2 real numbers, got {described(values, action)}"
        )
    if values.shape != (2,):
        raise ValueError(f"the action of {agent} must hold 2 numbers, got shape {values.shape}")
    x, y = values.astype(np.float64).tolist()
    return x, y
