"""Trained policies loaded from disk, played like the built-in ones.

Two kinds are read: the output folder of ``examples/train_ppo.py`` (a Stable-Baselines3
``model.zip`` with the ``vecnormalize.pkl`` observation statistics it was trained with) and
a BenchMARL checkpoint (a ``checkpoint_*.pt`` file, or the experiment folder holding
``config.pkl`` and ``checkpoints/``, whose latest checkpoint is used).
"""

from __future__ import annotations

import abc
import json
import pickle
import re
import tempfile
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from zandrel.policies import Actions
from zandrel.zandrel_env import ZandrelEnv

# keywords that define the task a policy learned; approach_shaping is a learning aid and
# max_observation_bytes a memory guard, so those stay as the command line sets them
TASK_KEYWORDS = (
    "n_agents",
    "n_boulders",
    "n_landmarks",
    "n_physics_steps",
    "sparse_rewards",
    "visit_all",
    "sparse_weight",
    "max_cycles",
    "spawn_size",
)
EXPECTED = (
    "expected heuristic, random, the output folder of examples/train_ppo.py (model.zip and "
    "vecnormalize.pkl) or a BenchMARL checkpoint (a checkpoint_*.pt file, or the experiment "
    "folder holding config.pkl and checkpoints/)"
)


class SavedPolicyError(ValueError):
    """A path that holds no policy this module can play, or a policy that cannot load."""


