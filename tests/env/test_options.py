"""The one declaration of the options: ranges both envs share, its typing stub and its docs."""

import argparse
import re
import typing
from dataclasses import fields

import numpy as np
import pytest

import zandrel
from zandrel import _batch
from zandrel.options import EnvConfig, ZandrelConfig, add_config_arguments, config_from

ENVS = {
    "parallel_env": lambda **keywords: zandrel.parallel_env(**keywords),
    "vector_env": lambda **keywords: zandrel.vector_env(1, **keywords),
}
INT32_RANGE = "and at most 2147483647 (2**31 - 1), got 2147483648"


@pytest.mark.parametrize("make", ENVS.values(), ids=ENVS.keys())
@pytest.mark.parametrize(
    ("keyword", "value", "message"),
    [
        ("n_agents", 2**31, f"n_agents must be an integer >= 1 {INT32_RANGE}"),
        ("n_boulders", 2**31, f"n_boulders must be an integer >= 0 {INT32_RANGE}"),
        ("n_landmarks", 2**31, f"n_landmarks must be an integer >= 0 {INT32_RANGE}"),
        ("n_physics_steps", 2**31, f"n_physics_steps must be an integer >= 1 {INT32_RANGE}"),
        (
            "max_cycles",
            2**63,
            "max_cycles must be None or an integer >= 1 and at most 9223372036854775807 "
            "(2**63 - 1), got 9223372036854775808",
        ),
        (
            "spawn_size",
            1e300,
            "spawn_size must be a finite number > 0 and at most 1e12, got 1e+300",
        ),
    ],
)
def test_numbers_the_native_code_cannot_hold_are_refused_alike(make, keyword, value, message):
    with pytest.raises(zandrel.ConfigError, match=f"^{re.escape(message)}$"):
        make(**{keyword: value})


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: zandrel.vector_env(2**31), f"num_envs must be an integer >= 1 {INT32_RANGE}"),
        (
            lambda: zandrel.vector_env(1, num_threads=2**31),
            f"num_threads must be an integer >= 1 {INT32_RANGE}",
        ),
    ],
)
def test_engine_counts_must_fit_int32(call, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        call()


def test_largest_episode_limit_is_accepted_by_both_envs():
    assert zandrel.parallel_env(max_cycles=2**63 - 1).max_cycles == 2**63 - 1
    assert zandrel.vector_env(1, max_cycles=2**63 - 1).config.max_cycles == 2**63 - 1


def test_default_episode_limit_stays_within_int64():
    # 350 steps per goal scaled by a vast square would pass 2**63 - 1
    config = EnvConfig(n_agents=1, n_boulders=2**20, n_landmarks=1, spawn_size=1e12)
    assert config.max_cycles == 2**63 - 1


@pytest.mark.parametrize("name", ENVS.keys())
def test_unknown_keyword_names_the_declared_ones(name):
    keywords = ", ".join(field.name for field in fields(EnvConfig))
    message = (
        f"{'ZandrelEnv' if name == 'parallel_env' else name}() got an unexpected keyword "
        f"argument 'n_agent'; the environment keywords are {keywords}"
    )
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        ENVS[name](n_agent=3)


def test_typing_stub_lists_exactly_the_declared_fields():
    declared = typing.get_type_hints(EnvConfig)
    assert typing.get_type_hints(ZandrelConfig) == {**declared, "render_mode": str | None}


def test_help_documents_every_keyword_with_its_default():
    arguments = zandrel.ZandrelEnv.__doc__.split("## Arguments")[1]
    for field in fields(EnvConfig):
        assert f"- `{field.name}={field.default!r}`:" in arguments


def test_command_line_gives_every_keyword_and_its_default():
    parser = argparse.ArgumentParser()
    add_config_arguments(parser, approach_shaping=0.5)
    config = config_from(parser.parse_args(["--n-agents", "3", "--visit-all"]))
    defaults = {field.name: field.default for field in fields(EnvConfig)}
    assert config == {**defaults, "n_agents": 3, "visit_all": True, "approach_shaping": 0.5}


def test_engine_reads_the_task_by_name_and_refuses_what_does_not_fit():
    class Unchecked:
        def __getattr__(self, name):
            return getattr(EnvConfig(), name)

    task = Unchecked()
    engine = _batch.BatchEngine(task, 1, "same_step", 1, False)
    assert engine.observation_length == EnvConfig().state_length
    engine.close()
    task.n_agents = 2**31
    message = "task.n_agents does not fit its native field, got 2147483648"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        _batch.BatchEngine(task, 1, "same_step", 1, False)


def test_object_actions_of_real_numbers_step_both_envs_alike():
    single, batch = zandrel.parallel_env(), zandrel.vector_env(1)
    single.reset(seed=3)
    batch.reset(seed=3)
    actions = np.array([[[1, 0.5], [True, -2.0]]], dtype=object)
    observations = single.step(dict(zip(single.agents, actions[0], strict=True)))[0]
    assert np.array_equal(batch.step(actions)[0][0], np.stack(list(observations.values())))
    message = "actions must be an array of real numbers, got dtype object"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        batch.step(np.array([[[1, "x"], [0, 0]]], dtype=object))
