"""The command-line main job: `python -m zandrel`."""

import json
import subprocess
import sys

import pytest
from PIL import Image

from zandrel.__main__ import main
from zandrel.rendering import FRAME_HEIGHT, FRAME_WIDTH


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
    assert summary["steps_per_second"] > 0
    # the progress bar goes to stderr
    assert "2/2" in completed.stderr


def test_heuristic_solves_the_default_task(capsys):
    assert main(["--episodes", "10", "--seed", "100", "--json"]) == 0
    summary = json.loads(capsys.readouterr().out)
    assert summary["policy"] == "heuristic"
    assert summary["success_rate"] >= 0.9
    assert summary["mean_return"] > 10


def test_table_summary(capsys):
    main(["--episodes", "3", "--policy", "random", "--max-cycles", "10", "--visit-all"])
    lines = capsys.readouterr().out.splitlines()
    assert [line.split("  ")[0] for line in lines] == [
        "policy",
        "episodes",
        "success rate",
        "mean return",
        "mean episode length",
        "env steps per second",
    ]
    assert lines[1].split()[-1] == "3"
    assert lines[2].endswith("0.0% (0/3)")
    assert lines[4].split()[-1] == "10.0"


def test_gif_holds_the_first_episode(tmp_path, capsys):
    path = tmp_path / "episode.gif"
    main(["--episodes", "2", "--max-cycles", "12", "--gif", str(path), "--json"])
    assert json.loads(capsys.readouterr().out)["episodes"] == 2
    with Image.open(path) as animation:
        # the start frame and one per step
        assert animation.n_frames == 13
        assert animation.size == (FRAME_WIDTH, FRAME_HEIGHT)
        assert animation.info["duration"] == 40


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["--n-agents", "0"], "zandrel: error: n_agents must be an integer >= 1, got 0"),
        (["--episodes", "0"], "argument --episodes: must be an integer >= 1, got 0"),
        (["--policy", "greedy"], "argument --policy: invalid choice: 'greedy'"),
    ],
)
def test_bad_options_exit_with_usage_error(arguments, message, capsys):
    with pytest.raises(SystemExit) as exit_info:
        main(arguments)
    assert exit_info.value.code == 2
    assert message in capsys.readouterr().err
