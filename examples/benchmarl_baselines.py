"""BenchMARL baselines on Zandrel: algorithms x tasks x seeds, each with the same frame budget.

Usage: ``python examples/benchmarl_baselines.py [--frames N] [--algorithms mappo ippo masac]
[--tasks push_1x1 push_2x2] [--seeds 0 1 2] [--output-dir DIR] [--set KEY=VALUE ...]``

Every run trains with BenchMARL's default configuration of the algorithm, of its experiment
and of the MLP models; ``--set`` changes a field of the experiment configuration for all
runs (for example ``--set on_policy_collected_frames_per_batch=1000``). The tasks keep their
YAML configuration, approach term (a learning aid) included. Every ``--eval-every`` frames
and at the end, the policy plays ``--eval-episodes`` episodes from the seeds ``--eval-seed``,
``--eval-seed + 1``, ... with deterministic actions, scored by the environment's own success
(every goal met before ``max_cycles``) and its team return without the approach term; the
heuristic and the random policy play the same seeds. The output directory receives
``results.json`` (written after every run, so that an interrupted grid keeps its finished
runs and a second call with the same directory skips them), ``baselines.md`` (the table)
and ``baselines.png`` (success rate and return against frames, mean and spread over seeds).
Needs the `benchmarl` extra (``pip install ".[benchmarl]"``).
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import sys
import time
from collections.abc import Sequence
from importlib.metadata import version
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")  # files only, no display
import numpy as np
import torch
from benchmarl.algorithms import IppoConfig, MappoConfig, MasacConfig
from benchmarl.experiment import Experiment, ExperimentConfig
from benchmarl.models.mlp import MlpConfig
from matplotlib import pyplot
from matplotlib.ticker import EngFormatter

from zandrel.integrations.benchmarl import ZandrelTask
from zandrel.integrations.benchmarl.scoring import ScoreCallback
from zandrel.options import non_negative_int, positive_int
from zandrel.policies import HeuristicPolicy, RandomPolicy
from zandrel.scoring import score_scripted

ALGORITHMS = {"mappo": MappoConfig, "ippo": IppoConfig, "masac": MasacConfig}
TASKS = {task.name.lower(): task for task in ZandrelTask}
VERSIONS = ("zandrel", "benchmarl", "torchrl", "tensordict", "torch", "gymnasium")


def run_grid(args: argparse.Namespace) -> dict[str, Any]:
    """Train and score every (algorithm, task, seed) not yet in the output directory."""
    args.output_dir.mkdir(parents=True, exist_ok=True)
    results_path = args.output_dir / "results.json"
    results = _load_results(results_path, args)
    for task_name in args.tasks:
        task_config = TASKS[task_name].get_task().config
        if task_name not in results["scripted"]:
            results["scripted"][task_name] = score_scripted_policies(task_config, args)
            _write_json(results, results_path)
        for algorithm in args.algorithms:
            for seed in args.seeds:
                key = f"{algorithm}/{task_name}/{seed}"
                if key in results["runs"]:
                    continue
                results["runs"][key] = train_and_score(algorithm, task_name, seed, args)
                _write_json(results, results_path)
    table = format_table(results, args)
    (args.output_dir / "baselines.md").write_text(table + "\n")
    plot_curves(results, args, args.output_dir / "baselines.png")
    print(table)
    return results


def train_and_score(algorithm: str, task_name: str, seed: int, args: argparse.Namespace) -> dict:
    task = TASKS[task_name].get_task()
    experiment_config = _experiment_config(args)
    scoring = ScoreCallback(task.config, args.eval_seed, args.eval_episodes, args.eval_every)
    experiment = Experiment(
        task=task,
        algorithm_config=ALGORITHMS[algorithm].get_from_yaml(),
        model_config=MlpConfig.get_from_yaml(),
        critic_model_config=MlpConfig.get_from_yaml(),
        seed=seed,
        config=experiment_config,
        callbacks=[scoring],
    )
    began = time.perf_counter()
    experiment.run()
    wall_seconds = time.perf_counter() - began
    if scoring.curve[-1]["frames"] != experiment.total_frames:
        scoring.record()
    final = scoring.curve[-1]
    print(
        f"{algorithm} {task_name} seed {seed}: {experiment.total_frames:,} frames in "
        f"{wall_seconds:.0f} s, success {final['successes']}/{final['episodes']}, "
        f"return {final['mean_return']:.2f}",
        flush=True,
    )
    return {
        "algorithm": algorithm,
        "task": task_name,
        "seed": seed,
        "frames": experiment.total_frames,
        "wall_seconds": wall_seconds,
        "checkpoint": str(_last_checkpoint(Path(experiment.folder_name))),
        "final": final,
        "curve": scoring.curve,
    }


def unshaped(task_config: dict[str, Any]) -> dict[str, Any]:
    """The environment keywords of a task's configuration, scored without the approach term."""
    keywords = {key: value for key, value in task_config.items() if key != "state"}
    return {**keywords, "approach_shaping": 0.0}


