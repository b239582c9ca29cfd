"""RLlib PPO on Zandrel: one policy shared by every particle, on a local or an existing Ray cluster.

Usage: ``python examples/rllib_ppo.py [--iterations N] [--num-env-runners N]
[--num-envs-per-env-runner N] [--address ADDRESS] [--checkpoint-dir DIR] [environment options]``

The environment is ``zandrel.parallel_env`` behind RLlib's ``ParallelPettingZooEnv``, so every
particle acts at every step, and all particles are trained as one PPO policy (parameter
sharing) on RLlib's default API stack. The run connects to the cluster at ``--address`` or
``$RAY_ADDRESS`` and otherwise starts a Ray instance on this machine. Each iteration prints the
team return and episode length (means over the episodes that ended in the iteration), the
env-steps sampled per second of the iteration's wall time (sampling and learning), and how many
env steps each node's env runners sampled. Needs the `rllib` extra (``pip install ".[rllib]"``).
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import ray
from ray import cloudpickle
from ray.rllib.algorithms.ppo import PPOConfig
from ray.rllib.core.rl_module.multi_rl_module import MultiRLModuleSpec
from ray.rllib.core.rl_module.rl_module import RLModuleSpec
from ray.rllib.env.wrappers.pettingzoo_env import ParallelPettingZooEnv
from ray.tune.registry import register_env

import zandrel
from zandrel.options import (
    add_config_arguments,
    config_from,
    non_negative_int,
    positive_int,
)

ENV_NAME = "zandrel"
SHARED_POLICY = "shared"
# metric that every env runner logs: the env steps it sampled, under the id of its node
ENV_STEPS_BY_NODE = "env_steps_by_node"


@dataclass(frozen=True)
class IterationReport:
    """One training iteration as the driver saw it."""

    iteration: int
    # means over the episodes that ended in this iteration; NaN when none ended
    team_return: float
    episode_length: float
    env_steps: int
    seconds: float
    # node id -> env steps sampled there in this iteration
    env_steps_by_node: dict[str, int]

    @property
    def env_steps_per_second(self) -> float:
        return self.env_steps / self.seconds

    def describe(self) -> str:
        nodes = ", ".join(
            f"{node_id[:8]} {steps}" for node_id, steps in sorted(self.env_steps_by_node.items())
        )
        return (
            f"iteration {self.iteration:3d}: team return {self.team_return:8.3f}, "
            f"episode length {self.episode_length:6.1f}, {self.env_steps} env-steps in "
            f"{self.seconds:5.1f} s ({self.env_steps_per_second:6.0f} env-steps/s); "
            f"env steps by node: {nodes}"
        )


def make_env(env_config: dict[str, Any]) -> ParallelPettingZooEnv:
    return ParallelPettingZooEnv(zandrel.parallel_env(**env_config))


def share_policy(agent_id: str, episode: Any, **kwargs: Any) -> str:
    return SHARED_POLICY


def log_env_steps_by_node(*, metrics_logger: Any, samples: Sequence[Any], **kwargs: Any) -> None:
    """Count this env runner's sampled env steps under its node, summed over runners."""
    node_id = ray.get_runtime_context().get_node_id()
    # the length of a multi-agent episode chunk is its number of env steps
    env_steps = sum(len(episode) for episode in samples)
    metrics_logger.log_value((ENV_STEPS_BY_NODE, node_id), env_steps, reduce="sum")


def build_config(
    env_config: dict[str, Any],
    *,
    num_env_runners: int = 2,
    num_envs_per_env_runner: int = 1,
    train_batch_size: int = 4000,
    minibatch_size: int = 500,
    num_epochs: int = 5,
    seed: int = 0,
) -> PPOConfig:
    """PPO with one module shared by every particle and learning in the driver process."""
    return (
        PPOConfig()
        .environment(ENV_NAME, env_config=env_config)
        .multi_agent(policies={SHARED_POLICY}, policy_mapping_fn=share_policy)
        .rl_module(
            rl_module_spec=MultiRLModuleSpec(rl_module_specs={SHARED_POLICY: RLModuleSpec()})
        )
        .env_runners(
            num_env_runners=num_env_runners,
            num_envs_per_env_runner=num_envs_per_env_runner,
            num_cpus_per_env_runner=1,
        )
        .learners(num_learners=0)
        .training(
            train_batch_size_per_learner=train_batch_size,
            minibatch_size=min(minibatch_size, train_batch_size),
            num_epochs=num_epochs,
            lr=3e-4,
            gamma=0.99,
            lambda_=0.95,
        )
        .callbacks(on_sample_end=log_env_steps_by_node)
        .debugging(seed=seed)
    )