class SavedPolicy(abc.ABC):
    """A trained policy and the task it was trained on (None when the files do not say)."""

    task: dict[str, Any] | None
    observation_length: int

    def reset(self) -> None:  # noqa: B027 (memoryless policies have nothing to forget)
        """Nothing to forget between episodes."""

    def __call__(self, env: ZandrelEnv) -> Actions:
        rows = self.act(agent_observations(env.state(), env.n_agents).astype(np.float32))
        return {agent: rows[index] for index, agent in enumerate(env.possible_agents)}

    @abc.abstractmethod
    def act(self, observations: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
        """Actions (n_agents, 2) for the observations (n_agents, L) of one environment."""

    def check(self, env: ZandrelEnv) -> None:
        """Refuse an environment whose observations the policy was not trained on."""
        length = env.observation_space(env.possible_agents[0]).shape[0]
        if length != self.observation_length:
            raise SavedPolicyError(
                f"the policy reads observations of length {self.observation_length}, but "
                f"this environment's have length {length}; choose the counts it was trained "
                "with (--n-agents, --n-boulders, --n-landmarks, --visit-all)"
            )


class SB3Policy(SavedPolicy):
    """PPO from examples/train_ppo.py: observations normalised as in training."""

    def __init__(self, folder: Path, *, deterministic: bool) -> None:
        try:
            from stable_baselines3 import PPO
        except ModuleNotFoundError as error:
            raise SavedPolicyError(
                f"{folder} holds a Stable-Baselines3 model, which needs the train extra "
                f'({error}): pip install "zandrel[train]"'
            ) from None
        self.model = PPO.load(folder / "model.zip", device="cpu")
        with open(folder / "vecnormalize.pkl", "rb") as file:
            self.normalizer = pickle.load(file)
        self.deterministic = deterministic
        self.observation_length = int(self.model.observation_space.shape[0])
        self.task = _train_ppo_task(folder / "evaluation.json")

    def act(self, observations: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
        normalised = self.normalizer.normalize_obs(observations)
        actions, _ = self.model.predict(normalised, deterministic=self.deterministic)
        return np.asarray(actions, np.float64)


class BenchMARLPolicy(SavedPolicy):
    """The policy of a BenchMARL experiment, restored from its checkpoint."""

    def __init__(self, checkpoint: Path, *, deterministic: bool) -> None:
        try:
            import torch
            from torchrl.envs.utils import ExplorationType

            from zandrel.integrations.benchmarl import GROUP
        except ImportError as error:
            raise SavedPolicyError(
                f"{checkpoint} is a BenchMARL checkpoint, which needs the benchmarl extra "
                f'({error}): pip install "zandrel[benchmarl]"'
            ) from None
        self._torch = torch
        self._group = GROUP
        self._exploration = (
            ExplorationType.DETERMINISTIC if deterministic else ExplorationType.RANDOM
        )
        # the restored experiment writes its configuration into a folder of its own
        with tempfile.TemporaryDirectory(prefix="zandrel-policy-") as scratch:
            experiment = _restore_experiment(checkpoint, Path(scratch))
            self.policy = experiment.policy
            self.task = dict(experiment.task.config)
            spec = experiment.test_env.full_observation_spec_unbatched
            self.observation_length = int(spec[GROUP, "observation"].shape[-1])
            self._with_state = "state" in spec
            experiment.close()

    def act(self, observations: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
        from tensordict import TensorDict
        from torchrl.envs.utils import set_exploration_type

        torch = self._torch
        rows = torch.from_numpy(observations).unsqueeze(0)
        entries: dict[str, Any] = {
            self._group: TensorDict({"observation": rows}, batch_size=rows.shape[:2])
        }
        if self._with_state:
            entries["state"] = rows[:, 0]
        with torch.no_grad(), set_exploration_type(self._exploration):
            result = self.policy(TensorDict(entries, batch_size=(1,)))
        return result[self._group, "action"][0].double().numpy()


def is_saved_policy(name: str) -> bool:
    """Whether `--policy NAME` names a file or folder rather than a built-in policy."""
    return name not in ("heuristic", "random")


def load_saved_policy(text: str, *, deterministic: bool, seed: int) -> SavedPolicy:
    """The policy saved at `text`; SavedPolicyError explains a path that holds none."""
    path = Path(text)
    if not path.exists():
        raise SavedPolicyError(f"{text!r} does not exist; {EXPECTED}")
    if path.is_dir() and (path / "model.zip").is_file():
        if not (path / "vecnormalize.pkl").is_file():
            raise SavedPolicyError(
                f"{text!r} holds model.zip but not vecnormalize.pkl, the observation statistics "
                "the model was trained with; copy both files from the training run's folder"
            )
        return _seeded(SB3Policy(path, deterministic=deterministic), seed)
    checkpoint = _benchmarl_checkpoint(path)
    if checkpoint is None:
        raise SavedPolicyError(f"{text!r} holds no saved policy; {EXPECTED}")
    return _seeded(BenchMARLPolicy(checkpoint, deterministic=deterministic), seed)


def task_config(
    policy: SavedPolicy, config: dict[str, Any], defaults: dict[str, Any]
) -> dict[str, Any]:
    """`config` with the policy's task in every keyword the command line left at its default."""
    if policy.task is None:
        return config
    merged = dict(config)
    for keyword in TASK_KEYWORDS:
        if keyword in policy.task and config[keyword] == defaults[keyword]:
            merged[keyword] = policy.task[keyword]
    return merged


def agent_observations(state: npt.NDArray[np.float64], n_agents: int) -> npt.NDArray[np.float64]:
    """Every agent's observation (n_agents, L) from the global state.

    Agent a sees the global state with its own four values first and particle 0's four
    values in the slot its own would otherwise take.
    """
    observations = np.tile(state, (n_agents, 1))
    for agent in range(1, n_agents):
        own = slice(4 * agent, 4 * agent + 4)
        observations[agent, 0:4] = state[own]
        observations[agent, own] = state[0:4]
    return observations


def _seeded(policy: SavedPolicy, seed: int) -> SavedPolicy:
    # sampled actions come from torch's generator
    import torch

    torch.manual_seed(seed)
    return policy


def _benchmarl_checkpoint(path: Path) -> Path | None:
    """The checkpoint file `path` names: itself, or an experiment folder's latest one."""
    if path.is_file():
        return path if path.suffix == ".pt" and _config_file(path).is_file() else None
    if not (path / "config.pkl").is_file():
        return None
    checkpoints = list(path.glob("checkpoints/checkpoint_*.pt"))
    if not checkpoints:
        return None
    return max(checkpoints, key=_checkpoint_frames)


def _config_file(checkpoint: Path) -> Path:
    """BenchMARL keeps an experiment's configuration two levels above its checkpoints."""
    return checkpoint.resolve().parent.parent / "config.pkl"


def _checkpoint_frames(path: Path) -> int:
    match = re.fullmatch(r"checkpoint_(\d+)\.pt", path.name)
    return int(match.group(1)) if match else -1


def _restore_experiment(checkpoint: Path, scratch: Path) -> Any:
    """The experiment of `checkpoint`, restored without writing into its folder."""
    from benchmarl.experiment import Experiment

    with open(_config_file(checkpoint), "rb") as file:
        # the callbacks, pickled last, are left unread: they may live in the training script
        task, task_config, algorithm, model, seed, config, critic_model = (
            pickle.load(file) for _ in range(7)
        )
    task.config = task_config
    config.restore_file = str(checkpoint)
    # the restored experiment only plays: no logs, evaluations or checkpoints of its own
    config.save_folder = str(scratch)
    config.loggers = []
    config.create_json = False
    config.evaluation = False
    config.render = False
    config.checkpoint_interval = 0
    config.checkpoint_at_end = False
    config.sampling_device = config.train_device = config.buffer_device = "cpu"
    config.restore_map_location = "cpu"
    return Experiment(
        task=task,
        algorithm_config=algorithm,
        model_config=model,
        critic_model_config=critic_model,
        seed=seed,
        config=config,
        callbacks=[],
    )


def _train_ppo_task(path: Path) -> dict[str, Any] | None:
    if not path.is_file():
        return None
    return json.loads(path.read_text()).get("config", {}).get("task")
