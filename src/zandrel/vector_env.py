"""Many Zandrel environments stepped together by a native engine, as Gymnasium vector envs."""

from __future__ import annotations

import numbers
import os
import warnings
import weakref
from collections.abc import Sequence
from typing import Any, Unpack

import gymnasium
import numpy as np
import numpy.typing as npt
from gymnasium import spaces
from gymnasium.error import ClosedEnvironmentError
from gymnasium.vector import AutoresetMode

from zandrel import _batch
from zandrel.actions import holds_real_numbers
from zandrel.layouts import seed_state
from zandrel.memory import batch_bytes_per_env, check_memory
from zandrel.observations import observation_bounds
from zandrel.options import EnvConfig, ZandrelConfig, check_count
from zandrel.rendering import FRAMES_PER_SECOND, Camera, draw_frame
from zandrel.snapshot import Snapshot, split_state

Array = npt.NDArray[Any]
StepResult = tuple[Array, Array, Array, Array, dict[str, Any]]

OBSERVATION_DTYPES = (np.dtype(np.float64), np.dtype(np.float32))
NATIVE_ACTION_DTYPES = (np.dtype(np.float64), np.dtype(np.float32))  # read without a copy
RENDER_MODES = ("rgb_array",)
DEFAULT_RENDERED_ENVS = 8  # render() without env_ids draws the first this many environments
ENGINE_MODES = {
    AutoresetMode.NEXT_STEP: "next_step",
    AutoresetMode.SAME_STEP: "same_step",
    AutoresetMode.DISABLED: "disabled",
}


