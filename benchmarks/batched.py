"""Batched stepping: many environments per call, against the batched peers a user would pick.

Side by side in one interleaved run, in environment-steps per second, random actions, autoreset
on: raw `zandrel_cpp.Environment.step` (one environment, the baseline rate), SuperSuit's
`concat_vec_envs_v1` over `zandrel.parallel_env` (the batched route a Zandrel user has today),
VMAS `simple_spread` and JaxMARL MPE `simple_spread` at 64, 1,024 and 4,096 environments, and a
sweep of the number of environments from 1 to 4,096.

Usage: python benchmarks/batched.py [--rounds N] [--round-seconds S] [--plot PATH]
                                    [--no-peers] [--no-sweep]
"""

from __future__ import annotations

import argparse
import functools
import importlib
import os
import statistics
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from harness import (
    EPISODE_STEPS,
    PHYSICS_STEPS,
    Target,
    Timing,
    add_timing_options,
    agent_names,
    load,
    print_targets,
    rate,
    section,
    table,
)

import zandrel
from zandrel.config import EnvConfig
from zandrel.layouts import Layout, draw_layout, seed_state
from zandrel.zandrel_env import new_core

TABLE_SIZES = (64, 1024, 4096)  # environments per call in the main table
SWEEP_SIZES = (1, 4, 16, 64, 256, 1024, 4096)  # environments per call in the scaling sweep
# SuperSuit steps every environment in Python, so its rate is flat in the batch size and a
# round of 100 calls at 1,024 environments would take seconds: its sweep stops at 256
SUPERSUIT_SWEEP_SIZES = (1, 4, 16, 64, 256)
SUPERSUIT_ENVS = 64
SCAN_STEPS = 100  # JaxMARL steps per call, inside one jitted scan
PEER_AGENTS = 3
MIN_ROUNDS = 3  # timed rounds of a contender whose calls are too long for the time budget
# shortest timed round (seconds): a JaxMARL call at 4,096 envs lasts about half a second, and
# on a loaded machine the best of many short rounds catches quiet spells that a long round
# never sees, which would flatter every cheap stepper against the long ones
MIN_ROUND_SECONDS = 0.2
SEED = 0


@dataclass(frozen=True)
class Scene:
    """A Zandrel task of the benchmark: visit_all, dense rewards, 100-step episodes."""

    name: str
    particles: int
    boulders: int
    landmarks: int
    spawn_size: float  # side of the start square, in plane units

    @property
    def label(self) -> str:
        return f"{self.particles}p/{self.boulders}b/{self.landmarks}l"

    def config(self) -> dict[str, Any]:
        """Keywords of `zandrel.parallel_env`, and of the batched engine, for this scene."""
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


SMALL = Scene("small", 3, 3, 3, spawn_size=30.0)
# the default spawn square holds 3 boulders; 70 units give 16 boulders the same room each
BIG = Scene("big", 16, 16, 8, spawn_size=70.0)
SCENES = (SMALL, BIG)
PEER_TASK = f"simple_spread, {PEER_AGENTS} agents"


@dataclass(frozen=True)
class Batch:
    """A stepper: each call of `step` advances a batch of environments by one step or more."""

    step: Callable[[], object]
    env_steps: int  # environment-steps per call
    # calls between the episode ends of a batch whose environments all end together; a timed
    # round is a whole number of these, so that every round pays its share of resets
    calls_per_episode: int


@dataclass(frozen=True)
class Contender:
    """One system in the race: how to build its stepper and where to measure it."""

    make: Callable[[int, Scene], Batch]  # (num_envs, scene) -> stepper
    table_sizes: tuple[int, ...]
    sweep_sizes: tuple[int, ...]  # measured on the small scene only
    scenes: tuple[Scene, ...] = SCENES
    # an optional peer: needs these modules, is left out with --no-peers, and an error in it
    # skips it with the reason instead of stopping the run
    peer_modules: tuple[str, ...] = ()

    @property
    def peer(self) -> bool:
        return bool(self.peer_modules)

    def task(self, scene: Scene) -> str:
        return PEER_TASK if self.peer else scene.label


