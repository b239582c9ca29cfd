"""Zandrel against the environment a user would otherwise pick: mpe2's simple_spread_v3.

Both through PettingZoo's parallel API, 3 agents, fixed-length episodes with untimed resets.

Usage: python benchmarks/peer.py [--rounds N] [--round-seconds S]
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from harness import (
    SMALL,
    Stepper,
    Target,
    action_arrays,
    copied,
    micros,
    module_env,
    print_targets,
    race,
    rate,
    section,
    table,
    timed_main,
    until_done,
    wrapper_env,
)

PEER_AGENTS = 3
SPEEDUP_TARGET = 20.0  # Zandrel's wrapper per agent-step against the peer's


def main(argv: Sequence[str] | None = None) -> list[Target]:
    return timed_main(__doc__.splitlines()[0], run, argv)


def run(rounds: int, seconds: float) -> list[Target]:
    section(f"Against mpe2 simple_spread_v3 (PettingZoo parallel API, {rounds} rounds)")
    episode = until_done(SMALL, action_arrays(SMALL))
    peer = peer_runner(len(episode))
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


def peer_runner(episode_steps: int) -> Stepper | None:
    """simple_spread_v3 with random actions from its own action space, drawn beforehand."""
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
    episode: list[dict[str, Any]] = []
    for _ in range(episode_steps):
        episode.append(
            {
                agent: rng.uniform(0.0, 1.0, size=env.action_space(agent).shape).astype(np.float32)
                for agent in env.possible_agents
            }
        )
    return Stepper(env.step, lambda: env.reset(seed=0), episode)


if __name__ == "__main__":
    print_targets(main())
