import math

import numpy as np
import pytest

FAR = [100.0, 100.0]


def reward_of(result):
    return result[2]["particle_0"]


@pytest.mark.parametrize(
    ("options", "reward"),
    [
        ({"sparse_rewards": False}, 1.4),
        # the shaping term is measured from (boulder - landmark) + displacement
        ({"sparse_rewards": False, "sparse_weight": 0.0}, 0.3999999999999999),
        ({"sparse_rewards": False, "visit_all": False, "sparse_weight": 5.0}, 1.4),
        ({"sparse_weight": 2.5}, 2.5),
    ],
)
def test_worked_example(make_native_env, options, reward):
    env = make_native_env([1.0, 0.0], [5.0, 0.0], [7.0, 0.0], **options)
    result = env.step({"particle_0": [0.0, 0.0]})
    assert result[0].tolist() == [-0.5999999999999996, 0.0, 0.0, 0.0, 5.4, 0.0, 7.0, 0.0, 1.0]
    assert reward_of(result) == reward
    assert result[3] == {"particle_0": True}
    # once everything is done every step pays exactly zero, shaping included
    result = env.step({"particle_0": [1.0, 0.0]})
    assert math.copysign(1.0, reward_of(result)) == 1.0
    assert reward_of(result) == 0.0
    assert result[3] == {"particle_0": True}


@pytest.mark.parametrize(
    ("particles", "boulders", "after"),
    [
        # contact is strict: exactly 6 apart neither pushes nor is pushed out
        (
            [0.0, 0.0, 100.0, 12.0],
            [6.0, 0.0, 100.0, 6.0],
            [0, 0, 0, 0, 100, 12, 0, 0, 6, 0, 100, 6],
        ),
        ([-4.0, 0.0, 4.0, 0.0], [0.0, 0.0], [-6, 0, 0, 0, 6, 0, 0, 0, 0, 0]),
        ([], [0.0, 0.0, 8.0, 0.0], [-1, 0, 9, 0]),
        # separation uses the positions from before the push
        ([0.0, 0.0], [5.0, 0.0, 15.1, 0.0], [-0.8, 0, 0, 0, 5.0 + 0.2, 0, 15.1, 0]),
    ],
    ids=["at-limit", "cancelling", "separating", "pushed-into-neighbour"],
)
def test_pushes(make_native_env, particles, boulders, after):
    assert make_native_env(particles, boulders).step({})[0].tolist() == pytest.approx(
        after, abs=1e-15
    )


@pytest.mark.parametrize(
    ("landmarks", "shaping"),
    [
        ([50.0, 0.0], 0.5),
        ([-40.0, 0.0], -0.5),
        # equally near landmarks: the lower index is the one measured
        ([-15.0, 0.0, 25.0, 0.0], -0.5),
        ([25.0, 0.0, -15.0, 0.0], 0.5),
        ([5000.0, 0.0], 0.0),
    ],
)
def test_shaping_follows_nearest_landmark(make_native_env, landmarks, shaping):
    env = make_native_env([1.5, 0.0], [5.0, 0.0], landmarks, sparse_rewards=False)
    assert reward_of(env.step({})) == pytest.approx(shaping, abs=1e-12)


@pytest.mark.parametrize(("landmarks", "sparse_rewards"), [([], False), ([50.0, 0.0], True)])
def test_no_shaping_without_landmarks_or_in_sparse_mode(make_native_env, landmarks, sparse_rewards):
    env = make_native_env([1.5, 0.0], [5.0, 0.0], [50.0, 0.0], sparse_rewards=False)
    assert reward_of(env.step({})) == 0.5
    env.init([1.5, 0.0], [5.0, 0.0], landmarks, 1, sparse_rewards, True, 1.0)
    assert reward_of(env.step({})) == 0.0