# --- raw single environment ---------------------------------------------------------------


class RawEnvironment:
    """One `zandrel_cpp.Environment` with random actions, restarted when an episode ends."""

    def __init__(self, scene: Scene) -> None:
        rng = np.random.default_rng(SEED)
        self._config = EnvConfig(**scene.config())
        # each episode draws its layout natively, as the single and the batched environment do
        self._layout_state = seed_state(SEED)
        names = agent_names(scene.particles)
        self._actions = [self._random_actions(rng, names) for _ in range(EPISODE_STEPS)]
        self._core = new_core()
        self._restart()

    @staticmethod
    def _random_actions(rng: np.random.Generator, names: list[str]) -> dict[str, tuple]:
        pairs = rng.uniform(-1.0, 1.0, (len(names), 2)).tolist()
        return {name: tuple(pair) for name, pair in zip(names, pairs, strict=True)}

    def _restart(self) -> None:
        layout = draw_layout(self._layout_state, self._config)
        self._core.init(*init_args(layout, self._config))
        self._core.reset()
        self._steps = 0

    def step(self) -> None:
        terminations = self._core.step(self._actions[self._steps])[3]
        self._steps += 1
        if self._steps == EPISODE_STEPS or True in terminations.values():
            self._restart()


def init_args(layout: Layout, config: EnvConfig) -> tuple[Any, ...]:
    """`Environment.init`'s arguments for a start layout, as `parallel_env` passes them."""
    positions = (layout.particles, layout.boulders, layout.landmarks)
    return (
        *(points.ravel().tolist() for points in positions),
        config.n_physics_steps,
        config.sparse_rewards,
        config.visit_all,
        config.sparse_weight,
    )


def raw_batch(num_envs: int, scene: Scene) -> Batch:
    if num_envs != 1:
        raise ValueError(f"the raw environment steps one environment per call, got {num_envs}")
    return Batch(RawEnvironment(scene).step, env_steps=1, calls_per_episode=EPISODE_STEPS)


# --- SuperSuit over parallel_env ----------------------------------------------------------


def supersuit_batch(num_envs: int, scene: Scene) -> Batch:
    """concat_vec_envs_v1 over pettingzoo_env_to_vec_env_v1(parallel_env), in this process."""
    import supersuit

    agents = supersuit.pettingzoo_env_to_vec_env_v1(zandrel.parallel_env(**scene.config()))
    vec_env = supersuit.concat_vec_envs_v1(agents, num_envs, num_cpus=0, base_class="gymnasium")
    vec_env.reset(seed=SEED)
    rng = np.random.default_rng(SEED)
    # one row per agent of every environment
    shape = (vec_env.num_envs, 2)

    def step() -> None:
        vec_env.step(rng.uniform(-1.0, 1.0, size=shape).astype(np.float32))

    return Batch(step, env_steps=num_envs, calls_per_episode=EPISODE_STEPS)


# --- zandrel's batched engine ------------------------------------------------------------

ACTION_POOL = 8  # random action arrays drawn beforehand and cycled, so no call pays for drawing


def vector_batch(num_threads: int) -> Callable[[int, Scene], Batch]:
    """zandrel.vector_env with a fixed thread count: one team action array per call."""

    def make(num_envs: int, scene: Scene) -> Batch:
        # the mode the published figures were measured in
        env = zandrel.vector_env(
            num_envs, num_threads=num_threads, autoreset_mode="same_step", **scene.config()
        )
        env.reset(seed=SEED)
        pool = _action_pool((num_envs, scene.particles, 2))
        return Batch(_cycling(env.step, pool), env_steps=num_envs, calls_per_episode=EPISODE_STEPS)

    return make


