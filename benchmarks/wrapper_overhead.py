"""The PettingZoo wrapper's step against the raw module's, on the same layouts and actions.

Usage: python benchmarks/wrapper_overhead.py [--rounds N] [--round-seconds S] [--profile]
"""

from __future__ import annotations

import argparse
import cProfile
import io
import pstats
from collections.abc import Callable, Sequence

from contenders import module_env, until_done, wrapper_env
from reports import Target, micros, print_targets, rate, section, table
from scenarios import PHYSICS_STEPS, SIZES, SMALL, Scenario, action_arrays, as_lists, copied
from timing import Stepper, add_timing_options, race

OVERHEAD_TARGET = 0.5  # the wrapper may add at most half the raw step time (small scenario)
PROFILE_STEPS = 20_000


def main(argv: Sequence[str] | None = None) -> list[Target]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_timing_options(parser)
    parser.add_argument(
        "--profile", action="store_true", help="also profile the wrapper's step (small scenario)"
    )
    args = parser.parse_args(argv)
    targets = run(args.rounds, args.round_seconds)
    if args.profile:
        profile(SMALL)
    return targets


def run(rounds: int, seconds: float) -> list[Target]:
    section(f"ZandrelEnv.step (PettingZoo parallel API) against Environment.step ({rounds} rounds)")
    print(f"visit_all=True, dense rewards, {PHYSICS_STEPS} sub-steps; best round of each case")
    rows: list[list[str]] = []
    overheads: dict[str, float] = {}
    for scenario in SIZES:
        episode = until_done(scenario, action_arrays(scenario))
        print(f"{scenario.label}: {same_work(scenario, episode)}", flush=True)
        timings = race(runners(scenario, episode), rounds, seconds)
        for form in ("float64", "lists"):
            raw, wrapped = timings[f"raw {form}"], timings[f"wrapper {form}"]
            overhead = wrapped.best / raw.best - 1.0
            overheads[f"{scenario.name} {form}"] = overhead
            rows.append(
                [
                    scenario.label,
                    form,
                    micros(raw.best),
                    micros(wrapped.best),
                    micros(wrapped.best - raw.best),
                    f"{overhead:+.0%}",
                    rate(wrapped.rate * scenario.particles),
                ]
            )
    header = ["scenario", "actions", "raw us", "wrapper us", "added us", "overhead"]
    print(table([*header, "wrapper agent-steps/s"], rows))
    small = overheads[f"{SMALL.name} float64"]
    return [
        Target(
            f"{SMALL.name} scenario, float64 actions: the wrapper adds {small:.0%} to the raw "
            f"step time (target <= {OVERHEAD_TARGET:.0%})",
            small <= OVERHEAD_TARGET,
        )
    ]


def runners(scenario: Scenario, episode: list) -> dict[str, Callable[[int], float]]:
    lists = as_lists(episode)
    raw_arrays, raw_lists = module_env(scenario), module_env(scenario)
    wrapped_arrays, wrapped_lists = (wrapper_env(scenario, len(episode)) for _ in range(2))
    # the raw module writes normalised actions back into float64 arrays: it gets its own
    return {
        "raw float64": Stepper(raw_arrays.step, raw_arrays.reset, copied(episode)),
        "wrapper float64": Stepper(wrapped_arrays.step, wrapped_arrays.reset, episode),
        "raw lists": Stepper(raw_lists.step, raw_lists.reset, lists),
        "wrapper lists": Stepper(wrapped_lists.step, wrapped_lists.reset, lists),
    }


def same_work(scenario: Scenario, episode: list) -> str:
    """Whether the wrapper and the raw module end the episode in the same state, bit for bit."""
    raw, wrapped = module_env(scenario), wrapper_env(scenario, len(episode))
    state = None
    # the wrapper hands the core floats, which the raw module gets from lists
    for arrays, lists in zip(episode, as_lists(episode), strict=True):
        wrapped.step(arrays)
        state = raw.step(lists)[0]
    if state is not None and wrapped.state().tobytes() == state.tobytes():
        return "wrapper and raw module end the episode in the same state, bit for bit"
    return "wrapper and raw module end the episode in DIFFERENT states"


def profile(scenario: Scenario) -> None:
    """cProfile of the wrapper's step, to show where its time goes besides the core."""
    section(f"cProfile of ZandrelEnv.step, {scenario.label}, {PROFILE_STEPS:,} steps")
    episode = until_done(scenario, action_arrays(scenario))
    env = wrapper_env(scenario, len(episode))
    stepper = Stepper(env.step, env.reset, episode)
    profiler = cProfile.Profile()
    profiler.runcall(stepper, PROFILE_STEPS)
    report = io.StringIO()
    pstats.Stats(profiler, stream=report).strip_dirs().sort_stats("tottime").print_stats(10)
    print(report.getvalue().strip())


if __name__ == "__main__":
    print_targets(main())