class ZandrelVectorEnv(gymnasium.vector.VectorEnv):
    """`num_envs` Zandrel environments stepped together natively, one team per environment.

    ## Description

    The environment of :func:`zandrel.parallel_env`, batched: a native engine owns one
    simulation per environment and steps them all in one call, with the interpreter
    lock released and the environments split over a pool of threads. Environment i,
    seeded with s, gives bit for bit the observations, rewards, terminations,
    truncations and start layouts that `zandrel.parallel_env(**config)` gives after
    `reset(seed=s)` and a plain `reset()` at each episode end, under the same actions;
    the numbers never depend on `num_threads` or on the batch size.

    ## Action Space

    `single_action_space` is `Box(-1, 1, (n_agents, 2), float32)`: row a is the action
    of `particle_a`, as in `parallel_env`. `step` takes an array shaped
    `(num_envs, n_agents, 2)` of any real dtype, or of Python objects that are real
    numbers, as `parallel_env` takes them (float64 and float32 are read without a copy).
    Components are clipped to [-1, 1] (infinite ones too) and the vector is scaled to
    length 1 when longer. NaN is refused.

    ## Observation Space

    `single_observation_space` is a `Box` of shape `(n_agents, L)` and the given dtype:
    row a is the observation of `particle_a` in `parallel_env` with the same `observation`
    mode ("global", "relative" or "local"; see `help(zandrel.parallel_env)` for the layout
    of the L values of each), with its bounds (positions unbounded, velocities in [-1, 1],
    flags in [0, 1]), rounded to float32 when `dtype=np.float32`. Batched results have a
    leading `num_envs` axis.

    `observation="state"` gives each environment's global state once instead, a `Box` of
    shape `(S,)` with the state's bounds and S = 4 * n_agents + 2 * n_boulders +
    2 * n_landmarks + F: `n_agents` times fewer values than "global", for callers that
    build per-agent views themselves. Agent a's "global" observation is that state with
    its values 0 to 3 and 4 a to 4 a + 3 exchanged; for a batch `states` of shape
    (num_envs, S)::

        views = np.repeat(states[:, None, :], n_agents, axis=1)
        own = 4 * np.arange(n_agents)[:, None] + np.arange(4)  # (n_agents, 4) columns
        views[:, np.arange(n_agents)[:, None], own] = states[:, None, :4]  # particle 0 moves
        views[:, :, :4] = states[:, : 4 * n_agents].reshape(-1, n_agents, 4)  # own block first

    ## Rewards

    `rewards` has shape `(num_envs,)`, float64: the team reward of each environment,
    the same number every agent receives in `parallel_env`.

    ## Starting State

    As in `parallel_env`. `reset(seed=s)` seeds environment i with `s + i`; a sequence
    (a list, a tuple or a 1-D NumPy integer array) gives one seed per environment (None
    leaves that environment's generator as it is).
    Later episodes draw their layouts from the same per-environment generator, natively.

    ## Episode End

    `terminations` and `truncations` have shape `(num_envs,)`, bool: an episode
    terminates when every goal is met and is truncated after `max_cycles` steps without
    termination, exactly as in `parallel_env`. What follows depends on
    `autoreset_mode` (Gymnasium's `AutoresetMode`):

    - `NEXT_STEP` (the default, as in Gymnasium's own vector envs, whose observation and
      reward wrappers need it): the call after the end starts the next episode instead
      of stepping, ignoring that environment's action and returning reward 0.0 and both
      flags False.
    - `SAME_STEP`: an ended environment starts its next episode within the
      same call; its returned row is the new episode's first observation, and
      `infos["final_obs"]` (an object array with the ended episode's last observation at
      the ended environments, None elsewhere), `infos["final_info"]` and the masks
      `infos["_final_obs"]` and `infos["_final_info"]` describe the ended episodes.
    - `DISABLED`: ended environments must be reset by the caller with
      `reset(options={"reset_mask": mask})` before the next `step`, which refuses to run
      otherwise.

    ## Arguments

    - `num_envs`: number of environments, from 1 to 2**31 - 1.
    - `num_threads=None`: threads, from 1 to 2**31 - 1; None means the CPUs this process may use
      (`os.sched_getaffinity`). Never more threads than environments are started; above
      the CPUs the process may use, construction warns once (ResourceWarning naming both
      numbers), as such threads only wait for each other. When the system cannot start
      them all, construction raises RuntimeError naming how many were requested and
      started, with none left running. The pool lives as long as the object and is
      joined by `close()` (and at interpreter exit, unless a daemon thread is still
      stepping, whose workers then end with the process, quietly). The object may be
      used from one Python thread at a time: a call made while another runs raises
      RuntimeError instead of corrupting state, `close()` included, which then changes
      nothing.
    - `autoreset_mode=AutoresetMode.NEXT_STEP`: see Episode End; also its name or value
      as text, in any case (`"same_step"`, `"SAME_STEP"`, `"SameStep"`).
    - `dtype=np.float64`: dtype of the observations, np.float64 or np.float32.
    - `render_mode=None`: `"rgb_array"` makes `render()` return frames of chosen
      environments, shaped (k, H, W, 3); see `render`.
    - every other keyword of `zandrel.parallel_env`, with the same defaults and checks.

    ## Interrupts, fork

    A long `step` or `reset` checks for signals every few milliseconds: Ctrl-C stops
    the workers and raises KeyboardInterrupt within about 0.1 s. Some environments may
    then have stepped and others not, so `step` refuses with RuntimeError until a
    `reset()` of every environment (seeded or not); a reset with a `reset_mask` does not
    end that state. An interrupt between calls leaves the object as it was. A process
    forked from one holding a vector env (`os.fork`, `multiprocessing` with the fork
    start method) may close, drop or keep using its copy, or create its own: the copy
    starts fresh worker threads on its first call.

    ## Memory

    Before anything is allocated, the memory of the whole batch is estimated from the
    configuration and `num_envs` (`memory_bytes_per_env` times `num_envs`: the native
    records and generators, the batched spaces, the results of two calls, the final
    observations, the seeds) and refused with a ValueError naming the estimate when it
    exceeds `max_memory_bytes` (None reads ZANDREL_MAX_MEMORY_BYTES, else 8 GiB). At the
    defaults that is about 3.7 KB per environment. `close()` frees the result buffers the
    engine keeps for reuse.

    Results are fresh arrays on every call, unless `step` is given `out=(observations,
    rewards, terminations, truncations)`, arrays of the result shapes and dtypes that
    are then filled and returned instead. Bad input (wrong shape, non-numeric dtype, NaN
    actions, a step before reset or after close) raises before any environment changes.
    """

    _finalizer: weakref.finalize | None = None

    def __init__(
        self,
        num_envs: int,
        *,
        num_threads: int | None = None,
        autoreset_mode: AutoresetMode | str = AutoresetMode.NEXT_STEP,
        dtype: npt.DTypeLike = np.float64,
        render_mode: str | None = None,
        **config: Unpack[ZandrelConfig],
    ) -> None:
        self.render_mode = _check_render_mode(render_mode)
        self.num_envs = check_count("num_envs", num_envs)
        self.config = EnvConfig.from_keywords("vector_env", dict(config))
        self.config.check_observation_memory(copies=self.num_envs)
        self.autoreset_mode = _check_autoreset_mode(autoreset_mode)
        self.dtype = _check_dtype(dtype)
        check_memory(
            self.config,
            self.num_envs * self.memory_bytes_per_env,
            f"{self.num_envs:,} environments of {_counts_text(self.config)}",
        )
        threads = len(os.sched_getaffinity(0)) if num_threads is None else num_threads
        cfg = self.config
        self._engine = _batch.BatchEngine(
            task=cfg,
            num_envs=self.num_envs,
            autoreset_mode=ENGINE_MODES[self.autoreset_mode],
            num_threads=check_count("num_threads", threads),
            float_observations=self.dtype == np.float32,
        )
        # joins the worker threads when this object goes away or the interpreter exits;
        # at exit a daemon thread may still be stepping, and its workers are left to it
        self._finalizer = weakref.finalize(self, self._engine.close_if_idle)
        _warn_if_oversubscribed(threads, self._engine.num_threads)
        # unseeded environments draw fresh entropy, as a single environment does
        self._engine.seed(_entropy_states(self.num_envs))

        self.n_agents = cfg.n_agents
        self.possible_agents = [f"particle_{index}" for index in range(cfg.n_agents)]
        self.observation_length = self._engine.observation_length
        self.num_threads = self._engine.num_threads
        self.metadata = {
            "autoreset_mode": self.autoreset_mode,
            "render_modes": list(RENDER_MODES),
            "render_fps": FRAMES_PER_SECOND,
        }
        # one row per agent, or the state alone
        low, high = observation_bounds(cfg)
        self.observation_shape = (cfg.n_agents, self.observation_length)
        if cfg.observation == "state":
            self.observation_shape = (self.observation_length,)
        rows = (*self.observation_shape[:-1], 1)
        self.single_observation_space = spaces.Box(
            np.tile(low, rows).astype(self.dtype),
            np.tile(high, rows).astype(self.dtype),
            dtype=self.dtype,
        )
        self.single_action_space = spaces.Box(-1.0, 1.0, (cfg.n_agents, 2), np.float32)
        self.observation_space = gymnasium.vector.utils.batch_space(
            self.single_observation_space, self.num_envs
        )
        self.action_space = gymnasium.vector.utils.batch_space(
            self.single_action_space, self.num_envs
        )
        self._views = EpisodeViews(self.num_envs, self.autoreset_mode) if render_mode else None

    @property
    def memory_bytes_per_env(self) -> int:
        """The estimated bytes this object holds per environment at its peak."""
        same_step = self.autoreset_mode == AutoresetMode.SAME_STEP
        return batch_bytes_per_env(self.config, self.dtype.itemsize, same_step)

    def reset(
        self,
        *,
        seed: int | Sequence[int | None] | None = None,
        options: dict[str, Any] | None = None,
    ) -> tuple[Array, dict[str, Any]]:
        """Start new episodes; with `options={"reset_mask": mask}` only where mask is True.

        Returns the observations of every environment, shaped (num_envs, n_agents, L)
        ((num_envs, S) with observation="state"), and an empty infos dict. Environments
        outside the mask keep their episodes and report their current observations.
        """
        self._check_open()
        mask = self._reset_mask(options)
        states, seeded = self._seed_states(seed)
        if seeded is None:
            observations = self._engine.reset(mask)
        else:
            seed_mask = seeded if mask is None else seeded & mask
            observations = self._engine.reset(mask, states, seed_mask)
        if self._views is not None:
            self._views.restarted(mask)
        return observations, {}

    def step(
        self,
        actions: npt.ArrayLike,
        *,
        out: tuple[Array, Array, Array, Array] | None = None,
    ) -> StepResult:
        """Step every environment; see the class docstring for shapes and autoreset."""
        self._check_open()
        array = self._action_array(actions)
        observations, rewards, terminations, truncations, finals = self._engine.step(array, out)
        infos = {} if finals is None else self._final_infos(*finals)
        if self._views is not None:
            self._views.stepped(terminations | truncations)
        return observations, rewards, terminations, truncations, infos

    def render(self, env_ids: Sequence[int] | None = None) -> Array | None:
        """Frames of the chosen environments, a uint8 array shaped (k, H, W, 3).

        `env_ids` lists the environments to draw, in the order given; None draws the
        first `DEFAULT_RENDERED_ENVS` (8), or all when there are fewer. Each frame is
        what `zandrel.parallel_env(render_mode="rgb_array").render()` draws for the same
        state and step of the same episode, view included: it holds the task and is
        kept for the episode. `zandrel.rendering.tile_frames` puts them side by side.
        Warns and returns None without a render mode.
        """
        self._check_open()
        if self._views is None:
            gymnasium.logger.warn(
                "You are calling render method without specifying any render mode. "
                "Set render_mode='rgb_array' when creating the vector environment."
            )
            return None
        chosen = self._rendered_envs(env_ids)
        # each read is refused, like every engine call, while another thread's call runs
        states = [self._engine.state(env) for env in chosen]
        cfg = self.config
        frames = []
        for env, (state, steps) in zip(chosen, states, strict=True):
            snapshot = split_state(
                state, cfg.n_agents, cfg.n_boulders, cfg.n_landmarks, cfg.visit_all
            )
            camera = self._views.camera(env, snapshot, cfg.spawn_size)
            frames.append(draw_frame(snapshot, camera, cfg.spawn_size, steps))
        return np.stack(frames)

    def close_extras(self, **kwargs: Any) -> None:
        """Join the worker threads; later calls raise ClosedEnvironmentError.

        Refused with RuntimeError, changing nothing, while another thread's call runs.
        """
        # Gymnasium's __del__ closes objects whose __init__ raised, too
        if self._finalizer is not None and self._finalizer.alive:
            self._engine.close()
            self._finalizer.detach()

    def _rendered_envs(self, env_ids: Sequence[int] | None) -> list[int]:
        if env_ids is None:
            return list(range(min(self.num_envs, DEFAULT_RENDERED_ENVS)))
        chosen = list(env_ids) if isinstance(env_ids, Sequence | np.ndarray) else None
        if (
            not chosen
            or any(isinstance(env, bool) or not isinstance(env, numbers.Integral) for env in chosen)
            or not all(0 <= env < self.num_envs for env in chosen)
        ):
            raise ValueError(
                f"env_ids must be a non-empty sequence of environment indices in "
                f"[0, {self.num_envs}), got {env_ids!r}"
            )
        return [int(env) for env in chosen]

    def _check_open(self) -> None:
        if self.closed:
            raise ClosedEnvironmentError(
                "this ZandrelVectorEnv is closed; create a new one with zandrel.vector_env()"
            )

    def _action_array(self, actions: npt.ArrayLike) -> Array:
        array = actions if isinstance(actions, np.ndarray) else np.asarray(actions)
        if not holds_real_numbers(array):
            raise ValueError(f"actions must be an array of real numbers, got dtype {array.dtype}")
        expected = (self.num_envs, self.n_agents, 2)
        if array.shape != expected:
            raise ValueError(
                f"actions must have shape {expected} (num_envs, n_agents, 2), got {array.shape}"
            )
        if array.dtype not in NATIVE_ACTION_DTYPES:
            return np.ascontiguousarray(array, dtype=np.float64)
        # the engine reads aligned, native-order, C-contiguous memory
        return np.require(array, requirements=("C", "A"))

    def _reset_mask(self, options: dict[str, Any] | None) -> Array | None:
        if not options or "reset_mask" not in options:
            return None
        mask = checked_reset_mask(options["reset_mask"], self.num_envs)
        if not mask.any():
            raise ValueError("options['reset_mask'] must select at least one environment")
        return mask

    def _seed_states(self, seed: int | Sequence[int | None] | None) -> tuple[Array, Array | None]:
        """Generator states per environment, and which environments are seeded."""
        states = np.zeros((self.num_envs, 4), np.uint64)
        if seed is None:
            return states, None
        if isinstance(seed, numbers.Integral) and not isinstance(seed, bool):
            seeds: Sequence[int | None] = [int(seed) + index for index in range(self.num_envs)]
        elif isinstance(seed, np.ndarray) and seed.ndim == 1 and seed.dtype.kind in "iu":
            seeds = seed.tolist()
        elif isinstance(seed, Sequence) and not isinstance(seed, str):
            seeds = seed
        else:
            raise ValueError(
                f"seed must be None, an integer >= 0 or a sequence of {self.num_envs} of them, "
                f"got {seed!r}"
            )
        if len(seeds) != self.num_envs:
            raise ValueError(
                f"seed must give one seed per environment: {self.num_envs}, got {len(seeds)}"
            )
        seeded = np.array([value is not None for value in seeds], np.bool_)
        for index, value in enumerate(seeds):
            if value is not None:
                states[index] = seed_state(value)
        return states, seeded

    def _final_infos(self, mask: Array, observations: list[Array]) -> dict[str, Any]:
        final_observations = np.full(self.num_envs, None, dtype=object)
        for index, observation in zip(np.flatnonzero(mask), observations, strict=True):
            final_observations[index] = observation
        return final_infos(final_observations, mask)