def agent_vector_batch(num_envs: int, scene: Scene) -> Batch:
    """zandrel.agent_vector_env on 1 thread: one action row per agent, float32 like SuperSuit's."""
    env = zandrel.agent_vector_env(num_envs, num_threads=1, **scene.config())
    env.reset(seed=SEED)
    pool = _action_pool((num_envs * scene.particles, 2))
    return Batch(_cycling(env.step, pool), env_steps=num_envs, calls_per_episode=EPISODE_STEPS)


def _action_pool(shape: tuple[int, ...]) -> list[np.ndarray]:
    rng = np.random.default_rng(SEED)
    return [rng.uniform(-1.0, 1.0, size=shape).astype(np.float32) for _ in range(ACTION_POOL)]


def _cycling(step: Callable[[np.ndarray], object], pool: list[np.ndarray]) -> Callable[[], None]:
    calls = iter(range(1 << 62))

    def call() -> None:
        step(pool[next(calls) % ACTION_POOL])

    return call


# --- VMAS ---------------------------------------------------------------------------------

# torch's default of one OpenMP thread per core made small-tensor ops of VMAS up to 30 times
# slower on this shared 2-core machine (a torch.min over 64 x 3 floats took 10 ms when other
# jobs held the cores); on one thread VMAS runs at its best here
VMAS_TORCH_THREADS = 1


def vmas_batch(num_envs: int, scene: Scene) -> Batch:
    """simple_spread on the CPU, continuous actions, random actions, done envs reset."""
    import torch
    import vmas

    torch.set_num_threads(VMAS_TORCH_THREADS)
    env = vmas.make_env(
        "simple_spread",
        num_envs=num_envs,
        device="cpu",
        continuous_actions=True,
        n_agents=PEER_AGENTS,
        seed=SEED,
        max_steps=EPISODE_STEPS,
    )
    env.reset()

    def step() -> None:
        dones = env.step(env.get_random_actions())[2]
        # simple_spread only ends at max_steps, so every environment ends at once
        if dones.all():
            env.reset()
        elif dones.any():
            for index in dones.nonzero().flatten().tolist():
                env.reset_at(index)

    return Batch(step, env_steps=num_envs, calls_per_episode=EPISODE_STEPS)


# --- JaxMARL ------------------------------------------------------------------------------


def jaxmarl_batch(num_envs: int, scene: Scene) -> Batch:
    """MPE simple_spread, jit + vmap over the batch, a scan of SCAN_STEPS steps per call."""
    import jax
    import jax.numpy as jnp

    env, start_keys, start_states = jaxmarl_starts()
    if num_envs > len(start_keys):
        raise ValueError(f"JaxMARL starts at most {len(start_keys)} environments, got {num_envs}")
    space = env.action_space(env.agents[0])

    def one_step(carry: Any, _: None) -> tuple[Any, None]:
        key, state, checksum = carry
        key, action_key, step_key = jax.random.split(key, 3)
        action_keys = jax.random.split(action_key, env.num_agents)
        actions = {
            agent: jax.random.uniform(k, space.shape, minval=space.low, maxval=space.high)
            for agent, k in zip(env.agents, action_keys, strict=True)
        }
        # env.step resets an ended episode itself
        observations, state, rewards, _, _ = env.step(step_key, state, actions)
        # a learner reads observations and rewards; unread, the compiler drops their work
        checksum += sum(jnp.sum(observation) for observation in observations.values())
        checksum += sum(rewards.values())
        return (key, state, checksum), None

    def rollout(key: Any, state: Any, checksum: Any) -> Any:
        return jax.lax.scan(one_step, (key, state, checksum), None, length=SCAN_STEPS)[0]

    batched = jax.jit(jax.vmap(rollout))
    states = jax.tree.map(lambda leaf: leaf[:num_envs], start_states)
    carry = (start_keys[:num_envs], states, jnp.zeros(num_envs))
    # the first call compiles; it runs here, before any timing
    carry = jax.block_until_ready(batched(*carry))

    def step() -> None:
        nonlocal carry
        carry = jax.block_until_ready(batched(*carry))

    return Batch(step, env_steps=SCAN_STEPS * num_envs, calls_per_episode=1)


# --- contenders -----------------------------------------------------------------------------

