"""How the step cost grows with the number of particles and boulders.

Usage: python benchmarks/scaling.py [--rounds N] [--round-seconds S] [--plot PATH]
"""

from __future__ import annotations

import argparse
import math
from collections.abc import Sequence
from pathlib import Path

from contenders import module_env, until_done, wrapper_env
from reports import Target, draw_team_sizes, micros, section, table
from scenarios import PHYSICS_STEPS, Scenario, action_arrays, copied
from timing import Stepper, Timing, add_timing_options, race

TEAM_SIZES = (1, 2, 4, 8, 16, 32, 64, 128)


def main(argv: Sequence[str] | None = None) -> list[Target]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_timing_options(parser)
    parser.add_argument("--plot", type=Path, metavar="PATH", help="draw the curves as a PNG")
    args = parser.parse_args(argv)
    return run(args.rounds, args.round_seconds, args.plot)


def scenario(size: int) -> Scenario:
    # as many boulders as particles and a quarter as many landmarks, like the large case
    return Scenario(f"n={size}", size, size, max(1, size // 4))


def run(rounds: int, seconds: float, plot: Path | None = None) -> list[Target]:
    section(
        f"Step time against team size: n particles, n boulders, n/4 landmarks ({rounds} rounds)"
    )
    print(f"visit_all=True, dense rewards, {PHYSICS_STEPS} sub-steps, float64 actions")
    raw: list[Timing] = []
    wrapped: list[Timing] = []
    for size in TEAM_SIZES:
        timings = measure(scenario(size), rounds, seconds)
        raw.append(timings["raw"])
        wrapped.append(timings["wrapper"])
    print(table(*rows(raw, wrapped)))
    if plot is not None:
        draw_team_sizes(plot, TEAM_SIZES, raw, wrapped)
        print(f"wrote {plot}")
    return []


def measure(case: Scenario, rounds: int, seconds: float) -> dict[str, Timing]:
    episode = until_done(case, action_arrays(case))
    raw, wrapped = module_env(case), wrapper_env(case, len(episode))
    runs = {
        "raw": Stepper(raw.step, raw.reset, copied(episode)),
        "wrapper": Stepper(wrapped.step, wrapped.reset, episode),
    }
    return race(runs, rounds, seconds)


def rows(raw: list[Timing], wrapped: list[Timing]) -> tuple[list[str], list[list[str]]]:
    header = ["n", "landmarks", "raw us/step", "us/agent-step", "growth", "wrapper us/step"]
    body = []
    for index, size in enumerate(TEAM_SIZES):
        body.append(
            [
                str(size),
                str(scenario(size).landmarks),
                micros(raw[index].best),
                micros(raw[index].best / size),
                growth(raw, index),
                micros(wrapped[index].best),
            ]
        )
    return header, body


def growth(timings: list[Timing], index: int) -> str:
    """The exponent k of time ~ n^k between this size and the one before."""
    if index == 0:
        return ""
    ratio = timings[index].best / timings[index - 1].best
    return f"n^{math.log(ratio) / math.log(TEAM_SIZES[index] / TEAM_SIZES[index - 1]):.2f}"


if __name__ == "__main__":
    main()
