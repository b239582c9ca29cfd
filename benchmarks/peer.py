"""Zandrel against the environment a user would otherwise pick: mpe2's simple_spread_v3.

Both through PettingZoo's parallel API, 3 agents, fixed-length episodes with untimed resets.

Usage: python benchmarks/peer.py [--rounds N] [--round-seconds S]
"""

from __future__ import annotations

from collections.abc import Callable, Sequence

from contenders import module_env, mpe2_stepper, until_done, wrapper_env
from reports import Target, micros, print_targets, rate, section, table
from scenarios import PEER_AGENTS, SMALL, action_arrays, copied
from timing import Stepper, race, timed_main

SPEEDUP_TARGET = 20.0  # Zandrel's wrapper per agent-step against the peer's


def main(argv: Sequence[str] | None = None) -> list[Target]:
    return timed_main(__doc__.splitlines()[0], run, argv)


def run(rounds: int, seconds: float) -> list[Target]:
    section(f"Against mpe2 simple_spread_v3 (PettingZoo parallel API, {rounds} rounds)")
    episode = until_done(SMALL, action_arrays(SMALL))
    peer = mpe2_stepper(len(episode))
    if peer is None:
        print("mpe2 is not installed: pip install '.[bench]'")
        return [Target("mpe2 comparison: mpe2 is not installed", False)]
    wrapped, raw = wrapper_env(SMALL, len(episode)), module_env(SMALL)
    cases: dict[str, tuple[Callable[[int], float], int]] = {
        f"mpe2 simple_spread_v3, N={PEER_AGENTS}, continuous": (peer, PEER_AGENTS),
        f"zandrel ZandrelEnv, {SMALL.label}": (
            Stepper(wrapped.step, wrapped.reset, episode),
            SMALL.particles,
        ),
        f"zandrel_cpp Environment, {SMALL.label}": (
            Stepper(raw.step, raw.reset, copied(episode)),
            SMALL.particles,
        ),
    }
    timings = race({name: run for name, (run, _) in cases.items()}, rounds, seconds)
    agent_rates = {name: timings[name].rate * agents for name, (_, agents) in cases.items()}
    peer_rate = next(iter(agent_rates.values()))
    rows = [
        [name, micros(timings[name].best), rate(agent_rate), f"{agent_rate / peer_rate:,.1f}x"]
        for name, agent_rate in agent_rates.items()
    ]
    print(table(["environment", "us/step", "agent-steps/s", "vs mpe2"], rows))
    wrapper_speedup = list(agent_rates.values())[1] / peer_rate
    return [
        Target(
            f"ZandrelEnv {wrapper_speedup:,.0f}x mpe2's agent-steps per second, same API "
            f"(target >= {SPEEDUP_TARGET:.0f}x)",
            wrapper_speedup >= SPEEDUP_TARGET,
        )
    ]


if __name__ == "__main__":
    print_targets(main())