def train(
    env_config: dict[str, Any],
    *,
    iterations: int,
    address: str | None = None,
    on_iteration: Callable[[IterationReport], None] = lambda report: None,
    checkpoint_dir: Path | None = None,
    **config_options: Any,
) -> list[IterationReport]:
    """Train for `iterations` on the cluster at `address`, or on a new local Ray instance.

    `config_options` go to :func:`build_config`. With `checkpoint_dir` the trained algorithm
    is saved there (RLlib's checkpoint layout). Ray is shut down (for an existing cluster:
    disconnected from) before this returns.
    """
    if __name__ != "__main__":
        # imported from a test or a notebook, this file is not on the workers' import path:
        # ship its functions to them by value, as for a script
        cloudpickle.register_pickle_by_value(sys.modules[__name__])
    config = build_config(env_config, **config_options)
    # RLlib's PettingZoo wrapper orders agents by string hash, so runs repeat only with
    # PYTHONHASHSEED fixed: the workers get the driver's, wherever their node was started
    hash_seed = os.environ.get("PYTHONHASHSEED")
    runtime_env = {"env_vars": {"PYTHONHASHSEED": hash_seed}} if hash_seed else None
    if address is None:
        # one CPU slot per env runner at least: more runners than cores share the cores
        # instead of waiting forever for a free CPU
        num_cpus = max(os.cpu_count() or 1, config.num_env_runners)
        ray.init(address="local", num_cpus=num_cpus, runtime_env=runtime_env)
    else:
        ray.init(address=address, runtime_env=runtime_env)
    try:
        register_env(ENV_NAME, make_env)
        algo = config.build_algo()
        try:
            reports = []
            for _ in range(iterations):
                reports.append(_report(algo.train()))
                on_iteration(reports[-1])
            if checkpoint_dir is not None:
                algo.save_to_path(str(checkpoint_dir.resolve()))
            return reports
        finally:
            algo.stop()
    finally:
        ray.shutdown()


def _report(result: dict[str, Any]) -> IterationReport:
    runners = result["env_runners"]
    # every particle receives the team reward, so each one's return is the team return;
    # RLlib's episode_return_mean is their sum
    agent_returns = runners.get("agent_episode_returns_mean", {})
    team_return = sum(agent_returns.values()) / len(agent_returns) if agent_returns else math.nan
    return IterationReport(
        iteration=result["training_iteration"],
        team_return=float(team_return),
        episode_length=float(runners.get("episode_len_mean", math.nan)),
        env_steps=int(runners["num_env_steps_sampled"]),
        seconds=float(result["time_this_iter_s"]),
        env_steps_by_node={
            node_id: int(steps) for node_id, steps in runners.get(ENV_STEPS_BY_NODE, {}).items()
        },
    )


def main(argv: Sequence[str] | None = None) -> int:
    parser = _build_parser()
    args = parser.parse_args(argv)
    env_config = config_from(args)
    try:
        zandrel.parallel_env(**env_config)
    except ValueError as error:
        parser.error(str(error))
    address = args.address or os.environ.get("RAY_ADDRESS") or None
    print(f"Ray: {'connecting to ' + address if address else 'starting a local instance'}")
    started = time.perf_counter()
    reports = train(
        env_config,
        iterations=args.iterations,
        address=address,
        on_iteration=lambda report: print(report.describe(), flush=True),
        num_env_runners=args.num_env_runners,
        num_envs_per_env_runner=args.num_envs_per_env_runner,
        train_batch_size=args.train_batch_size,
        seed=args.seed,
        checkpoint_dir=args.checkpoint_dir,
    )
    if args.checkpoint_dir is not None:
        print(f"saved the trained algorithm to {args.checkpoint_dir}")
    env_steps = sum(report.env_steps for report in reports)
    training_seconds = sum(report.seconds for report in reports)
    print(
        f"{len(reports)} iterations, {env_steps} env-steps in {training_seconds:.1f} s of "
        f"training ({env_steps / training_seconds:.0f} env-steps/s); "
        f"{time.perf_counter() - started:.1f} s in all"
    )
    return 0


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        description="Train one PPO policy shared by all particles with RLlib on a Ray cluster.",
    )
    parser.add_argument(
        "--iterations",
        type=positive_int,
        default=10,
        help="training iterations (default: %(default)s)",
    )
    parser.add_argument(
        "--num-env-runners",
        type=non_negative_int,
        default=2,
        help="sampling actors, 1 CPU each (default: %(default)s)",
    )
    parser.add_argument(
        "--num-envs-per-env-runner",
        type=positive_int,
        default=1,
        help="environments per runner (default: %(default)s)",
    )
    parser.add_argument(
        "--train-batch-size",
        type=positive_int,
        default=4000,
        help="env steps per iteration (default: %(default)s)",
    )
    parser.add_argument(
        "--seed",
        type=int,
        default=0,
        help="seed of RLlib and the environments (default: %(default)s)",
    )
    parser.add_argument(
        "--checkpoint-dir",
        type=Path,
        help="save the trained algorithm there at the end (RLlib's checkpoint layout)",
    )
    parser.add_argument(
        "--address",
        help="Ray cluster to connect to (default: $RAY_ADDRESS, else a local one)",
    )
    add_config_arguments(parser)
    return parser


if __name__ == "__main__":
    sys.exit(main())