RAW = "zandrel_cpp Environment.step"
SUPERSUIT = "SuperSuit concat_vec_envs_v1(parallel_env)"
VMAS = f"VMAS simple_spread, torch {VMAS_TORCH_THREADS} thread"
JAXMARL = "JaxMARL MPE simple_spread, jit + vmap"
# the batched engine's contenders, under the names the targets below read
VECTOR_ENV_1 = "zandrel vector_env, 1 thread"
VECTOR_ENV_2 = "zandrel vector_env, 2 threads"
AGENT_VECTOR_ENV = "zandrel agent_vector_env, 1 thread"

CONTENDERS: dict[str, Contender] = {
    RAW: Contender(raw_batch, table_sizes=(1,), sweep_sizes=(1,)),
    SUPERSUIT: Contender(
        supersuit_batch, table_sizes=(SUPERSUIT_ENVS,), sweep_sizes=SUPERSUIT_SWEEP_SIZES
    ),
    VECTOR_ENV_1: Contender(vector_batch(1), table_sizes=TABLE_SIZES, sweep_sizes=SWEEP_SIZES),
    VECTOR_ENV_2: Contender(vector_batch(2), table_sizes=TABLE_SIZES, sweep_sizes=SWEEP_SIZES),
    AGENT_VECTOR_ENV: Contender(agent_vector_batch, table_sizes=TABLE_SIZES, sweep_sizes=()),
    VMAS: Contender(
        vmas_batch,
        table_sizes=TABLE_SIZES,
        sweep_sizes=SWEEP_SIZES,
        scenes=(SMALL,),
        peer_modules=("torch", "vmas"),
    ),
    JAXMARL: Contender(
        jaxmarl_batch,
        table_sizes=TABLE_SIZES,
        sweep_sizes=SWEEP_SIZES,
        scenes=(SMALL,),
        peer_modules=("jax", "jaxmarl"),
    ),
}


# --- targets ----------------------------------------------------------------------------------


@dataclass(frozen=True)
class Pick:
    """The best env-steps/s among some contenders at some batch sizes on one scene."""

    contenders: tuple[str, ...]
    sizes: tuple[int, ...]
    scene: Scene = SMALL


@dataclass(frozen=True)
class RatioGoal:
    """`top` reaches at least `goal` times the rate of `bottom`, measured in the same run."""

    text: str
    top: Pick
    bottom: Pick
    goal: float


def ratio_goals() -> list[RatioGoal]:
    goals = []
    for scene in SCENES:
        at_1024, at_64 = (1024,), (SUPERSUIT_ENVS,)
        vector_1 = Pick((VECTOR_ENV_1,), at_1024, scene)
        goals += [
            RatioGoal(
                f"{scene.label}: vector_env, 1 thread, 1,024 envs against raw Environment.step",
                vector_1,
                Pick((RAW,), (1,), scene),
                2.0,
            ),
            RatioGoal(
                f"{scene.label}: vector_env at 1,024 envs, 2 threads against 1 thread",
                Pick((VECTOR_ENV_2,), at_1024, scene),
                vector_1,
                1.7,
            ),
            RatioGoal(
                f"{scene.label}: vector_env, 1 thread, against SuperSuit, both 64 envs",
                Pick((VECTOR_ENV_1,), at_64, scene),
                Pick((SUPERSUIT,), at_64, scene),
                20.0,
            ),
            RatioGoal(
                f"{scene.label}: agent_vector_env against SuperSuit, both 64 envs",
                Pick((AGENT_VECTOR_ENV,), at_64, scene),
                Pick((SUPERSUIT,), at_64, scene),
                15.0,
            ),
        ]
    goals.append(
        RatioGoal(
            f"{SMALL.label}: vector_env at its best against the best of VMAS and JaxMARL, "
            "each at its best of 64, 1,024 and 4,096 envs",
            Pick((VECTOR_ENV_1, VECTOR_ENV_2), TABLE_SIZES),
            Pick((VMAS, JAXMARL), TABLE_SIZES),
            2.0,
        )
    )
    return goals