class EpisodeViews:
    """Which episode each environment is in, and the view its frames keep for that episode."""

    def __init__(self, num_envs: int, autoreset_mode: AutoresetMode) -> None:
        self._mode = autoreset_mode
        self._episodes = np.zeros(num_envs, np.int64)
        # next_step: ended environments whose next step starts a new episode
        self._pending = np.zeros(num_envs, np.bool_)
        self._cameras: dict[int, tuple[int, Camera]] = {}

    def restarted(self, mask: Array | None) -> None:
        selected = slice(None) if mask is None else mask
        self._episodes[selected] += 1
        self._pending[selected] = False

    def stepped(self, ended: Array) -> None:
        if self._mode == AutoresetMode.SAME_STEP:
            self._episodes += ended
        elif self._mode == AutoresetMode.NEXT_STEP:
            self._episodes += self._pending
            self._pending = ended.copy()

    def camera(self, env: int, snapshot: Snapshot, spawn_size: float) -> Camera:
        """The view of this episode, widened for the snapshot, as a single env keeps it."""
        episode = int(self._episodes[env])
        kept = self._cameras.get(env)
        camera = kept[1] if kept and kept[0] == episode else Camera.for_spawn(spawn_size)
        camera = camera.widened_for(snapshot)
        self._cameras[env] = (episode, camera)
        return camera


