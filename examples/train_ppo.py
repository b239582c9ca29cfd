"""Stable-Baselines3 PPO on Zandrel: one policy shared by every particle, evaluated as it learns.

Usage: ``python examples/train_ppo.py [--agent-steps N] [--output-dir DIR] [PPO options]
[environment options]``

Every particle of every environment is one sub-environment of
``zandrel.integrations.sb3.sb3_vec_env``, which steps the environments natively, so one PPO policy
learns from all particles (parameter sharing). Observations are normalised by ``VecNormalize``, and
the team reward carries the ``approach_shaping`` term (0.5 by default), which pays particles for
closing in on the boulders still to be moved. Every ``--eval-every`` agent steps the policy
(deterministic actions) plays ``--eval-episodes`` episodes from fixed seeds without the approach
term, scored by the environment's own success (termination) and team return. At the end the learned
policy, the random policy and the scripted heuristic play the same seeds, and the output directory
receives the model (``model.zip``), the normalisation statistics (``vecnormalize.pkl``), the
evaluation table (``evaluation.md``), the learning curve (``learning_curve.png``) and everything
measured (``evaluation.json``). Needs the `train` extra (``pip install ".[train]"``).
"""

from __future__ import annotations

import argparse
import inspect
import json
import math
import sys
import time
import warnings
from collections.abc import Sequence
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")  # files only, no display
import numpy as np
import torch
from matplotlib import pyplot
from matplotlib.ticker import EngFormatter
from stable_baselines3 import PPO
from stable_baselines3.common.callbacks import BaseCallback
from stable_baselines3.common.vec_env import VecNormalize
from tqdm import TqdmExperimentalWarning

import zandrel
from zandrel.integrations.sb3 import sb3_vec_env
from zandrel.options import add_config_arguments, config_from, non_negative_int, positive_int
from zandrel.policies import HeuristicPolicy, RandomPolicy
from zandrel.scoring import Score, score_scripted

DEFAULT_APPROACH_SHAPING = 0.5


@dataclass(frozen=True)
class TrainConfig:
    """A training run: the task, PPO's settings and the evaluation schedule."""

    # environment keywords of zandrel.parallel_env, approach_shaping included
    task: dict[str, Any] = field(
        default_factory=lambda: {"approach_shaping": DEFAULT_APPROACH_SHAPING}
    )
    agent_steps: int = 60_000_000  # one agent step is one particle's step
    # large rollouts learn the default task fastest here: 64, 128 and 256 environments
    # reached 40%, 64% and 78% success in 30 minutes
    num_envs: int = 256
    n_steps: int = 128  # steps per environment per rollout
    # the update dominates: minibatches of 1,024 cost least per agent step on our machine
    batch_size: int = 1024  # agent steps per minibatch
    n_epochs: int = 10
    learning_rate: float = 3e-4
    gamma: float = 0.99
    gae_lambda: float = 0.95
    # keeps the action noise from collapsing once the particles sit at the boulders
    ent_coef: float = 0.01
    net_arch: tuple[int, ...] = (64, 64)
    normalize_reward: bool = True
    eval_every: int = 500_000  # agent steps
    eval_episodes: int = 50
    eval_seed: int = 1_000_000  # evaluation episode i starts from eval_seed + i
    seed: int = 0
    torch_threads: int = 1
    minutes: float | None = None  # wall-time budget of the training loop
    progress_bar: bool = True


@dataclass(frozen=True)
class CurvePoint:
    agent_steps: int
    env_steps: int
    seconds: float  # wall time since training began
    score: Score


@dataclass(frozen=True)
class TrainResult:
    curve: list[CurvePoint]
    final: dict[str, Score]  # "PPO", "random", "heuristic"
    training_seconds: float
    model_path: Path
    normalization_path: Path
    curve_path: Path
    table_path: Path
    table: str