# --- measurement ------------------------------------------------------------------------------

Key = tuple[str, str, int]  # contender, scene name, num_envs


@dataclass
class Race:
    """The steppers of one run, what they measured and the contenders left out."""

    batches: dict[Key, Batch] = field(default_factory=dict)
    timings: dict[Key, Timing] = field(default_factory=dict)
    rounds: dict[Key, int] = field(default_factory=dict)  # timed rounds of each stepper
    skipped: dict[str, str] = field(default_factory=dict)  # contender -> reason

    def rate(self, key: Key) -> float | None:
        timing = self.timings.get(key)
        return None if timing is None else self.batches[key].env_steps / timing.best


def main(argv: Sequence[str] | None = None) -> list[Target]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_timing_options(parser)
    parser.add_argument("--plot", type=Path, metavar="PATH", help="draw the sweep as a PNG")
    parser.add_argument("--no-peers", action="store_true", help="leave out VMAS and JaxMARL")
    parser.add_argument(
        "--no-sweep", action="store_true", help="only the main table's batch sizes, unless --plot"
    )
    args = parser.parse_args(argv)
    return run(
        args.rounds, args.round_seconds, args.plot, peers=not args.no_peers, sweep=not args.no_sweep
    )


def run(
    rounds: int,
    seconds: float,
    plot: Path | None = None,
    peers: bool = True,
    sweep: bool = True,
) -> list[Target]:
    """The batched race; `peers` brings in VMAS and JaxMARL, `sweep` (or a plot) the sweep."""
    sweep = sweep or plot is not None
    section(f"Batched stepping: environment-steps per second ({rounds} rounds)")
    print(
        f"Zandrel scenes: visit_all, dense rewards, {PHYSICS_STEPS} sub-steps, "
        f"{EPISODE_STEPS}-step episodes; peers: {PEER_TASK}, continuous actions, "
        f"{EPISODE_STEPS}-step episodes; random actions, ended episodes reset; "
        f"JaxMARL runs {SCAN_STEPS} steps per call"
    )
    print(
        f"best of each stepper's rounds; a round is whole episodes, at least "
        f"{max(seconds, MIN_ROUND_SECONDS)} s; {load()}"
    )
    started = time.perf_counter()
    race = build(peers, sweep)
    for name, reason in race.skipped.items():
        print(f"skipped {name}: {reason}")
    print(f"built and warmed up in {time.perf_counter() - started:.0f} s", flush=True)
    race.timings, race.rounds = timed_rounds(race.batches, rounds, seconds)
    print(table(*main_rows(race)))
    if sweep:
        print(f"\nscaling sweep, {SMALL.label} and the peers' {PEER_TASK}: env-steps/s")
        print(table(*sweep_rows(race)))
    if plot is not None:
        draw(plot, race)
        print(f"wrote {plot}")
    print(load())
    return [check(goal, race) for goal in ratio_goals()]


def build(peers: bool, sweep: bool) -> Race:
    """Every stepper of the run, built and stepped once before anything is timed."""
    race = Race()
    for name, contender in CONTENDERS.items():
        if contender.peer and not peers:
            race.skipped[name] = "left out with --no-peers"
            continue
        reason = missing_modules(contender.peer_modules)
        if reason is not None:
            race.skipped[name] = reason
            continue
        try:
            for key in contender_keys(name, contender, sweep):
                race.batches[key] = contender.make(key[2], scene_named(key[1]))
                race.batches[key].step()
        except Exception as error:
            if not contender.peer:
                raise
            # an optional peer that breaks is reported, not allowed to stop the run
            race.batches = {key: batch for key, batch in race.batches.items() if key[0] != name}
            race.skipped[name] = f"{type(error).__name__}: {error}"
    return race


def contender_keys(name: str, contender: Contender, sweep: bool) -> list[Key]:
    keys = []
    for scene in contender.scenes:
        sizes = set(contender.table_sizes)
        if sweep and scene is SMALL:
            sizes |= set(contender.sweep_sizes)
        keys += [(name, scene.name, size) for size in sorted(sizes)]
    return keys