@pytest.mark.parametrize(
    ("landmark", "arrived"), [([6.0, 0.0], False), ([0.0, -6.0], False), ([0.0, 5.99], True)]
)
def test_arrival_is_strictly_inside_contact_distance(make_native_env, landmark, arrived):
    result = make_native_env(FAR, [0.0, 0.0], landmark).step({})
    assert result[0][-1] == float(arrived)
    assert reward_of(result) == float(arrived)
    assert result[3]["particle_0"] is arrived


@pytest.mark.parametrize(
    ("visit_all", "flags", "reward"),
    [(True, [0, 0, 1, 0, 0, 0, 1, 0], 5.0), (False, [1, 0], 1.0)],
)
def test_boulder_in_reach_of_two_landmarks(make_native_env, visit_all, flags, reward):
    # boulder 0 reaches landmarks 1 and 3, boulder 1 none; pair flags are landmark-major
    landmarks = [100.0, 100.0, 3.0, 0.0, 200.0, 200.0, -3.0, 0.0]
    env = make_native_env(
        FAR, [0.0, 0.0, 50.0, 0.0], landmarks, visit_all=visit_all, sparse_weight=2.5
    )
    result = env.step({})
    assert result[0][-len(flags) :].tolist() == flags
    assert reward_of(result) == reward
    assert result[3]["particle_0"] is False


def drive(env, action, done):
    for _ in range(100):
        result = env.step({"particle_0": action})
        assert reward_of(result) == 0.0
        if done(result[0]):
            return result
    raise AssertionError("the particle never got there")


def test_return_to_a_visited_landmark_pays_nothing(make_native_env):
    # landmark 1 is out of reach, so the episode never ends
    env = make_native_env([-4.0, 0.0], [3.0, 0.0], [0.0, 0.0, 1000.0, 1000.0], n_physics_steps=10)
    assert reward_of(env.step({})) == 1.0
    drive(env, [1.0, 0.0], lambda s: s[4] > 8.0)
    drive(env, [0.0, 1.0], lambda s: s[1] > 8.0)
    drive(env, [1.0, 0.0], lambda s: s[0] > s[4] + 8.0)
    drive(env, [0.0, -1.0], lambda s: s[1] < 0.5)
    result = drive(env, [-1.0, 0.0], lambda s: s[4] ** 2 + s[5] ** 2 < 25.0)
    assert result[0][-2:].tolist() == [1.0, 0.0]
    assert result[3]["particle_0"] is False


@pytest.mark.parametrize(
    ("visit_all", "boulders", "landmarks", "terminated"),
    [
        (True, [], [0.0, 0.0], True),
        (True, [0.0, 0.0], [], True),
        (True, [0.0, 0.0], [50.0, 50.0], False),
        (False, [], [0.0, 0.0], True),
        (False, [0.0, 0.0], [], False),
    ],
)
def test_termination_without_boulders_or_landmarks(
    make_native_env, visit_all, boulders, landmarks, terminated
):
    result = make_native_env(FAR, boulders, landmarks, visit_all=visit_all).step({})
    assert result[3]["particle_0"] is terminated
    assert reward_of(result) == 0.0


@pytest.mark.parametrize("substeps", [0, -3])
def test_counters_survive_init_until_a_goal_update(make_native_env, substeps):
    env = make_native_env([1.0, 0.0], [5.0, 0.0], [7.0, 0.0])
    assert env.step({})[3]["particle_0"] is True
    env.init([1.0, 0.0], [5.0, 0.0], [7.0, 0.0], substeps, True, True, 1.0)
    assert env.step({})[3]["particle_0"] is True
    env.reset()
    # without a sub-step even a malformed dict is never read
    array = np.array([3.0, 4.0])
    result = env.step({"particle_0": array, "bogus": None})
    assert result[3]["particle_0"] is False
    assert reward_of(result) == 0.0
    assert result[0][:4].tolist() == [1.0, 0.0, 0.0, 0.0]
    assert array.tolist() == [3.0, 4.0]
