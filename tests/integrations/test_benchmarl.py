"""BenchMARL tasks, the baseline grid on a tiny budget, and saved policies on the command line."""

import json
import pickle
import warnings

import numpy as np
import pytest

import zandrel
from zandrel.__main__ import main

# torch, TorchRL and BenchMARL load inside the tests (see test_sb3.py)
pytestmark = pytest.mark.torch

# a tiny grid: two batches of 500 frames per run, a few optimiser steps per batch
TINY_GRID = [
    "--frames=1000",
    "--algorithms",
    "mappo",
    "masac",
    "--tasks=push_1x1",
    "--seeds=0",
    "--eval-episodes=3",
    "--eval-every=500",
    "--set=on_policy_collected_frames_per_batch=500",
    "--set=off_policy_collected_frames_per_batch=500",
    "--set=on_policy_n_minibatch_iters=1",
    "--set=off_policy_n_optimizer_steps=2",
    "--set=off_policy_init_random_frames=0",
]


@pytest.fixture(scope="module")
def grid(tmp_path_factory):
    """The baseline script's output folder after the tiny grid (MAPPO on- and MASAC off-policy)."""
    import importlib.util
    import sys
    from pathlib import Path

    path = Path(__file__).resolve().parents[2] / "examples" / "benchmarl_baselines.py"
    module_spec = importlib.util.spec_from_file_location("benchmarl_baselines", path)
    module = importlib.util.module_from_spec(module_spec)
    sys.modules["benchmarl_baselines"] = module
    module_spec.loader.exec_module(module)
    output = tmp_path_factory.mktemp("grid")
    with warnings.catch_warnings():
        # batches of 50 steps end no 350-step episode, which BenchMARL points out
        warnings.filterwarnings("ignore", "No episode terminated", UserWarning)
        module.main([*TINY_GRID, f"--output-dir={output}"])
    del sys.modules["benchmarl_baselines"]
    return output


def test_tiny_grid_scores_each_run_along_the_way_beside_the_scripted_policies(grid, capsys):
    results = json.loads((grid / "results.json").read_text())
    assert sorted(results["runs"]) == ["mappo/push_1x1/0", "masac/push_1x1/0"]
    for run in results["runs"].values():
        assert [point["frames"] for point in run["curve"]] == [0, 500, 1000]
        assert run["frames"] == 1000
    # the grid's heuristic plays the evaluation seeds exactly as the command line does
    main(["--policy=heuristic", "--episodes=3", "--seed=1000000", "--json", *PUSH_1X1])
    summary = json.loads(capsys.readouterr().out)
    heuristic = results["scripted"]["push_1x1"]["heuristic"]
    assert (heuristic["successes"], heuristic["mean_return"]) == (
        summary["successes"],
        summary["mean_return"],
    )
    table = (grid / "baselines.md").read_text()
    assert "| push_1x1 | MAPPO | 1 |" in table
    assert (grid / "baselines.png").stat().st_size > 0


PUSH_1X1_TASK = {
    "n_agents": 1,
    "n_boulders": 1,
    "n_landmarks": 1,
    "max_cycles": 350,
    "visit_all": False,
    "approach_shaping": 0.5,
}
PUSH_1X1 = ["--n-agents=1", "--n-boulders=1", "--n-landmarks=1", "--max-cycles=350"]


def test_tasks_load_from_their_yaml_and_from_hydra():
    from benchmarl.hydra_config import load_task_config_from_hydra
    from hydra import compose, initialize_config_module

    from zandrel.integrations.benchmarl import ZandrelTask

    assert ZandrelTask.PUSH_3X3.get_task().config["n_boulders"] == 3
    with initialize_config_module("benchmarl.conf", version_base=None):
        config = compose("config", overrides=["algorithm=mappo", "task=zandrel/visit_all_2x2"])
    with pytest.warns(UserWarning, match="TaskConfig python dataclass not found"):
        task = load_task_config_from_hydra(config.task, "zandrel/visit_all_2x2")
    assert (task.config["visit_all"], task.config["max_cycles"]) == (True, 700)


@pytest.mark.parametrize(
    ("config", "problem"),
    [
        ({**PUSH_1X1_TASK, "n_particles": 3}, "got an unexpected keyword argument 'n_particles'"),
        ({"approach_shaping": 0.0}, "missing 5 required positional arguments"),
    ],
)
def test_task_configuration_names_what_is_wrong(config, problem):
    from zandrel.integrations.benchmarl import ZandrelTask

    with pytest.raises(ValueError, match=r"^Zandrel task 'push_1x1': ") as raised:
        ZandrelTask.PUSH_1X1.get_task(config)
    assert problem in str(raised.value)
    assert str(raised.value).endswith(
        "a task configuration takes n_agents, n_boulders, n_landmarks, max_cycles, visit_all, "
        "approach_shaping, sparse_rewards, sparse_weight, n_physics_steps, spawn_size, state"
    )


