"""The memory guard: estimates that match what a batch really holds, and refusals up front."""

import json
import subprocess
import sys

import numpy as np
import pytest
from process_facts import ASAN_LOADED

import zandrel
from zandrel.options import MAX_MEMORY_BYTES_VARIABLE, ConfigError
from zandrel.zandrel_env import ZandrelEnv

SMALLEST = {"n_agents": 1, "n_boulders": 0, "n_landmarks": 0}

# resident bytes per environment after building, resetting and stepping through autoresets,
# next to the estimate; the results stay alive as in a training loop
MEASURE = """
import json, os, sys
import numpy as np
import zandrel

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

num_envs, config = int(sys.argv[1]), json.loads(sys.argv[2])
before = resident()
envs = zandrel.vector_env(num_envs, num_threads=1, **config)
actions = np.zeros((num_envs, envs.n_agents, 2))
observations, infos = envs.reset(seed=0)
peak = 0
for _ in range(7):
    observations, *results = envs.step(actions)
    peak = max(peak, resident())
print(json.dumps([envs.memory_bytes_per_env, (peak - before) / num_envs]))
"""

# resident bytes given back by close(), once the results are gone; malloc_trim hands
# freed heap pages back, which malloc alone may keep
RELEASE = """
import ctypes, os
import numpy as np
import zandrel

trim = ctypes.CDLL("libc.so.6").malloc_trim

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

envs = zandrel.vector_env(100_000, num_threads=1)
observations, infos = envs.reset(seed=0)
results = envs.step(np.zeros((100_000, 2, 2)))
del observations, results
trim(0)
before = resident()
envs.close()
trim(0)
print((before - resident()) / (100_000 * 2 * envs.observation_length * 8))
"""


def run_python(code, *args):
    done = subprocess.run(
        [sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


# max_cycles=3 lets every episode end, and restart, within the steps measured
# AddressSanitizer's allocator pads every block and keeps freed ones in quarantine, so
# resident memory there says nothing of what the environments hold
measures_the_plain_allocator = pytest.mark.skipif(
    ASAN_LOADED, reason="AddressSanitizer's allocator changes resident memory"
)


@measures_the_plain_allocator
@pytest.mark.parametrize("config", [{"max_cycles": 3}, SMALLEST], ids=["default", "smallest"])
def test_estimate_matches_resident_memory(config):
    estimate, measured = run_python(MEASURE, "50000", json.dumps(config))
    assert 1 / 1.5 <= estimate / measured <= 1.5, (estimate, measured)


@measures_the_plain_allocator
def test_close_frees_the_pooled_results():
    # at least most of one observations array: the buffer kept for the next step
    assert run_python(RELEASE) > 0.8


def test_batch_too_large_is_refused(monkeypatch):
    monkeypatch.delenv(MAX_MEMORY_BYTES_VARIABLE, raising=False)
    # the figure follows the native record's size, which the resident-memory test checks
    total = 20_000_000 * zandrel.vector_env(1, **SMALLEST).memory_bytes_per_env
    with pytest.raises(ConfigError) as refused:
        zandrel.vector_env(20_000_000, **SMALLEST)
    assert str(refused.value) == (
        "20,000,000 environments of n_agents=1, n_boulders=0, n_landmarks=0 would take about "
        f"{total / 2**30:.1f} GiB ({total:,} bytes) of memory, over max_memory_bytes="
        "8,589,934,592; pass a larger max_memory_bytes or set ZANDREL_MAX_MEMORY_BYTES if the "
        "memory is there"
    )


@pytest.mark.parametrize("through_variable", [False, True], ids=["keyword", "variable"])
@pytest.mark.parametrize("spare", [-1, 0])
def test_limit_is_the_estimate(monkeypatch, through_variable, spare):
    estimate = 100 * zandrel.vector_env(1).memory_bytes_per_env
    limit = estimate + spare
    keywords = {}
    if through_variable:
        monkeypatch.setenv(MAX_MEMORY_BYTES_VARIABLE, str(limit))
    else:
        keywords["max_memory_bytes"] = limit
    if spare < 0:
        with pytest.raises(ConfigError, match=f"over max_memory_bytes={limit:,};"):
            zandrel.vector_env(100, **keywords)
    else:
        zandrel.vector_env(100, **keywords).close()


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_agent_view_counts_its_own_arrays(dtype):
    # enough for the team env alone, not for the agents' arrays on top of it
    # the agent view autoresets in the same step
    team = zandrel.vector_env(1, dtype=dtype, autoreset_mode="same_step")
    team_estimate = 100 * team.memory_bytes_per_env
    with pytest.raises(ConfigError, match=r"^100 agent-viewed environments of n_agents=2 would"):
        zandrel.agent_vector_env(100, dtype=dtype, max_memory_bytes=team_estimate)


def test_single_env_is_refused():
    with pytest.raises(ConfigError) as refused:
        ZandrelEnv(n_agents=100, max_memory_bytes=100_000)
    assert str(refused.value) == (
        "one environment of n_agents=100 would take about 1.4 MiB (1,437,712 bytes) of memory, "
        "over max_memory_bytes=100,000; pass a larger max_memory_bytes or set "
        "ZANDREL_MAX_MEMORY_BYTES if the memory is there"
    )
