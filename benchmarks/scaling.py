"""How the step cost grows with the number of particles and boulders.

Usage: python benchmarks/scaling.py [--rounds N] [--round-seconds S] [--plot PATH]
"""

from __future__ import annotations

import argparse
import math
from collections.abc import Sequence
from pathlib import Path

from harness import (
    PHYSICS_STEPS,
    Scenario,
    Stepper,
    Target,
    Timing,
    action_arrays,
    add_timing_options,
    copied,
    micros,
    module_env,
    race,
    section,
    table,
    until_done,
    wrapper_env,
)

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
        draw(plot, raw, wrapped)
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


def draw(path: Path, raw: list[Timing], wrapped: list[Timing]) -> None:
    import matplotlib

    matplotlib.use("Agg")  # files only, no window
    from matplotlib import pyplot as plt
    from matplotlib import ticker

    figure, (per_step, per_agent) = plt.subplots(1, 2, figsize=(11, 4.5), layout="constrained")
    for timings, label, marker in (
        (raw, "zandrel_cpp Environment", "o"),
        (wrapped, "ZandrelEnv", "s"),
    ):
        step_us = [timing.best * 1e6 for timing in timings]
        per_step.plot(TEAM_SIZES, step_us, marker=marker, label=label)
        per_agent.plot(
            TEAM_SIZES, [t / n for t, n in zip(step_us, TEAM_SIZES, strict=True)], marker=marker
        )
    per_step.set_title("time per step")
    per_step.set_ylabel("microseconds per step")
    per_agent.set_title("time per agent-step")
    per_agent.set_ylabel("microseconds per agent-step")
    for axes in (per_step, per_agent):
        axes.set_xscale("log", base=2)
        axes.set_yscale("log")
        axes.set_xticks(TEAM_SIZES, [str(size) for size in TEAM_SIZES])
        axes.yaxis.set_major_locator(ticker.LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
        axes.yaxis.set_major_formatter(ticker.FuncFormatter(lambda value, _: f"{value:g}"))
        axes.yaxis.set_minor_formatter(ticker.NullFormatter())
        axes.set_xlabel("particles = boulders (landmarks = n/4)")
        axes.grid(True, which="both", alpha=0.3)
    per_step.legend()
    figure.suptitle(f"Zandrel step cost, visit_all, dense rewards, {PHYSICS_STEPS} sub-steps")
    figure.savefig(path, dpi=100)
    plt.close(figure)


if __name__ == "__main__":
    main()
