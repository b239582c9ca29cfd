"""Start layouts given to reset: the episodes of drawn ones, refused when they do not fit."""

import pickle
import re

import numpy as np
import pytest

import zandrel
from zandrel.layouts import Layout, draw_layout, seed_state

ACTIONS = {"particle_0": (0.3, -1.0), "particle_1": (-0.7, 0.2)}


def test_given_layout_runs_the_episode_of_the_drawn_one():
    drawn, given = zandrel.parallel_env(), zandrel.parallel_env()
    drawn.reset(seed=5)
    layout = draw_layout(seed_state(5), given.config)
    given.reset(options={"layout": layout})
    # later writes to the caller's arrays do not reach the episode
    layout.particles[:] = 0.0
    for _ in range(40):
        assert drawn.step(ACTIONS)[1:4] == given.step(ACTIONS)[1:4]
        assert drawn.state().tobytes() == given.state().tobytes()
    copy = pickle.loads(pickle.dumps(given))
    assert np.array_equal(copy.state(), given.state())


FAR = np.array([[50.0, 50.0], [-50.0, 50.0]])


@pytest.mark.parametrize(
    ("layout", "message"),
    [
        ({"particles": FAR}, "options['layout'] must be a zandrel.layouts.Layout, got dict"),
        (
            Layout(FAR[:1], FAR, FAR),
            "options['layout'].particles must have shape (2, 2) (n_agents, 2), got (1, 2)",
        ),
        (
            Layout(FAR, FAR, np.array([[0.0, 1.0], [np.inf, 0.0]])),
            "options['layout'].landmarks must hold finite numbers, got [inf, 0.0] in row 1",
        ),
        (
            Layout(FAR, [["a", "b"], ["c", "d"]], FAR),
            "options['layout'].boulders must hold real numbers, got [['a', 'b'], ['c', 'd']]",
        ),
    ],
)
def test_layouts_that_do_not_fit_are_refused(layout, message):
    env = zandrel.parallel_env()
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        env.reset(options={"layout": layout})
