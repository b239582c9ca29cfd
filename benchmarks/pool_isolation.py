"""Whether one vector env's results slow another's down: a 64-env, 64-particle env stepped
alone and next to a 256-env one that has stepped, in the same run.

Each vector env keeps the memory of its recently freed result arrays for its next step. Were
that memory shared, the large env would fill it with buffers of its own sizes and leave the
small one to malloc and page faults.

Usage: python benchmarks/pool_isolation.py [--rounds N] [--steps N]
"""

from __future__ import annotations

import argparse
import statistics
import time
from collections.abc import Sequence

import numpy as np

import zandrel

SMALL = {"num_envs": 64, "n_agents": 64}
LARGE = {"num_envs": 256, "n_agents": 64}


def env_steps_per_second(env: zandrel.ZandrelVectorEnv, steps: int) -> float:
    actions = np.zeros((env.num_envs, env.n_agents, 2))
    start = time.perf_counter()
    for _ in range(steps):
        env.step(actions)
    return env.num_envs * steps / (time.perf_counter() - start)


def main(argv: Sequence[str] | None = None) -> float:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--steps", type=int, default=40)
    args = parser.parse_args(argv)
    small = zandrel.vector_env(SMALL["num_envs"], n_agents=SMALL["n_agents"], num_threads=2)
    small.reset(seed=0)
    alone = [env_steps_per_second(small, args.steps) for _ in range(args.rounds)]
    large = zandrel.vector_env(LARGE["num_envs"], n_agents=LARGE["n_agents"], num_threads=2)
    large.reset(seed=1)
    large.step(np.zeros((LARGE["num_envs"], LARGE["n_agents"], 2)))
    beside = [env_steps_per_second(small, args.steps) for _ in range(args.rounds)]
    ratio = statistics.median(beside) / statistics.median(alone)
    print(f"64 envs x 64 particles alone:          {statistics.median(alone):9.0f} env-steps/s")
    print(f"the same beside a 256-env env stepped: {statistics.median(beside):9.0f} env-steps/s")
    print(f"ratio (beside / alone):                {ratio:9.2f}")
    return ratio


if __name__ == "__main__":
    main()
