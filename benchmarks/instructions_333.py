"""Steps the 3/3/3 visit-all scene a given number of times, for instruction counts.

It uses only what earlier releases had too, so that two builds can be compared.

Timings on a shared machine swing by tens of percent; instruction counts do not. Run it
under callgrind for two step counts and take the difference, per step:

    valgrind --tool=callgrind python benchmarks/instructions_333.py raw 2000
    valgrind --tool=callgrind python benchmarks/instructions_333.py raw 22000

`raw` steps the native `zandrel_cpp.Environment` through its dict intake on a fixed layout;
`batched` steps `zandrel.vector_env` (85 environments, 1 thread, SAME_STEP autoreset).
"""

from __future__ import annotations

import argparse

import numpy as np
import zandrel_cpp
from gymnasium.vector import AutoresetMode

import zandrel

BATCH_ENVS = 85
ACTION_POOL = 64


def step_raw(steps: int) -> None:
    env = zandrel_cpp.Environment()
    particles = [-10.0, -10.0, 0.0, -12.0, 10.0, -10.0]
    boulders = [-10.0, -3.0, 0.0, -5.0, 10.0, -3.0]
    landmarks = [-10.0, 8.0, 0.0, 9.0, 10.0, 8.0]
    env.init(particles, boulders, landmarks, 5, False, True, 1.0)
    env.reset()
    names = [f"particle_{index}" for index in range(3)]
    rng = np.random.default_rng(0)
    pool = [
        dict(zip(names, map(tuple, rng.uniform(-1, 1, (3, 2)).tolist()), strict=True))
        for _ in range(ACTION_POOL)
    ]
    for step in range(steps):
        env.step(pool[step % ACTION_POOL])


def step_batched(steps: int) -> None:
    # the enum, not its name: older releases took only the enum's value
    env = zandrel.vector_env(
        BATCH_ENVS,
        num_threads=1,
        autoreset_mode=AutoresetMode.SAME_STEP,
        n_agents=3,
        n_boulders=3,
        n_landmarks=3,
        visit_all=True,
        max_cycles=100,
    )
    env.reset(seed=0)
    rng = np.random.default_rng(0)
    pool = [rng.uniform(-1, 1, (BATCH_ENVS, 3, 2)) for _ in range(ACTION_POOL)]
    for step in range(steps):
        env.step(pool[step % ACTION_POOL])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("kind", choices=("raw", "batched"))
    parser.add_argument("steps", type=int, help="calls of step")
    args = parser.parse_args()
    (step_raw if args.kind == "raw" else step_batched)(args.steps)


if __name__ == "__main__":
    main()
