"""Resident memory over a long run: nothing may grow with the number of steps.

Beside runs of repeated short episodes, one episode as long as the whole run: the
environment keeps that episode's actions (for pickling) and nothing else per step. Then
the batched environment over ten times as many env-steps, with autoreset.

Usage: python benchmarks/memory.py [--steps N] [--samples K]
"""

from __future__ import annotations

import argparse
import copy
import os
import pickle
import resource
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
from contenders import module_env, until_done, wrapper_env
from reports import Target, print_targets, section, table
from scenarios import SMALL, action_arrays, copied
from timing import Stepper

import zandrel
from zandrel import ZandrelEnv
from zandrel.options import positive_int

DEFAULT_STEPS = 1_000_000
GROWTH_LIMIT = 1 << 20  # bytes the resident set may gain between the first and last samples
PAGE_BYTES = os.sysconf("SC_PAGE_SIZE")
MIB = 1 << 20
ACTION_BYTES = 16  # one agent-step of a kept episode: two float64
ACTION_SLACK = 1 / 16  # spare room the growable buffer of actions may hold
ENVIRONMENT_BYTES = 64 << 10  # what a pickle may hold besides the episode's actions
NEVER_TRUNCATED = 10**12  # max_cycles of the long episode
BATCH_ENVS = 1024  # environments of the batched run
BATCH_STEPS_PER_STEP = 10  # env-steps of the batched run per step of the single runs
BATCH_EPISODE_STEPS = 100  # max_cycles of the batched run: about ten resets per call
LONG_EPISODE_HEADER = [
    *["run", "steps", "first MiB", "last MiB", "B/step"],
    *["pickle MiB", "B/step", "dump cpu s", "load cpu s", "deepcopy cpu s"],
]


def main(argv: Sequence[str] | None = None) -> list[Target]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=positive_int, default=DEFAULT_STEPS, help="steps per run")
    parser.add_argument("--samples", type=positive_int, default=20, help="RSS samples per run")
    args = parser.parse_args(argv)
    return run(args.steps, args.samples)


@dataclass(frozen=True)
class Trace:
    """Resident set sizes in bytes, sampled at equal step intervals after a warm-up chunk."""

    samples: list[int]
    steps: int  # between the first and the last sample
    seconds: float

    @property
    def growth(self) -> int:
        return self.samples[-1] - self.samples[0]


def run(steps: int, samples: int) -> list[Target]:
    section(f"Resident memory over {steps:,} steps, {SMALL.label}, float64 actions")
    episode = until_done(SMALL, action_arrays(SMALL))
    raw, wrapped = module_env(SMALL), wrapper_env(SMALL, len(episode))
    cases = {
        "zandrel_cpp Environment": Stepper(raw.step, raw.reset, copied(episode)),
        "ZandrelEnv": Stepper(wrapped.step, wrapped.reset, episode),
    }
    traces = {name: trace(stepper, steps, samples) for name, stepper in cases.items()}
    print(
        table(
            ["run", "first MiB", "last MiB", "max MiB", "growth KiB", "B/step", "s"], rows(traces)
        )
    )
    # the kernel updates its high-water mark lazily, so the samples can lie above it
    peak = max(peak_rss(), *(max(tr.samples) for tr in traces.values()))
    print(f"peak resident memory of the process: {peak / MIB:.2f} MiB")
    targets = [
        Target(
            f"{name}: resident memory grew {tr.growth / 1024:+,.0f} KiB over {steps:,} steps "
            f"(target <= {GROWTH_LIMIT // 1024:,} KiB)",
            tr.growth <= GROWTH_LIMIT,
        )
        for name, tr in traces.items()
    ]
    return targets + long_episode(steps, samples) + batched(BATCH_STEPS_PER_STEP * steps, samples)