def train(config: TrainConfig, output_dir: Path) -> TrainResult:
    """Train, evaluate along the way and at the end, and write the results to `output_dir`."""
    output_dir.mkdir(parents=True, exist_ok=True)
    torch.set_num_threads(config.torch_threads)
    task = {"approach_shaping": DEFAULT_APPROACH_SHAPING, **config.task}
    # evaluation scores the task itself: the environment's success and unshaped reward
    eval_task = {**task, "approach_shaping": 0.0}
    n_agents = zandrel.parallel_env(**task).n_agents
    eval_seeds = range(config.eval_seed, config.eval_seed + config.eval_episodes)
    baselines = {
        "random": score_scripted(RandomPolicy(config.seed), eval_task, eval_seeds),
        "heuristic": score_scripted(HeuristicPolicy(), eval_task, eval_seeds),
    }

    env = VecNormalize(
        sb3_vec_env(config.num_envs, dtype=np.float32, **task),
        norm_obs=True,
        norm_reward=config.normalize_reward,
        gamma=config.gamma,
    )
    model = PPO(
        "MlpPolicy",
        env,
        n_steps=config.n_steps,
        batch_size=config.batch_size,
        n_epochs=config.n_epochs,
        learning_rate=config.learning_rate,
        gamma=config.gamma,
        gae_lambda=config.gae_lambda,
        ent_coef=config.ent_coef,
        policy_kwargs={"net_arch": list(config.net_arch)},
        seed=config.seed,
        device="cpu",
    )
    evaluation = EvaluationCallback(config, eval_task, n_agents, env)
    with warnings.catch_warnings():
        # SB3's progress bar is tqdm's rich one, which warns that it is experimental; SB3
        # silences that only in the warning filters of the moment it is first imported
        warnings.simplefilter("ignore", TqdmExperimentalWarning)
        model.learn(config.agent_steps, callback=evaluation, progress_bar=config.progress_bar)
    training_seconds = evaluation.elapsed()
    if evaluation.curve[-1].agent_steps != model.num_timesteps:
        evaluation.record()
    final = {"PPO": evaluation.curve[-1].score, **baselines}

    model_path = output_dir / "model.zip"
    normalization_path = output_dir / "vecnormalize.pkl"
    model.save(model_path)
    env.save(normalization_path)
    env.close()
    curve_path = output_dir / "learning_curve.png"
    plot_curve(evaluation.curve, baselines, task, n_agents, curve_path)
    table = format_table(final, model.num_timesteps, n_agents, training_seconds)
    table_path = output_dir / "evaluation.md"
    table_path.write_text(table + "\n")
    result = TrainResult(
        curve=evaluation.curve,
        final=final,
        training_seconds=training_seconds,
        model_path=model_path,
        normalization_path=normalization_path,
        curve_path=curve_path,
        table_path=table_path,
        table=table,
    )
    write_json(result, config, task, output_dir / "evaluation.json")
    return result


