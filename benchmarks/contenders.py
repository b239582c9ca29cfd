"""The systems the benchmarks time, each built ready to step on a scenario.

One environment at a time: the raw module, the pure-Python model, the PettingZoo wrapper and
mpe2's simple_spread. Batches of environments: the raw module as the baseline, SuperSuit over
`parallel_env`, Zandrel's vector environments, VMAS and JaxMARL.
"""

from __future__ import annotations

import functools
import importlib
import importlib.util
import os
import sys
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import zandrel_cpp
from scenarios import (
    BATCH_SCENES,
    BATCH_SEED,
    EPISODE_STEPS,
    PEER_AGENTS,
    PEER_TASK,
    SMALL,
    SUPERSUIT_ENVS,
    SUPERSUIT_SWEEP_SIZES,
    SWEEP_SIZES,
    TABLE_SIZES,
    Actions,
    Scenario,
    agent_names,
    layout,
)
from timing import Batch, Stepper

import zandrel
from zandrel.config import CONTACT_DISTANCE, REFERENCE_SPAWN_SIZE
from zandrel.layouts import Layout, draw_layout, seed_state
from zandrel.native import new_core
from zandrel.options import EnvConfig

MODEL_PATH = Path(__file__).resolve().parent.parent / "tests" / "native" / "reference_model.py"


# --- one environment per step -------------------------------------------------------------


def init_args(start: Layout, config: EnvConfig) -> tuple[Any, ...]:
    """`Environment.init`'s arguments for a start layout, as `parallel_env` passes them."""
    positions = (start.particles, start.boulders, start.landmarks)
    return (
        *(points.ravel().tolist() for points in positions),
        config.n_physics_steps,
        config.sparse_rewards,
        config.visit_all,
        config.sparse_weight,
    )


def scenario_init_args(scenario: Scenario) -> tuple[Any, ...]:
    return init_args(layout(scenario), EnvConfig(**scenario.config()))


def module_env(scenario: Scenario) -> zandrel_cpp.Environment:
    core = new_core()
    core.init(*scenario_init_args(scenario))
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
    model.init(*scenario_init_args(scenario))
    model.reset()
    return model


