import pytest
import zandrel_cpp

OPTIONS = {"n_physics_steps": 1, "sparse_rewards": True, "visit_all": True, "sparse_weight": 1.0}


@pytest.fixture
def make_native_env():
    """Factory for an initialised native environment; options default to one sparse sub-step."""

    def make(particles, boulders=(), landmarks=(), **options):
        env = zandrel_cpp.Environment()
        env.init(list(particles), list(boulders), list(landmarks), **{**OPTIONS, **options})
        return env

    return make