def long_episode(steps: int, samples: int) -> list[Target]:
    """One episode through the whole run, then a pickle round trip and a deep copy of it."""
    section(f"One episode of {steps:,} steps, {SMALL.label}, float64 actions, then copied")
    env = wrapper_env(SMALL, NEVER_TRUNCATED)
    # the stepper's resets only start the list of actions again: the episode goes on
    tr = trace(Stepper(env.step, lambda: None, action_arrays(SMALL)), steps, samples)
    if not env.agents:
        raise RuntimeError(f"the long episode ended after {env.steps:,} steps; it must not end")
    episode_steps = env.steps
    # processor time of one call each: other jobs on a shared machine do not inflate it
    started = time.process_time()
    pickled = pickle.dumps(env)
    dump_seconds = time.process_time() - started
    started = time.process_time()
    restored = pickle.loads(pickled)
    load_seconds = time.process_time() - started
    started = time.process_time()
    copy.deepcopy(env)
    deepcopy_seconds = time.process_time() - started
    same = same_next_step(env, restored)
    print(
        table(
            LONG_EPISODE_HEADER,
            [
                [
                    "ZandrelEnv",
                    f"{episode_steps:,}",
                    f"{tr.samples[0] / MIB:.2f}",
                    f"{tr.samples[-1] / MIB:.2f}",
                    f"{tr.growth / tr.steps:.1f}",
                    f"{len(pickled) / MIB:.2f}",
                    f"{len(pickled) / episode_steps:.1f}",
                    f"{dump_seconds:.2f}",
                    f"{load_seconds:.2f}",
                    f"{deepcopy_seconds:.2f}",
                ]
            ],
        )
    )
    step_bytes = ACTION_BYTES * SMALL.particles
    growth_limit = step_bytes * (1 + ACTION_SLACK) * tr.steps + GROWTH_LIMIT
    return [
        Target(
            f"ZandrelEnv, one episode: resident memory grew {tr.growth / tr.steps:.1f} B/step "
            f"(target <= {step_bytes * (1 + ACTION_SLACK):.0f} B/step plus "
            f"{GROWTH_LIMIT // 1024:,} KiB, the kept actions)",
            tr.growth <= growth_limit,
        ),
        Target(
            f"ZandrelEnv, one episode: pickle of {len(pickled) / MIB:,.1f} MiB after "
            f"{episode_steps:,} steps (target <= {step_bytes} B/step plus "
            f"{ENVIRONMENT_BYTES // 1024} KiB)",
            len(pickled) <= step_bytes * episode_steps + ENVIRONMENT_BYTES,
        ),
        Target("ZandrelEnv, one episode: the unpickled copy steps on like the original", same),
    ]


def batched(env_steps: int, samples: int) -> list[Target]:
    """zandrel.vector_env on 2 threads, fresh result arrays every call, ended episodes reset."""
    calls = max(1, env_steps // BATCH_ENVS)
    section(
        f"Resident memory over {env_steps:,} env-steps of zandrel.vector_env, "
        f"{BATCH_ENVS:,} environments of {SMALL.label}, 2 threads"
    )
    env = zandrel.vector_env(
        BATCH_ENVS,
        num_threads=2,
        autoreset_mode="same_step",  # the mode the published figures were measured in
        n_agents=SMALL.particles,
        n_boulders=SMALL.boulders,
        n_landmarks=SMALL.landmarks,
        visit_all=True,
        max_cycles=BATCH_EPISODE_STEPS,
    )
    env.reset(seed=0)
    rng = np.random.default_rng(0)
    pool = [rng.uniform(-1, 1, (BATCH_ENVS, SMALL.particles, 2)) for _ in range(8)]

    def step_calls(count: int) -> float:
        started = time.perf_counter()
        for call in range(count):
            env.step(pool[call % len(pool)])
        return time.perf_counter() - started

    tr = trace(step_calls, calls, samples)
    env.close()
    per_env_step = tr.growth / (tr.steps * BATCH_ENVS)
    print(
        table(
            ["run", "env-steps", "first MiB", "last MiB", "max MiB", "growth KiB", "B/env-step"],
            [
                [
                    "vector_env",
                    f"{tr.steps * BATCH_ENVS:,}",
                    f"{tr.samples[0] / MIB:.2f}",
                    f"{tr.samples[-1] / MIB:.2f}",
                    f"{max(tr.samples) / MIB:.2f}",
                    f"{tr.growth / 1024:+,.0f}",
                    f"{per_env_step:+.4f}",
                ]
            ],
        )
    )
    return [
        Target(
            f"vector_env: resident memory grew {tr.growth / 1024:+,.0f} KiB over "
            f"{tr.steps * BATCH_ENVS:,} env-steps (target <= {GROWTH_LIMIT // 1024:,} KiB)",
            tr.growth <= GROWTH_LIMIT,
        )
    ]


def same_next_step(original: ZandrelEnv, restored: ZandrelEnv) -> bool:
    """Whether the restored copy is in the original's state and steps on identically."""
    actions = action_arrays(SMALL, 1)[0]
    same_state = np.array_equal(original.state(), restored.state())
    results = [pickle.dumps(env.step(copied([actions])[0])) for env in (original, restored)]
    return same_state and results[0] == results[1]


def trace(stepper: Callable[[int], float], steps: int, samples: int) -> Trace:
    """RSS after a warm-up chunk, then after each further chunk of steps."""
    chunk = max(1, steps // samples)
    stepper(chunk)  # warm-up: pools, caches and the allocator settle first
    started = time.perf_counter()
    rss = [resident()]
    for _ in range(samples):
        stepper(chunk)
        rss.append(resident())
    return Trace(rss, chunk * samples, time.perf_counter() - started)


def rows(traces: dict[str, Trace]) -> list[list[str]]:
    body = []
    for name, tr in traces.items():
        body.append(
            [
                name,
                f"{tr.samples[0] / MIB:.2f}",
                f"{tr.samples[-1] / MIB:.2f}",
                f"{max(tr.samples) / MIB:.2f}",
                f"{tr.growth / 1024:+,.0f}",
                f"{tr.growth / tr.steps:+.3f}",
                f"{tr.seconds:.1f}",
            ]
        )
    return body


def resident() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_BYTES


def peak_rss() -> int:
    # Linux reports ru_maxrss in KiB
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


if __name__ == "__main__":
    print_targets(main())