def checked_reset_mask(mask: object, size: int) -> Array:
    """`options["reset_mask"]` as Gymnasium defines it: a bool array, one flag per env."""
    if not isinstance(mask, np.ndarray) or mask.dtype != np.bool_ or mask.shape != (size,):
        shown = (
            f"{mask.dtype} array of shape {mask.shape}"
            if isinstance(mask, np.ndarray)
            else type(mask).__name__
        )
        raise ValueError(
            f"options['reset_mask'] must be a bool array of shape ({size},), got {shown}"
        )
    return np.ascontiguousarray(mask)


def final_infos(final_observations: Array, mask: Array) -> dict[str, Any]:
    """The infos of a step that ended episodes, as Gymnasium's vector envs give them."""
    return {
        "final_obs": final_observations,
        "_final_obs": mask,
        "final_info": {},
        "_final_info": mask.copy(),
    }


def vector_env(
    num_envs: int,
    *,
    num_threads: int | None = None,
    autoreset_mode: AutoresetMode | str = AutoresetMode.NEXT_STEP,
    dtype: npt.DTypeLike = np.float64,
    render_mode: str | None = None,
    **config: Unpack[ZandrelConfig],
) -> ZandrelVectorEnv:
    """`num_envs` environments stepped together natively; see :class:`ZandrelVectorEnv`."""
    return ZandrelVectorEnv(
        num_envs,
        num_threads=num_threads,
        autoreset_mode=autoreset_mode,
        dtype=dtype,
        render_mode=render_mode,
        **config,
    )