def score_scripted_policies(task_config: dict[str, Any], args: argparse.Namespace) -> dict:
    """The heuristic and the random policy on the evaluation seeds, as the CLI plays them."""
    seeds = range(args.eval_seed, args.eval_seed + args.eval_episodes)
    return {
        name: dataclasses.asdict(score_scripted(policy, unshaped(task_config), seeds))
        for name, policy in (("heuristic", HeuristicPolicy()), ("random", RandomPolicy(0)))
    }


def format_table(results: dict[str, Any], args: argparse.Namespace) -> str:
    """Mean ± std over seeds of the final success rate and return, per task and algorithm."""
    rows = [
        f"Final policies after {args.frames:,} frames (env steps) per run; "
        f"{args.eval_episodes} evaluation episodes (seeds {args.eval_seed} to "
        f"{args.eval_seed + args.eval_episodes - 1}), deterministic actions, "
        "return without the approach term. Mean ± std over seeds.",
        "",
        "| Task | Policy | Seeds | Success rate | Team return | Learned? |",
        "|------|--------|-------|--------------|-------------|----------|",
    ]
    for task_name in args.tasks:
        scripted = results["scripted"].get(task_name, {})
        random_rate = scripted.get("random", {}).get("successes", 0) / args.eval_episodes
        random_return = scripted.get("random", {}).get("mean_return", float("-inf"))
        for algorithm in args.algorithms:
            runs = _runs(results, algorithm, task_name)
            if not runs:
                continue
            rates = np.array([run["final"]["success_rate"] for run in runs])
            returns = np.array([run["final"]["mean_return"] for run in runs])
            learned = _learned(rates, returns, random_rate, random_return)
            rows.append(
                f"| {task_name} | {algorithm.upper()} | {len(runs)} | "
                f"{rates.mean():.0%} ± {rates.std():.0%} | "
                f"{returns.mean():.2f} ± {returns.std():.2f} | {learned} |"
            )
        for name in ("heuristic", "random"):
            if name in scripted:
                score = scripted[name]
                rate = score["successes"] / score["episodes"]
                rows.append(
                    f"| {task_name} | {name} | - | {rate:.0%} | {score['mean_return']:.2f} | - |"
                )
    return "\n".join(rows)


def _learned(
    rates: np.ndarray, returns: np.ndarray, random_rate: float, random_return: float
) -> str:
    """Whether the runs beat random play: in success, in return only, or not at all."""
    if rates.mean() > random_rate:
        return "yes"
    if returns.mean() > random_return:
        return "return only, no successes beyond random"
    return "no: nothing learned in this budget"


def plot_curves(results: dict[str, Any], args: argparse.Namespace, path: Path) -> None:
    figure, axes = pyplot.subplots(
        2, len(args.tasks), figsize=(max(7, 5 * len(args.tasks)), 6.5), sharex=True, squeeze=False
    )
    for column, task_name in enumerate(args.tasks):
        scripted = results["scripted"].get(task_name, {})
        for row, (metric, label) in enumerate(
            (("success_rate", "success rate"), ("mean_return", "team return"))
        ):
            panel = axes[row][column]
            for algorithm in args.algorithms:
                _plot_algorithm(panel, _runs(results, algorithm, task_name), metric, algorithm)
            for name, style in (("heuristic", "--"), ("random", ":")):
                if name in scripted:
                    score = scripted[name]
                    level = (
                        score["successes"] / score["episodes"]
                        if metric == "success_rate"
                        else score["mean_return"]
                    )
                    panel.axhline(level, linestyle=style, color="grey", label=name)
            panel.set_ylabel(label)
            panel.grid(alpha=0.3)
            panel.xaxis.set_major_formatter(EngFormatter())
        axes[0][column].set_title(task_name)
        axes[0][column].set_ylim(-0.03, 1.03)
        axes[1][column].set_xlabel("frames (env steps)")
    axes[0][0].legend(loc="upper left", fontsize=8)
    figure.suptitle(
        f"BenchMARL defaults on Zandrel, {args.frames:,} frames per run\n"
        f"mean and min-max over seeds {args.seeds}; "
        f"{args.eval_episodes} deterministic evaluation episodes per point",
        fontsize=9,
    )
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    pyplot.close(figure)