@pytest.mark.parametrize("target", ["folder", "checkpoint"])
def test_cli_plays_a_benchmarl_checkpoint_on_its_own_task(grid, target, capsys):
    folder = next((grid / "runs").glob("mappo_*"))
    path = folder if target == "folder" else next(folder.glob("checkpoints/*.pt"))
    main([f"--policy={path}", "--episodes=2", "--json"])
    summary = json.loads(capsys.readouterr().out)
    assert summary["config"]["n_agents"] == 1  # the task of the checkpoint, not the default
    assert summary["episodes"] == 2


def test_saved_policies_sample_only_when_asked_and_repeatably_under_a_seed(grid):
    from zandrel.saved_policies import load_saved_policy

    folder = next((grid / "runs").glob("masac_*"))
    env = zandrel.parallel_env(n_agents=1, n_boulders=1, n_landmarks=1)
    env.reset(seed=3)
    actions = [
        load_saved_policy(str(folder), deterministic=deterministic, seed=7)(env)["particle_0"]
        for deterministic in (True, True, False, False)
    ]
    assert np.array_equal(actions[0], actions[1])
    assert np.array_equal(actions[2], actions[3])
    assert not np.array_equal(actions[0], actions[2])


@pytest.fixture(scope="module")
def sb3_folder(tmp_path_factory):
    """An untrained PPO model and its normalisation statistics, as examples/train_ppo.py saves."""
    from stable_baselines3 import PPO
    from stable_baselines3.common.vec_env import VecNormalize

    from zandrel.integrations.sb3 import sb3_vec_env

    env = VecNormalize(sb3_vec_env(2, dtype=np.float32, n_agents=3, n_boulders=1, n_landmarks=1))
    env.reset()
    for _ in range(20):
        env.step(np.random.default_rng(0).uniform(-1, 1, (6, 2)))
    folder = tmp_path_factory.mktemp("ppo")
    PPO("MlpPolicy", env, n_steps=8, batch_size=8, seed=0).save(folder / "model.zip")
    env.save(folder / "vecnormalize.pkl")
    return folder


def test_cli_plays_an_sb3_model_with_its_normalisation(sb3_folder, capsys):
    from stable_baselines3 import PPO

    task = {"n_agents": 3, "n_boulders": 1, "n_landmarks": 1, "max_cycles": 30}
    main(
        [
            f"--policy={sb3_folder}",
            "--episodes=1",
            "--seed=4",
            "--json",
            "--n-agents=3",
            "--n-boulders=1",
            "--n-landmarks=1",
            "--max-cycles=30",
        ]
    )
    summary = json.loads(capsys.readouterr().out)
    model = PPO.load(sb3_folder / "model.zip", device="cpu")
    with open(sb3_folder / "vecnormalize.pkl", "rb") as file:
        normalizer = pickle.load(file)
    env = zandrel.parallel_env(**task)
    observations, _ = env.reset(seed=4)
    episode_return = 0.0
    while env.agents:
        rows = np.stack(list(observations.values())).astype(np.float32)
        actions, _ = model.predict(normalizer.normalize_obs(rows), deterministic=True)
        observations, rewards, _, _, _ = env.step(dict(zip(env.agents, actions, strict=True)))
        episode_return += rewards["particle_0"]
    assert summary["mean_return"] == episode_return


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda tmp: tmp / "missing", "'{tmp}/missing' does not exist; expected heuristic"),
        (lambda tmp: tmp, "'{tmp}' holds no saved policy; expected heuristic"),
        (
            lambda tmp: (tmp / "model.zip").write_bytes(b"x") and tmp,
            "'{tmp}' holds model.zip but not vecnormalize.pkl",
        ),
        (
            lambda tmp: (tmp / "checkpoint_5.pt").write_bytes(b"x") and tmp / "checkpoint_5.pt",
            "'{tmp}/checkpoint_5.pt' holds no saved policy; expected heuristic",
        ),
    ],
)
def test_cli_refuses_paths_without_a_policy(tmp_path, make, message, capsys):
    path = make(tmp_path)
    with pytest.raises(SystemExit) as exited:
        main([f"--policy={path}", "--episodes=1"])
    assert exited.value.code == 2
    error = capsys.readouterr().err.splitlines()[-1]
    assert error.startswith("zandrel: error: argument --policy: " + message.format(tmp=tmp_path))


def test_cli_refuses_stochastic_built_in_policies(capsys):
    with pytest.raises(SystemExit):
        main(["--policy=random", "--stochastic"])
    assert capsys.readouterr().err.splitlines()[-1] == (
        "zandrel: error: argument --stochastic: only saved policies choose between their most "
        "likely and sampled actions; 'random' is a built-in policy"
    )
