"""The command-line main job `python -m zandrel`, the examples and the project files."""

import functools
import importlib.metadata
import json
import re
import runpy
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest
from PIL import Image

import zandrel
import zandrel.__main__ as cli
from zandrel.rendering import FRAME_HEIGHT, FRAME_WIDTH

REPO = Path(__file__).resolve().parents[2]


def test_module_prints_only_the_json_summary():
    completed = subprocess.run(
        [sys.executable, "-m", "zandrel", "--episodes", "2", "--max-cycles", "20", "--json"],
        capture_output=True,
        text=True,
        check=True,
    )
    summary = json.loads(completed.stdout)
    assert summary["episodes"] == 2
    assert summary["steps"] == 40
    assert summary["mean_episode_length"] == 20
    assert summary["successes"] == 0
    assert summary["success_rate"] == 0.0
    assert summary["config"]["max_cycles"] == 20
    assert summary["config"]["n_agents"] == 2
    # env.step alone is part of the loop, so it runs at least as many steps per second
    assert summary["env_step_steps_per_second"] >= summary["loop_steps_per_second"] > 0
    # the progress bar goes to stderr
    assert "2/2" in completed.stderr


@pytest.mark.parametrize("goal_mode", ["--no-visit-all", "--visit-all"])
def test_heuristic_solves_both_tasks_within_the_default_limit(goal_mode, capsys):
    assert cli.main(["--episodes", "10", "--seed", "100", goal_mode, "--json"]) == 0
    summary = json.loads(capsys.readouterr().out)
    assert summary["policy"] == "heuristic"
    assert summary["config"]["max_cycles"] == (700 if goal_mode == "--visit-all" else 350)
    assert summary["success_rate"] >= 0.8
    assert summary["mean_return"] > 10


def test_table_summary(capsys):
    cli.main(["--episodes", "3", "--policy", "random", "--max-cycles", "10", "--visit-all"])
    lines = capsys.readouterr().out.splitlines()
    assert [line.split("  ")[0] for line in lines] == [
        "policy",
        "episodes",
        "success rate",
        "mean return",
        "mean episode length",
        "steps/s in env.step",
        "steps/s, whole loop",
    ]
    assert lines[1].split()[-1] == "3"
    assert lines[2].endswith("0.0% (0/3)")
    assert lines[4].split()[-1] == "10.0"


@pytest.mark.parametrize(
    ("name", "image_format", "said"),
    [
        ("episode.gif", "GIF", "(GIF)"),
        ("episode.png", "PNG", "(animated PNG)"),
    ],
)
def test_animation_holds_the_first_episode(tmp_path, capsys, name, image_format, said):
    path = tmp_path / name
    cli.main(["--episodes", "2", "--max-cycles", "12", "--gif", str(path), "--json"])
    out, err = capsys.readouterr()
    assert json.loads(out)["episodes"] == 2
    assert f"wrote 13 frames to {path} {said}" in err
    with Image.open(path) as animation:
        assert animation.format == image_format
        # the start frame and one per step
        assert animation.n_frames == 13
        assert animation.size == (FRAME_WIDTH, FRAME_HEIGHT)
        assert animation.info["duration"] == 40


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["--n-agents", "0"], "argument --n-agents: must be an integer >= 1, got 0"),
        (
            ["--n-agents", "2147483648"],
            "argument --n-agents: must be an integer >= 1 and at most 2147483647 (2**31 - 1), "
            "got 2147483648",
        ),
        (["--episodes", "0"], "argument --episodes: must be an integer >= 1, got 0"),
        (["--seed", "-1"], "argument --seed: must be an integer >= 0, got -1"),
        (
            ["--policy", "greedy"],
            "argument --policy: 'greedy' does not exist; expected heuristic, random, the output "
            "folder of examples/train_ppo.py",
        ),
        (
            ["--gif", "/no/such/dir/x.gif"],
            "argument --gif: the directory '/no/such/dir' does not exist",
        ),
        (
            ["--gif", "noext"],
            "argument --gif: expected a file name ending in .gif, .png, .apng, .webp, "
            "got no extension in 'noext'",
        ),
        (
            ["--gif", "x.jpg"],
            "argument --gif: expected a file name ending in .gif, .png, .apng, .webp, "
            "got the extension '.jpg' in 'x.jpg'",
        ),
        (["--spawn-size", "nan"], "argument --spawn-size: spawn_size must be a finite number"),
        (["--spawn-size", "10"], "argument --spawn-size: spawn_size must leave room for"),
        (
            ["--n-landmarks", "0"],
            "arguments --n-landmarks, --n-boulders: n_landmarks=0 leaves the 2 boulder(s) "
            "nowhere to go",
        ),
        (
            ["--n-agents", "10000"],
            "arguments --n-agents, --max-observation-bytes: one step's observations would take "
            "about 3.0 GiB (3,200,800,000 bytes)",
        ),
    ],
)
def test_bad_options_exit_with_one_usage_error_before_any_episode(
    arguments, message, capsys, monkeypatch
):
    monkeypatch.setattr(cli, "_run_episode", lambda *_: pytest.fail("an episode ran"))
    with pytest.raises(SystemExit) as exit_info:
        cli.main(arguments)
    assert exit_info.value.code == 2
    errors = [line for line in capsys.readouterr().err.splitlines() if "error" in line]
    assert len(errors) == 1
    assert errors[0].startswith(f"zandrel: error: {message}")


@pytest.mark.parametrize(
    ("script", "arguments", "output"),
    [
        ("random_rollout.py", ["3"], r"random actions: episode of 6 steps, return -?\d+\.\d+, "),
        ("heuristic_gif.py", ["{tmp}/run.gif"], "heuristic team: truncated, wrote 7 frames to "),
    ],
)
def test_examples_run(tmp_path, monkeypatch, capsys, script, arguments, output):
    # six-step episodes keep the run short
    monkeypatch.setattr(
        zandrel, "parallel_env", functools.partial(zandrel.parallel_env, max_cycles=6)
    )
    path = REPO / "examples" / script
    monkeypatch.setattr(sys, "argv", [str(path), *(a.format(tmp=tmp_path) for a in arguments)])
    runpy.run_path(str(path), run_name="__main__")
    assert re.match(output, capsys.readouterr().out)


# the training examples load torch or Ray on import
EXAMPLE_MARKS = {
    "benchmarl_baselines.py": pytest.mark.torch,
    "rllib_ppo.py": pytest.mark.ray,
    "train_ppo.py": pytest.mark.torch,
}


@pytest.mark.parametrize(
    "script",
    [
        pytest.param(path.name, marks=EXAMPLE_MARKS.get(path.name, ()))
        for path in sorted((REPO / "examples").glob("*.py"))
    ],
)
def test_example_help_runs_nothing(tmp_path, script):
    run = subprocess.run(
        [sys.executable, str(REPO / "examples" / script), "--help"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(f"usage: {script} ")
    # no episode ran, no file was written
    assert list(tmp_path.iterdir()) == []
    if script == "train_ppo.py":
        assert "(default: ppo_run)" in " ".join(run.stdout.split())


def test_version_licence_and_changelog_match_the_package():
    project = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]
    assert zandrel.__version__ == importlib.metadata.version("zandrel") == project["version"]
    assert project["license"]["text"] == "MIT"
    assert (REPO / "LICENSE").read_text().startswith("MIT License")
    changelog = (REPO / "CHANGELOG.md").read_text()
    assert "## [Unreleased]" in changelog
    assert f"## [{project['version']}] - " in changelog
