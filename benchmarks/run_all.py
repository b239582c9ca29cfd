"""Every Zandrel benchmark in one run, with the machine it ran on and a PASS/FAIL summary.

Usage: python benchmarks/run_all.py [--quick] [--rounds N] [--round-seconds S]
                                    [--memory-steps N] [--plot PATH] [--no-peers]
"""

from __future__ import annotations

import argparse
import shlex
import sys
import time
from collections.abc import Sequence
from pathlib import Path

import batched
import memory
import peer
import scaling
import step_throughput
import team_size
import wrapper_overhead
from harness import Target, add_timing_options, load, machine, positive_int, section

QUICK = {"rounds": 10, "round_seconds": 0.01, "memory_steps": 100_000}


def main(argv: Sequence[str] | None = None) -> int:
    args = parse(argv)
    started = time.perf_counter()
    options = sys.argv[1:] if argv is None else list(argv)
    print("$ python " + shlex.join(["benchmarks/run_all.py", *options]))
    print("\n".join(machine()))
    targets: list[Target] = []
    targets += step_throughput.run(args.rounds, args.round_seconds)
    targets += wrapper_overhead.run(args.rounds, args.round_seconds)
    targets += peer.run(args.rounds, args.round_seconds)
    targets += scaling.run(args.rounds, args.round_seconds, args.plot)
    targets += memory.run(args.memory_steps, samples=20)
    targets += team_size.run(
        args.rounds, args.round_seconds, team_size_plot(args.plot), peers=not args.no_peers
    )
    # last: the peers' runtimes (torch, XLA) keep threads and memory until the process ends
    targets += batched.run(
        args.rounds,
        args.round_seconds,
        batched_plot(args.plot),
        peers=not args.no_peers,
        sweep=not args.quick,
    )
    section("Targets")
    print("\n".join(target.line() for target in targets))
    passed = sum(target.passed for target in targets)
    unmeasured = sum(target.unmeasured is not None for target in targets)
    print(
        f"{passed} of {len(targets)} targets met, {unmeasured} not measured; "
        f"{time.perf_counter() - started:.0f} s in all"
    )
    print(load())
    return 0


def parse(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_timing_options(parser)
    parser.add_argument(
        "--memory-steps",
        type=positive_int,
        default=memory.DEFAULT_STEPS,
        help="steps of each memory run",
    )
    parser.add_argument(
        "--plot",
        type=Path,
        metavar="PATH",
        help="draw the scaling curves as PNG, the batched sweep beside it as PATH_batched and "
        "the team-size sweep as team_size.png in the same folder",
    )
    parser.add_argument(
        "--no-peers",
        action="store_true",
        help="leave VMAS and JaxMARL out of the batched benchmark (they compile and run long)",
    )
    parser.add_argument(
        "--quick",
        action="store_true",
        help=f"short run: {QUICK['rounds']} rounds of {QUICK['round_seconds']} s, "
        f"{QUICK['memory_steps']:,} memory steps, no batched sweep unless --plot",
    )
    # --quick changes the defaults; options given as well still win
    if parser.parse_args(argv).quick:
        parser.set_defaults(**QUICK)
    return parser.parse_args(argv)


def batched_plot(plot: Path | None) -> Path | None:
    """The batched sweep's PNG beside the team-size one: scaling.png -> scaling_batched.png."""
    return None if plot is None else plot.with_stem(f"{plot.stem}_batched")


def team_size_plot(plot: Path | None) -> Path | None:
    """The team-size sweep's PNG in the same folder: scaling.png -> team_size.png."""
    return None if plot is None else plot.with_name("team_size.png")


if __name__ == "__main__":
    sys.exit(main())
