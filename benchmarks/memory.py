"""Resident memory over a long run: nothing may grow with the number of steps.

Usage: python benchmarks/memory.py [--steps N] [--samples K]
"""

from __future__ import annotations

import argparse
import os
import resource
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from harness import (
    SMALL,
    Stepper,
    Target,
    action_arrays,
    copied,
    module_env,
    positive_int,
    print_targets,
    section,
    table,
    until_done,
    wrapper_env,
)

DEFAULT_STEPS = 1_000_000
GROWTH_LIMIT = 1 << 20  # bytes the resident set may gain between the first and last samples
PAGE_BYTES = os.sysconf("SC_PAGE_SIZE")
MIB = 1 << 20


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
    return [
        Target(
            f"{name}: resident memory grew {tr.growth / 1024:+,.0f} KiB over {steps:,} steps "
            f"(target <= {GROWTH_LIMIT // 1024:,} KiB)",
            tr.growth <= GROWTH_LIMIT,
        )
        for name, tr in traces.items()
    ]


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