def scene_named(name: str) -> Scene:
    return next(scene for scene in SCENES if scene.name == name)


@functools.cache
def jaxmarl_starts() -> tuple[Any, Any, Any]:
    """simple_spread and the keys and start states of the largest batch, for every batch.

    A vmapped reset compiles anew for every batch size; slices of one batch need no compiling.
    """
    import jax

    jaxmarl = silent_import("jaxmarl")
    env = jaxmarl.make("MPE_simple_spread_v3", action_type="Continuous", max_steps=EPISODE_STEPS)
    keys = jax.random.split(jax.random.PRNGKey(SEED), max(SWEEP_SIZES + TABLE_SIZES))
    return env, keys, jax.vmap(env.reset)(keys)[1]


def silent_import(module: str) -> Any:
    """Import a module, with what it prints while it loads discarded."""
    # jaxmarl prints at import after setting sys.stdout and sys.stderr back to the process's
    # own streams, past any sys.stdout redirect, so file descriptor 1 itself is redirected
    streams = sys.stdout, sys.stderr
    for stream in (*streams, sys.__stdout__):
        if stream is not None:
            stream.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 1)
            try:
                return importlib.import_module(module)
            finally:
                if sys.__stdout__ is not None:
                    sys.__stdout__.flush()
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        sys.stdout, sys.stderr = streams


def missing_modules(modules: Sequence[str]) -> str | None:
    """Why an optional peer cannot run here, or None when its modules import."""
    for module in modules:
        try:
            silent_import(module)
        except Exception as error:
            return f"import {module} failed: {type(error).__name__}: {error}"
    return None


def timed_rounds(
    batches: dict[Key, Batch], rounds: int, seconds: float
) -> tuple[dict[Key, Timing], dict[Key, int]]:
    """Interleaved rounds of whole episodes; contenders with long calls sit out some rounds.

    Each contender gets about `rounds * seconds` of timed work, in at least MIN_ROUNDS rounds
    of at least MIN_ROUND_SECONDS, spread evenly over the run so that load from other jobs
    falls on all of them alike.
    """
    runs = {key: call_loop(batch.step) for key, batch in batches.items()}
    counts: dict[Key, int] = {}
    turns: dict[Key, int] = {}
    round_seconds = max(seconds, MIN_ROUND_SECONDS)
    for key, batch in batches.items():
        counts[key], round_time = calibrate(runs[key], batch.calls_per_episode, round_seconds)
        turns[key] = min(rounds, max(MIN_ROUNDS, int(rounds * seconds / round_time)))
    samples: dict[Key, list[float]] = {key: [] for key in batches}
    for index in range(rounds):
        for key, run in runs.items():
            # this contender's turns fall on evenly spaced rounds
            if (index + 1) * turns[key] // rounds > index * turns[key] // rounds:
                samples[key].append(run(counts[key]) / counts[key])
    timings = {
        key: Timing(min(times), statistics.median(times), counts[key] * len(times))
        for key, times in samples.items()
    }
    return timings, turns


def call_loop(step: Callable[[], object]) -> Callable[[int], float]:
    def run(count: int) -> float:
        started = time.perf_counter()
        for _ in range(count):
            step()
        return time.perf_counter() - started

    return run


def calibrate(run: Callable[[int], float], period: int, seconds: float) -> tuple[int, float]:
    """Calls in a round of about `seconds`, a whole number of periods, and that round's time."""
    count = period
    elapsed = run(count)
    while elapsed < seconds / 8:
        count *= 4
        elapsed = run(count)
    periods = max(1, round(count * seconds / elapsed / period))
    return periods * period, elapsed * periods * period / count


# --- reports ----------------------------------------------------------------------------------


