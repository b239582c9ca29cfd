"""The batched engine under interrupts, fork, thread limits, tight layouts and races."""

import multiprocessing
import os
import re
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from process_facts import ASAN_LOADED, worker_threads

import zandrel
from zandrel.config import EnvConfig
from zandrel.layouts import draw_layout, seed_state

TIMEOUT = 120  # seconds a subprocess may take before it counts as hung
REFUSED_AFTER_INTERRUPT = (
    "step() was refused: an earlier step() or reset() was interrupted or failed part-way, so "
    "some environments may have advanced and others not; call reset() to start every "
    "environment afresh"
)
TIGHT = {"n_boulders": 5, "n_landmarks": 3, "spawn_size": 26.0}


def run_script(source):
    """Runs source in a fresh interpreter; its stdout, after a clean exit."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)],
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
        env={**os.environ, "OPENBLAS_NUM_THREADS": "1"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return result.stdout


def test_an_interrupt_flood_never_wedges_the_environment():
    output = run_script(f"""
        import signal, time
        import numpy as np
        import zandrel

        armed = False

        def interrupt(signum, frame):
            if armed:
                raise KeyboardInterrupt

        def attempt(call):
            global armed
            try:
                armed = True
                call()
                armed = False
            except KeyboardInterrupt:
                armed = False
                return "interrupted"
            except RuntimeError as error:
                armed = False
                return str(error)
            return "done"

        env = zandrel.agent_vector_env(64, num_threads=2, max_cycles=3)
        actions = np.zeros((128, 2))
        outcomes = set()
        signal.signal(signal.SIGALRM, interrupt)
        signal.setitimer(signal.ITIMER_REAL, 137e-6, 137e-6)
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            outcomes.add(attempt(env.reset))
            outcomes.add(attempt(lambda: env.step(actions)))
        signal.setitimer(signal.ITIMER_REAL, 0)
        armed = False
        twin = zandrel.agent_vector_env(64, num_threads=2, max_cycles=3)
        for batch in (env, twin):
            batch.reset(seed=5)
        same = all(
            np.array_equal(env.step(actions)[0], twin.step(actions)[0]) for _ in range(4)
        )
        print(sorted(outcomes - {{"done", "interrupted", {REFUSED_AFTER_INTERRUPT!r}}}), same)
    """)
    assert output == "[] True\n"


@pytest.mark.parametrize(
    ("factory", "num_envs", "num_threads", "n_physics_steps", "actions"),
    [
        ("vector_env", 4096, 1, 40000, "(4096, 2, 2)"),
        ("vector_env", 4096, 2, 40000, "(4096, 2, 2)"),
        ("agent_vector_env", 4096, 2, 40000, "(8192, 2)"),
        # one environment whose single step would run for hours
        ("vector_env", 1, 1, 2**31 - 1, "(1, 2, 2)"),
    ],
)
def test_a_long_step_stops_soon_after_ctrl_c(
    factory, num_envs, num_threads, n_physics_steps, actions
):
    output = run_script(f"""
        import os, signal, threading, time
        import numpy as np
        import zandrel

        env = zandrel.{factory}(
            {num_envs}, num_threads={num_threads}, n_physics_steps={n_physics_steps}
        )
        env.reset(seed=0)
        sent = []

        def send():
            time.sleep(0.3)
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=send).start()
        try:
            env.step(np.zeros({actions}))
        except KeyboardInterrupt:
            latency = time.monotonic() - sent[0]
        try:
            env.step(np.zeros({actions}))
        except RuntimeError as error:
            refusal = str(error)
        env.reset()
        print(latency)
        print(refusal)
    """)
    latency, refusal = output.splitlines()
    print(f"KeyboardInterrupt {float(latency) * 1000:.1f} ms after SIGINT")
    assert float(latency) < 1.0
    assert refusal == REFUSED_AFTER_INTERRUPT


def stepped(env, seed):
    env.reset(seed=seed)
    return env.step(np.full((env.num_envs, 2, 2), 0.5))[0].tobytes()


def child_outcome(inherited, action):
    """What a forked child does with an inherited env, as the bytes it stepped to."""
    if action == "close":
        inherited.close()
    elif action == "drop":
        del inherited
    elif action == "use":
        return stepped(inherited, 3)
    return stepped(zandrel.vector_env(48, num_threads=2), 3)


@pytest.mark.parametrize("action", ["close", "drop", "use", "new"])
def test_a_forked_child_may_close_drop_use_or_replace_the_inherited_env(action):
    env = zandrel.vector_env(48, num_threads=2)
    expected = stepped(env, 3)
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.write(write, b"1" if child_outcome(env, action) == expected else b"0")
        finally:
            os._exit(0)
    os.close(write)
    deadline = time.monotonic() + TIMEOUT
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            pytest.fail("the forked child hung")
        time.sleep(0.01)
    assert os.read(read, 1) == b"1"
    os.close(read)
    assert stepped(env, 3) == expected  # the parent's workers are untouched


SHARED_ENV = None


def step_in_pool_worker(action):
    return child_outcome(SHARED_ENV, action)


def test_multiprocessing_fork_workers_use_inherited_and_own_envs():
    global SHARED_ENV
    SHARED_ENV = zandrel.vector_env(48, num_threads=2)
    expected = stepped(SHARED_ENV, 3)
    with multiprocessing.get_context("fork").Pool(2) as pool:
        results = pool.map_async(step_in_pool_worker, ["use", "new", "use", "new"])
        assert results.get(timeout=TIMEOUT) == [expected] * 4
    assert stepped(SHARED_ENV, 3) == expected
    SHARED_ENV.close()


@pytest.mark.skipif(
    ASAN_LOADED, reason="AddressSanitizer reserves more address space than the limit"
)
def test_a_thread_count_the_system_cannot_start_is_refused_cleanly():
    output = run_script("""
        import os, resource, warnings
        import zandrel

        def workers():
            tasks = "/proc/self/task"
            count = 0
            for task in os.listdir(tasks):
                try:
                    count += open(f"{tasks}/{task}/comm").read() == "zandrel-worker\\n"
                except (FileNotFoundError, ProcessLookupError):
                    pass  # a thread that ended while the folder was read
            return count

        used = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 30), resource.RLIM_INFINITY))
        try:
            zandrel.vector_env(1000, num_threads=1000)
        except RuntimeError as error:
            print(error)
        print(workers())
        warnings.simplefilter("ignore", ResourceWarning)
        print(zandrel.vector_env(8, num_threads=2).reset(seed=0)[0].shape)
    """)
    message, leftover, shape = output.splitlines()
    started = re.fullmatch(
        r"num_threads=1000 needs 999 worker threads, but the system started only (\d+) "
        r"\(Resource temporarily unavailable\); use a smaller num_threads",
        message,
    )
    assert started
    assert int(started.group(1)) < 999
    assert (leftover, shape) == ("0", "(8, 2, 18)")


def test_the_pool_steps_across_the_wrap_of_its_call_counter():
    output = run_script("""
        import numpy as np
        import zandrel

        wrapped = zandrel.vector_env(64, num_threads=2)
        plain = zandrel.vector_env(64, num_threads=1)
        wrapped._engine._set_pool_generation_for_testing(2**32 - 3)
        for env in (wrapped, plain):
            env.reset(seed=1)
        actions = np.full((64, 2, 2), 0.3)
        steps = [(wrapped.step(actions)[0], plain.step(actions)[0]) for _ in range(8)]
        print(all(np.array_equal(ours, theirs) for ours, theirs in steps))
    """)
    assert output == "True\n"


def test_tight_layouts_never_fail_and_agree_between_single_and_batched():
    seeds = 150
    batch = zandrel.vector_env(
        seeds, max_cycles=1, num_threads=2, autoreset_mode="same_step", **TIGHT
    )
    batched = [batch.reset(seed=0)[0]]
    batched += [batch.step(np.zeros((seeds, 2, 2)))[0] for _ in range(2)]
    for seed in range(seeds):
        single = zandrel.parallel_env(max_cycles=1, **TIGHT)
        observations = [single.reset(seed=seed)[0]]
        for _ in range(2):
            single.step({agent: np.zeros(2) for agent in single.agents})
            observations.append(single.reset()[0])
        for batch_obs, single_obs in zip(batched, observations, strict=True):
            assert np.stack(list(single_obs.values())).tobytes() == batch_obs[seed].tobytes()
    # some of these draws went to the grid: landmarks on its points -13, 0 and 13
    on_grid = [
        set(draw_layout(seed_state(seed), EnvConfig(**TIGHT)).landmarks.ravel()) <= {-13, 0, 13}
        for seed in range(seeds)
    ]
    assert 0 < sum(on_grid) < seeds


@pytest.mark.parametrize("factory", [zandrel.parallel_env, zandrel.vector_env])
def test_layouts_beyond_the_grid_bound_are_refused_at_construction(factory):
    with pytest.raises(ValueError, match="spawn_size") as raised:
        factory(
            **({"num_envs": 2} if factory is zandrel.vector_env else {}),
            **{**TIGHT, "spawn_size": 25.5},
        )
    assert str(raised.value) == (
        "spawn_size must leave room for 5 boulders, 3 landmarks and 2 particles with their start "
        "clearances, got 25.5; the smallest spawn_size that fits is 26.0"
    )


def test_close_from_another_thread_is_refused_while_a_step_runs():
    env = zandrel.vector_env(2048, num_threads=2, n_physics_steps=3000)
    env.reset(seed=0)
    started = threading.Event()

    def step():
        started.set()
        env.step(np.zeros((2048, 2, 2)))

    stepper = threading.Thread(target=step)
    stepper.start()
    started.wait()
    time.sleep(0.05)
    with pytest.raises(RuntimeError) as raised:
        env.close()
    stepper.join()
    assert str(raised.value) == (
        "close() was called while another call on the same ZandrelVectorEnv is running in "
        "another thread; use each ZandrelVectorEnv from one thread at a time"
    )
    assert not env.closed
    env.close()
    assert env.closed
    assert worker_threads() == 0


def test_a_daemon_thread_still_stepping_at_exit_is_quiet():
    run_script("""
        import threading, time
        import numpy as np
        import zandrel

        env = zandrel.vector_env(256, num_threads=2)
        env.reset(seed=0)

        def step_forever():
            while True:
                env.step(np.zeros((256, 2, 2)))

        threading.Thread(target=step_forever, daemon=True).start()
        time.sleep(0.3)
    """)


def test_threads_are_capped_at_the_environments_and_warn_above_the_cpus(monkeypatch):
    monkeypatch.setattr(os, "sched_getaffinity", lambda pid: {0})
    with pytest.warns(ResourceWarning) as warned:
        env = zandrel.vector_env(3, num_threads=8)
    assert env.num_threads == 3
    assert str(warned[0].message) == (
        "num_threads=8 runs 3 threads, more than the 1 CPUs this process may use; threads "
        "beyond the CPUs wait for each other and slow every step"
    )


def test_a_byte_swapped_out_buffer_is_refused_naming_the_byte_order():
    env = zandrel.vector_env(2)
    env.reset(seed=0)
    shape = (2, 2, env.observation_length)
    out = (np.empty(shape, ">f8"), np.empty(2), np.empty(2, bool), np.empty(2, bool))
    with pytest.raises(ValueError, match="byte-order") as raised:
        env.step(np.zeros((2, 2, 2)), out=out)
    assert str(raised.value) == (
        f"out[0] (observations) must be a writable C-contiguous native-byte-order float64 array "
        f"of shape {shape}, got a big-endian float64 array of shape {shape}"
    )


@pytest.mark.parametrize("seeds", [np.array([4, 9], np.int64), np.array([4, 9], np.uint32), (4, 9)])
def test_any_sequence_of_seeds_is_accepted(seeds):
    env, twin = zandrel.vector_env(2), zandrel.vector_env(2)
    assert np.array_equal(env.reset(seed=seeds)[0], twin.reset(seed=[4, 9])[0])