def _plot_algorithm(panel: Any, runs: list[dict], metric: str, algorithm: str) -> None:
    if not runs:
        return
    # every run of a grid scores at the same frame counts; cut to the shortest curve
    length = min(len(run["curve"]) for run in runs)
    frames = [point["frames"] for point in runs[0]["curve"][:length]]
    values = np.array([[point[metric] for point in run["curve"][:length]] for run in runs])
    (line,) = panel.plot(frames, values.mean(axis=0), marker="o", markersize=3, label=algorithm)
    panel.fill_between(
        frames, values.min(axis=0), values.max(axis=0), color=line.get_color(), alpha=0.2
    )


def _runs(results: dict[str, Any], algorithm: str, task_name: str) -> list[dict]:
    return [
        run
        for run in results["runs"].values()
        if run["algorithm"] == algorithm and run["task"] == task_name
    ]


def _experiment_config(args: argparse.Namespace) -> ExperimentConfig:
    config = ExperimentConfig.get_from_yaml()
    config.max_n_frames = args.frames
    config.sampling_device = config.train_device = config.buffer_device = "cpu"
    config.prefer_continuous_actions = True
    # scoring on the fixed seeds replaces BenchMARL's own evaluation and loggers
    config.evaluation = False
    config.render = False
    config.loggers = []
    config.create_json = False
    config.checkpoint_at_end = True
    config.save_folder = str(args.output_dir / "runs")
    (args.output_dir / "runs").mkdir(exist_ok=True)
    for key, value in args.set:
        if not hasattr(config, key):
            raise SystemExit(f"--set {key}=...: ExperimentConfig has no field {key!r}")
        setattr(config, key, value)
    return config


def _last_checkpoint(folder: Path) -> Path:
    return max(folder.glob("checkpoints/checkpoint_*.pt"), key=lambda path: path.stat().st_mtime)


def _load_results(path: Path, args: argparse.Namespace) -> dict[str, Any]:
    settings = {
        "frames": args.frames,
        "eval_seed": args.eval_seed,
        "eval_episodes": args.eval_episodes,
        "eval_every": args.eval_every,
        "set": dict(args.set),
    }
    if path.exists():
        results = json.loads(path.read_text())
        if results["settings"] != settings:
            raise SystemExit(
                f"{path} holds runs made with other settings ({results['settings']}); "
                "use another --output-dir"
            )
        return results
    return {
        "settings": settings,
        "versions": {name: version(name) for name in VERSIONS},
        "torch_threads": torch.get_num_threads(),
        "command": " ".join(sys.argv),
        "scripted": {},
        "runs": {},
    }


def _write_json(results: dict[str, Any], path: Path) -> None:
    temporary = path.with_suffix(".tmp")
    temporary.write_text(json.dumps(results, indent=2) + "\n")
    temporary.replace(path)


def _setting(text: str) -> tuple[str, Any]:
    """argparse type: KEY=VALUE, the value read as JSON when it parses (numbers, booleans)."""
    key, separator, value = text.partition("=")
    if not separator or not key:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    try:
        return key, json.loads(value)
    except json.JSONDecodeError:
        return key, value


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=positive_int, default=60_000, help="frames per run")
    parser.add_argument("--algorithms", nargs="+", choices=ALGORITHMS, default=list(ALGORITHMS))
    parser.add_argument("--tasks", nargs="+", choices=TASKS, default=["push_1x1", "push_2x2"])
    parser.add_argument("--seeds", nargs="+", type=non_negative_int, default=[0, 1, 2])
    parser.add_argument("--eval-episodes", type=positive_int, default=50)
    parser.add_argument("--eval-seed", type=non_negative_int, default=1_000_000)
    parser.add_argument(
        "--eval-every", type=positive_int, default=12_000, help="frames between scorings"
    )
    parser.add_argument("--torch-threads", type=positive_int, default=1)
    parser.add_argument("--output-dir", type=Path, default=Path("benchmarl_baselines"))
    parser.add_argument(
        "--set",
        type=_setting,
        action="append",
        default=[],
        metavar="KEY=VALUE",
        help="a field of BenchMARL's ExperimentConfig, for every run",
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _build_parser().parse_args(argv)
    torch.set_num_threads(args.torch_threads)
    run_grid(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