def _warn_if_oversubscribed(requested: int, started: int) -> None:
    cpus = len(os.sched_getaffinity(0))
    if started > cpus:
        warnings.warn(
            f"num_threads={requested} runs {started} threads, more than the {cpus} CPUs this "
            "process may use; threads beyond the CPUs wait for each other and slow every step",
            ResourceWarning,
            stacklevel=4,
        )


def _counts_text(config: EnvConfig) -> str:
    return (
        f"n_agents={config.n_agents}, n_boulders={config.n_boulders}, "
        f"n_landmarks={config.n_landmarks}"
    )


def _entropy_states(count: int) -> Array:
    return np.random.SeedSequence().generate_state(4 * count, np.uint64).reshape(count, 4)


def _check_autoreset_mode(value: object) -> AutoresetMode:
    """The mode itself, or its name or value as text in any case (NEXT_STEP, NextStep)."""
    if isinstance(value, AutoresetMode):
        return value
    if isinstance(value, str):
        for mode in AutoresetMode:
            if value.lower() in (mode.name.lower(), mode.value.lower()):
                return mode
    allowed = ", ".join(f"{mode.name!r} or {mode.value!r}" for mode in AutoresetMode)
    raise ValueError(
        "autoreset_mode must be a gymnasium.vector.AutoresetMode or the name or value of one, "
        f"in any case: {allowed}; got {value!r}"
    )


def _check_render_mode(value: object) -> str | None:
    if value is not None and value not in RENDER_MODES:
        raise ValueError(f"render_mode must be None or 'rgb_array', got {value!r}")
    return value


def _check_dtype(value: npt.DTypeLike) -> np.dtype[Any]:
    try:
        dtype = np.dtype(value)
    except TypeError:
        dtype = None
    if dtype not in OBSERVATION_DTYPES:
        raise ValueError(f"dtype must be np.float64 or np.float32, got {value!r}")
    return dtype