def main_rows(race: Race) -> tuple[list[str], list[list[str]]]:
    header = ["system", "task", "envs", "env-steps/call", "ms/call", "env-steps/s", "median"]
    header += ["vs raw", "rounds"]
    rows = []
    for name, contender in CONTENDERS.items():
        for scene in contender.scenes:
            for size in contender.table_sizes:
                key = (name, scene.name, size)
                if key in race.timings:
                    timing, batch = race.timings[key], race.batches[key]
                    rows.append(
                        [
                            name,
                            contender.task(scene),
                            f"{size:,}",
                            f"{batch.env_steps:,}",
                            f"{timing.best * 1e3:,.3f}",
                            rate(batch.env_steps / timing.best),
                            rate(batch.env_steps / timing.median),
                            versus_raw(race, (name, scene.name, size)),
                            str(race.rounds[key]),
                        ]
                    )
    return header, rows


def versus_raw(race: Race, key: Key) -> str:
    """A rate as a multiple of the raw single environment's on the same scene."""
    raw, value = race.rate((RAW, key[1], 1)), race.rate(key)
    return "" if raw is None or value is None else f"{value / raw:,.2f}x"


def sweep_rows(race: Race) -> tuple[list[str], list[list[str]]]:
    header = ["system", *(f"{size:,}" for size in SWEEP_SIZES)]
    rows = []
    for name in CONTENDERS:
        rates = [race.rate((name, SMALL.name, size)) for size in SWEEP_SIZES]
        if any(value is not None for value in rates):
            rows.append([name, *("" if value is None else rate(value) for value in rates)])
    return header, rows


def check(goal: RatioGoal, race: Race) -> Target:
    top, top_missing = best(goal.top, race)
    bottom, bottom_missing = best(goal.bottom, race)
    text = f"{goal.text} (target >= {goal.goal:g}x)"
    if top is None or bottom is None:
        absent = [*top_missing, *bottom_missing]
        return Target.not_measured(text, f"no figures for {'; '.join(absent)}")
    ratio = top / bottom
    note = f"; not measured: {'; '.join(bottom_missing)}" if bottom_missing else ""
    return Target(
        f"{goal.text}: {ratio:,.2f}x (target >= {goal.goal:g}x){note}", ratio >= goal.goal
    )


def best(pick: Pick, race: Race) -> tuple[float | None, list[str]]:
    """The best rate of the pick and the picked contenders with no figure in this run."""
    rates: list[float] = []
    missing = []
    for name in pick.contenders:
        found = [race.rate((name, pick.scene.name, size)) for size in pick.sizes]
        measured = [value for value in found if value is not None]
        rates += measured
        if not measured:
            missing.append(name)
    return (max(rates) if rates else None), missing


def draw(path: Path, race: Race) -> None:
    import matplotlib

    matplotlib.use("Agg")  # files only, no window
    from matplotlib import pyplot as plt

    figure, axes = plt.subplots(figsize=(8, 5), layout="constrained")
    markers = iter("osD^v<>ph*")
    for name in CONTENDERS:
        points = [
            (size, value)
            for size in SWEEP_SIZES
            if (value := race.rate((name, SMALL.name, size))) is not None
        ]
        if len(points) > 1:
            sizes, rates = zip(*points, strict=True)
            axes.plot(sizes, rates, marker=next(markers), label=name)
        elif points:
            # one environment per call: a level line to compare the batches with
            axes.axhline(points[0][1], color="grey", linestyle="--", label=f"{name} (1 env)")
    axes.set_xscale("log", base=4)
    axes.set_yscale("log")
    axes.set_xticks(SWEEP_SIZES, [f"{size:,}" for size in SWEEP_SIZES])
    axes.set_xlabel("environments per call (num_envs)")
    axes.set_ylabel("environment-steps per second")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize="small")
    axes.set_title(
        f"Batched stepping, random actions, autoreset\nZandrel {SMALL.label}, "
        f"{PHYSICS_STEPS} sub-steps; peers {PEER_TASK}",
        fontsize="medium",
    )
    figure.savefig(path, dpi=100)
    plt.close(figure)


if __name__ == "__main__":
    print_targets(main())