class EvaluationCallback(BaseCallback):
    """Scores the policy every `eval_every` agent steps and stops at the wall-time budget."""

    def __init__(
        self, config: TrainConfig, eval_task: dict[str, Any], n_agents: int, env: VecNormalize
    ) -> None:
        super().__init__()
        self.config = config
        self.eval_task = eval_task
        self.n_agents = n_agents
        self.env = env
        self.curve: list[CurvePoint] = []
        self._next_evaluation = 0
        self._started = 0.0
        self._evaluating = 0.0  # seconds spent evaluating, left out of the training time

    def elapsed(self) -> float:
        """Wall seconds of training so far, evaluations left out."""
        return time.perf_counter() - self._started - self._evaluating

    def record(self) -> None:
        began = time.perf_counter()
        score = score_policy(self.model, self.env, self.eval_task, self.config)
        self._evaluating += time.perf_counter() - began
        steps = self.model.num_timesteps
        point = CurvePoint(steps, steps // self.n_agents, self.elapsed(), score)
        self.curve.append(point)
        print(
            f"{point.agent_steps:>10,} agent steps ({point.env_steps:,} env steps), "
            f"{point.seconds:7.1f} s: success {score.successes}/{score.episodes}, "
            f"mean return {score.mean_return:6.2f}",
            flush=True,
        )

    def _on_training_start(self) -> None:
        self._started = time.perf_counter()
        self.record()
        self._next_evaluation = self.config.eval_every

    def _on_step(self) -> bool:
        if self.model.num_timesteps >= self._next_evaluation:
            self.record()
            self._next_evaluation += self.config.eval_every
        budget = self.config.minutes
        return budget is None or self.elapsed() < 60 * budget


def score_policy(
    model: PPO, normalizer: VecNormalize, eval_task: dict[str, Any], config: TrainConfig
) -> Score:
    """The learned policy's deterministic actions, one episode per evaluation seed."""
    episodes = config.eval_episodes
    env = zandrel.agent_vector_env(episodes, dtype=np.float32, **eval_task)
    n_agents = env.n_agents
    observations, _ = env.reset(seed=config.eval_seed)
    returns = np.zeros(episodes)
    ended = np.zeros(episodes, np.bool_)
    succeeded = np.zeros(episodes, np.bool_)
    while not ended.all():
        actions, _ = model.predict(normalizer.normalize_obs(observations), deterministic=True)
        observations, rewards, terminations, truncations, _ = env.step(actions)
        # one row per agent; every agent of an environment has the team's reward and flags
        live = ~ended
        returns[live] += rewards[::n_agents][live]
        succeeded |= live & terminations[::n_agents]
        ended |= terminations[::n_agents] | truncations[::n_agents]
    env.close()
    return Score(int(succeeded.sum()), episodes, float(returns.mean()))


def plot_curve(
    curve: list[CurvePoint],
    baselines: dict[str, Score],
    task: dict[str, Any],
    n_agents: int,
    path: Path,
) -> None:
    env_steps = [point.env_steps for point in curve]
    figure, (success_axes, return_axes) = pyplot.subplots(2, 1, figsize=(7, 6.5), sharex=True)
    panels = [
        (success_axes, "success rate", [point.score.success_rate for point in curve]),
        (return_axes, "mean team return", [point.score.mean_return for point in curve]),
    ]
    for axes, label, values in panels:
        axes.plot(env_steps, values, marker="o", markersize=3, label="PPO (deterministic)")
        for name, style in (("heuristic", "--"), ("random", ":")):
            score = baselines[name]
            level = score.success_rate if label == "success rate" else score.mean_return
            axes.axhline(level, linestyle=style, color="grey", label=name)
        axes.set_ylabel(label)
        axes.grid(alpha=0.3)
    success_axes.set_ylim(-0.03, 1.03)
    success_axes.legend(loc="lower right")
    return_axes.set_xlabel("env steps")
    return_axes.xaxis.set_major_formatter(EngFormatter())
    top = success_axes.secondary_xaxis(
        "top", functions=(lambda x: x * n_agents, lambda x: x / n_agents)
    )
    top.xaxis.set_major_formatter(EngFormatter())
    top.set_xlabel("agent steps (PPO's timesteps)")
    counts = ", ".join(
        f"{count} {noun}{'' if count == 1 else 's'}"
        for count, noun in (
            (task.get("n_agents", 2), "particle"),
            (task.get("n_boulders", 2), "boulder"),
            (task.get("n_landmarks", 2), "landmark"),
        )
    )
    figure.suptitle(
        f"Zandrel ({counts}): PPO with parameter sharing, {curve[-1].seconds / 60:.1f} min\n"
        f"each point: {curve[0].score.episodes} evaluation episodes, deterministic actions, "
        "scored without the approach term",
        fontsize=9,
    )
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    pyplot.close(figure)


def format_table(
    final: dict[str, Score], agent_steps: int, n_agents: int, training_seconds: float
) -> str:
    rows = [
        "| Policy | Success rate | Mean team return |",
        "|--------|--------------|------------------|",
    ]
    for name, score in final.items():
        rows.append(
            f"| {name} | {score.success_rate:.0%} ({score.successes}/{score.episodes}) "
            f"| {score.mean_return:.2f} |"
        )
    rows.append("")
    rows.append(
        f"PPO after {agent_steps:,} agent steps ({agent_steps // n_agents:,} env steps) "
        f"in {training_seconds / 60:.1f} min of training"
    )
    return "\n".join(rows)


def write_json(result: TrainResult, config: TrainConfig, task: dict[str, Any], path: Path) -> None:
    def score(value: Score) -> dict[str, Any]:
        return {**asdict(value), "success_rate": value.success_rate}

    record = {
        "config": {**asdict(config), "task": task},
        "training_seconds": result.training_seconds,
        "final": {name: score(value) for name, value in result.final.items()},
        "curve": [
            {
                "agent_steps": point.agent_steps,
                "env_steps": point.env_steps,
                "seconds": point.seconds,
                **score(point.score),
            }
            for point in result.curve
        ],
    }
    path.write_text(json.dumps(record, indent=2) + "\n")


def main(argv: Sequence[str] | None = None) -> int:
    parser = _build_parser()
    args = parser.parse_args(argv)
    task = config_from(args)
    try:
        zandrel.parallel_env(**task)
    except ValueError as error:
        parser.error(str(error))
    settings = {
        name: getattr(args, name)
        for name in inspect.signature(TrainConfig).parameters
        if name != "task" and hasattr(args, name)
    }
    config = TrainConfig(task=task, **settings)
    result = train(config, args.output_dir)
    print(result.table)
    print(f"wrote {result.model_path}, {result.normalization_path}, {result.curve_path}")
    return 0


def _build_parser() -> argparse.ArgumentParser:
    defaults = TrainConfig()
    parser = argparse.ArgumentParser(
        description="Train one PPO policy shared by all particles with Stable-Baselines3.",
    )
    parser.add_argument(
        "--output-dir",
        type=Path,
        default=Path("ppo_run"),
        help="directory of the result files (default: %(default)s)",
    )
    options: list[tuple[str, Any, str]] = [
        ("agent_steps", positive_int, "training length in agent steps (PPO's timesteps)"),
        ("num_envs", positive_int, "environments stepped together"),
        ("n_steps", positive_int, "steps per environment per rollout"),
        ("batch_size", positive_int, "minibatch size in agent steps"),
        ("n_epochs", positive_int, "passes over each rollout"),
        ("learning_rate", _positive_real, "Adam step size"),
        ("gamma", _fraction, "discount"),
        ("gae_lambda", _fraction, "GAE's lambda"),
        ("ent_coef", _non_negative_real, "entropy bonus weight"),
        ("eval_every", positive_int, "agent steps between evaluations"),
        ("eval_episodes", positive_int, "episodes per evaluation"),
        ("eval_seed", non_negative_int, "evaluation episode i starts from this seed + i"),
        ("seed", non_negative_int, "seed of PPO and of the training environments"),
        ("torch_threads", positive_int, "threads of torch's learner"),
        ("minutes", _positive_real, "stop training after this many minutes (evaluations excluded)"),
    ]
    for name, kind, help_text in options:
        default = getattr(defaults, name)
        parser.add_argument(
            _option(name), type=kind, default=default, help=f"{help_text} (default: %(default)s)"
        )
    parser.add_argument(
        "--net-arch",
        type=_layer_sizes,
        default=defaults.net_arch,
        help="hidden layer sizes of the policy and value networks, comma-separated "
        "(default: 64,64)",
    )
    parser.add_argument(
        "--normalize-reward",
        action=argparse.BooleanOptionalAction,
        default=defaults.normalize_reward,
        help="scale rewards by VecNormalize's running return statistics (default: on)",
    )
    parser.add_argument(
        "--progress-bar",
        action=argparse.BooleanOptionalAction,
        default=defaults.progress_bar,
        help="show SB3's progress bar (default: on)",
    )
    add_config_arguments(parser, approach_shaping=DEFAULT_APPROACH_SHAPING)
    return parser


def _option(keyword: str) -> str:
    return "--" + keyword.replace("_", "-")


def _real(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return value


def _positive_real(text: str) -> float:
    value = _real(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a number > 0, got {text}")
    return value


def _non_negative_real(text: str) -> float:
    value = _real(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be a number >= 0, got {text}")
    return value


def _fraction(text: str) -> float:
    value = _real(text)
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"must be a number in (0, 1], got {text}")
    return value


# argparse names the type in its message for text that does not parse
_positive_real.__name__ = _non_negative_real.__name__ = _fraction.__name__ = "float"


def _layer_sizes(text: str) -> tuple[int, ...]:
    try:
        sizes = tuple(int(part) for part in text.split(","))
    except ValueError:
        sizes = ()
    if not sizes or min(sizes) < 1:
        raise argparse.ArgumentTypeError(
            f"must be comma-separated integers >= 1, such as 64,64, got {text!r}"
        )
    return sizes


if __name__ == "__main__":
    sys.exit(main())