def wrapper_env(scenario: Scenario, episode_steps: int = EPISODE_STEPS) -> zandrel.ZandrelEnv:
    """The PettingZoo environment started on the scenario's layout instead of a random one."""
    start = layout(scenario)
    env = zandrel.ZandrelEnv(
        **{
            **scenario.config(),
            "max_cycles": episode_steps,
            # construction tries a random draw, which needs more room than the scenario's
            # grid takes; twice its square leaves enough at every size
            "spawn_size": 2.0 * spawn_side(start),
        }
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


def mpe2_stepper(episode_steps: int) -> Stepper | None:
    """mpe2's simple_spread_v3 with random actions from its own action space, drawn beforehand.

    None when mpe2 is not installed.
    """
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # its import may warn about its dependencies
            from mpe2 import simple_spread_v3
    except ImportError:
        return None
    env = simple_spread_v3.parallel_env(
        N=PEER_AGENTS, continuous_actions=True, max_cycles=episode_steps
    )
    env.reset(seed=0)
    rng = np.random.default_rng(0)
    episode: list[Actions] = []
    for _ in range(episode_steps):
        episode.append(
            {
                agent: rng.uniform(0.0, 1.0, size=env.action_space(agent).shape).astype(np.float32)
                for agent in env.possible_agents
            }
        )
    return Stepper(env.step, lambda: env.reset(seed=0), episode)


# --- batches of environments ----------------------------------------------------------------


@dataclass(frozen=True)
class Contender:
    """One system in the batched race: how to build its batch and where to measure it."""

    make: Callable[[int, Scenario], Batch]  # (num_envs, scenario) -> batch
    table_sizes: tuple[int, ...]
    sweep_sizes: tuple[int, ...]  # measured on the small scenario only
    scenes: tuple[Scenario, ...] = BATCH_SCENES
    # an optional peer: needs these modules, is left out with --no-peers, and an error in it
    # skips it with the reason instead of stopping the run
    peer_modules: tuple[str, ...] = ()

    @property
    def peer(self) -> bool:
        return bool(self.peer_modules)

    def task(self, scene: Scenario) -> str:
        return PEER_TASK if self.peer else scene.counts


class RawEnvironment:
    """One `zandrel_cpp.Environment` with random actions, restarted when an episode ends."""

    def __init__(self, scene: Scenario) -> None:
        rng = np.random.default_rng(BATCH_SEED)
        self._config = EnvConfig(**scene.config())
        # each episode draws its layout natively, as the single and the batched environment do
        self._layout_state = seed_state(BATCH_SEED)
        names = agent_names(scene.particles)
        self._actions = [self._random_actions(rng, names) for _ in range(EPISODE_STEPS)]
        self._core = new_core()
        self._restart()

    @staticmethod
    def _random_actions(rng: np.random.Generator, names: list[str]) -> dict[str, tuple]:
        pairs = rng.uniform(-1.0, 1.0, (len(names), 2)).tolist()
        return {name: tuple(pair) for name, pair in zip(names, pairs, strict=True)}

    def _restart(self) -> None:
        start = draw_layout(self._layout_state, self._config)
        self._core.init(*init_args(start, self._config))
        self._core.reset()
        self._steps = 0

    def step(self) -> None:
        terminations = self._core.step(self._actions[self._steps])[3]
        self._steps += 1
        if self._steps == EPISODE_STEPS or True in terminations.values():
            self._restart()


def raw_batch(num_envs: int, scene: Scenario) -> Batch:
    if num_envs != 1:
        raise ValueError(f"the raw environment steps one environment per call, got {num_envs}")
    return Batch(RawEnvironment(scene).step, env_steps=1, calls_per_episode=EPISODE_STEPS)


def supersuit_batch(num_envs: int, scene: Scenario) -> Batch:
    """concat_vec_envs_v1 over pettingzoo_env_to_vec_env_v1(parallel_env), in this process."""
    import supersuit

    agents = supersuit.pettingzoo_env_to_vec_env_v1(zandrel.parallel_env(**scene.config()))
    vec_env = supersuit.concat_vec_envs_v1(agents, num_envs, num_cpus=0, base_class="gymnasium")
    vec_env.reset(seed=BATCH_SEED)
    rng = np.random.default_rng(BATCH_SEED)
    # one row per agent of every environment
    shape = (vec_env.num_envs, 2)

    def step() -> None:
        vec_env.step(rng.uniform(-1.0, 1.0, size=shape).astype(np.float32))

    return Batch(step, env_steps=num_envs, calls_per_episode=EPISODE_STEPS)


ACTION_POOL = 8  # random action arrays drawn beforehand and cycled, so no call pays for drawing


def vector_batch(num_threads: int) -> Callable[[int, Scenario], Batch]:
    """zandrel.vector_env with a fixed thread count: one team action array per call."""

    def make(num_envs: int, scene: Scenario) -> Batch:
        # the mode the published figures were measured in
        env = zandrel.vector_env(
            num_envs, num_threads=num_threads, autoreset_mode="same_step", **scene.config()
        )
        env.reset(seed=BATCH_SEED)
        pool = _action_pool((num_envs, scene.particles, 2))
        return Batch(_cycling(env.step, pool), env_steps=num_envs, calls_per_episode=EPISODE_STEPS)

    return make


def agent_vector_batch(num_envs: int, scene: Scenario) -> Batch:
    """zandrel.agent_vector_env on 1 thread: one action row per agent, float32 like SuperSuit's."""
    env = zandrel.agent_vector_env(num_envs, num_threads=1, **scene.config())
    env.reset(seed=BATCH_SEED)
    pool = _action_pool((num_envs * scene.particles, 2))
    return Batch(_cycling(env.step, pool), env_steps=num_envs, calls_per_episode=EPISODE_STEPS)


def _action_pool(shape: tuple[int, ...]) -> list[np.ndarray]:
    rng = np.random.default_rng(BATCH_SEED)
    return [rng.uniform(-1.0, 1.0, size=shape).astype(np.float32) for _ in range(ACTION_POOL)]


def _cycling(step: Callable[[np.ndarray], object], pool: list[np.ndarray]) -> Callable[[], None]:
    calls = iter(range(1 << 62))

    def call() -> None:
        step(pool[next(calls) % ACTION_POOL])

    return call


# torch's default of one OpenMP thread per core made small-tensor ops of VMAS up to 30 times
# slower on this shared 2-core machine (a torch.min over 64 x 3 floats took 10 ms when other
# jobs held the cores); on one thread VMAS runs at its best here
VMAS_TORCH_THREADS = 1


def vmas_batch(num_envs: int, scene: Scenario) -> Batch:
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
        seed=BATCH_SEED,
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


SCAN_STEPS = 100  # JaxMARL steps per call, inside one jitted scan


def jaxmarl_batch(num_envs: int, scene: Scenario) -> Batch:
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


@functools.cache
def jaxmarl_starts() -> tuple[Any, Any, Any]:
    """simple_spread and the keys and start states of the largest batch, for every batch.

    A vmapped reset compiles anew for every batch size; slices of one batch need no compiling.
    """
    import jax

    jaxmarl = silent_import("jaxmarl")
    env = jaxmarl.make("MPE_simple_spread_v3", action_type="Continuous", max_steps=EPISODE_STEPS)
    keys = jax.random.split(jax.random.PRNGKey(BATCH_SEED), max(SWEEP_SIZES + TABLE_SIZES))
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


def batched_peer(make: Callable[[int, Scenario], Batch], *modules: str) -> Contender:
    """An optional peer: its own task, beside Zandrel's small scene, at every batch size."""
    return Contender(make, TABLE_SIZES, SWEEP_SIZES, scenes=(SMALL,), peer_modules=modules)


RAW = "zandrel_cpp Environment.step"
SUPERSUIT = "SuperSuit concat_vec_envs_v1(parallel_env)"
VMAS = f"VMAS simple_spread, torch {VMAS_TORCH_THREADS} thread"
JAXMARL = "JaxMARL MPE simple_spread, jit + vmap"
# the batched engine's contenders, under the names the batched targets read
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
    VMAS: batched_peer(vmas_batch, "torch", "vmas"),
    JAXMARL: batched_peer(jaxmarl_batch, "jax", "jaxmarl"),
}
