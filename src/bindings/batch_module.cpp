// The zandrel._batch extension module: the batched engine and the layout sampler.
// Arrays are checked here, at the boundary; the engine then runs without the
// interpreter lock.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch/batch_engine.hpp"
#include "bindings/common/array_pool.hpp"
#include "task/approach.hpp"
#include "task/layout_sampler.hpp"

namespace py = pybind11;

namespace {

std::string shape_text(const std::vector<py::ssize_t>& shape) {
  std::string text = "(";
  for (size_t i = 0; i < shape.size(); ++i) {
    text += (i > 0 ? ", " : "") + std::to_string(shape[i]);
  }
  return text + (shape.size() == 1 ? ",)" : ")");
}

std::vector<py::ssize_t> shape_of(const py::array& array) {
  return {array.shape(), array.shape() + array.ndim()};
}

// the array itself, when it is a C-contiguous, aligned array of one of the dtypes
// and of the shape; a ValueError naming the argument and what came otherwise
py::array checked(const py::handle& value, const char* name, const std::vector<py::dtype>& dtypes,
                  const std::vector<py::ssize_t>& shape, bool writable) {
  std::string wanted = std::string(writable ? "a writable " : "a ") + "C-contiguous ";
  for (size_t i = 0; i < dtypes.size(); ++i) {
    wanted += (i > 0 ? " or " : "") + dtypes[i].attr("name").cast<std::string>();
  }
  wanted += " array of shape " + shape_text(shape);
  if (!py::isinstance<py::array>(value)) {
    throw py::value_error(std::string(name) + " must be " + wanted + ", got " +
                          py::str(py::type::of(value).attr("__name__")).cast<std::string>());
  }
  auto array = py::reinterpret_borrow<py::array>(value);
  bool dtype_ok = false;
  for (const py::dtype& dtype : dtypes)
    dtype_ok = dtype_ok || array.dtype().is(dtype) || array.dtype().equal(dtype);
  const int flags = py::detail::array_proxy(array.ptr())->flags;
  const bool layout_ok = (flags & py::array::c_style) != 0 &&
                         (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0 &&
                         (!writable || (flags & py::detail::npy_api::NPY_ARRAY_WRITEABLE_) != 0);
  if (!dtype_ok || !layout_ok || shape_of(array) != shape) {
    std::string got = array.dtype().attr("name").cast<std::string>() + " array of shape " +
                      shape_text(shape_of(array));
    if (dtype_ok && shape_of(array) == shape) {
      got = (flags & py::array::c_style) == 0 ? "a non-contiguous " + got
            : writable && (flags & py::detail::npy_api::NPY_ARRAY_WRITEABLE_) == 0
                ? "a read-only " + got
                : "an unaligned " + got;
    } else {
      got = "a " + got;
    }
    throw py::value_error(std::string(name) + " must be " + wanted + ", got " + got);
  }
  return array;
}

// bytes [begin, end) of a checked array
struct Extent {
  const char* begin;
  const char* end;
  const char* name;
};

Extent extent_of(const py::array& array, const char* name) {
  const auto* data = static_cast<const char*>(array.data());
  return {data, data + array.nbytes(), name};
}

// outputs written from several threads must not share memory with each other or
// with the actions being read
void check_disjoint(const std::vector<Extent>& extents) {
  for (size_t i = 0; i < extents.size(); ++i) {
    for (size_t j = i + 1; j < extents.size(); ++j) {
      const Extent& a = extents[i];
      const Extent& b = extents[j];
      if (a.begin < b.end && b.begin < a.end) {
        throw py::value_error(std::string(a.name) + " and " + b.name +
                              " share memory; every buffer must be an array of its own");
      }
    }
  }
}

AutoresetMode autoreset_mode(const std::string& name) {
  if (name == "next_step") return AutoresetMode::next_step;
  if (name == "same_step") return AutoresetMode::same_step;
  if (name == "disabled") return AutoresetMode::disabled;
  throw py::value_error("autoreset_mode must be 'next_step', 'same_step' or 'disabled', got '" +
                        name + "'");
}

Xoshiro256::State state_from(const uint64_t* words) {
  return {words[0], words[1], words[2], words[3]};
}

// the next start layout from a generator state, which advances in place
py::tuple draw_layout_from(const py::array& state, int32_t n_agents, int32_t n_boulders,
                           int32_t n_landmarks, double spawn_size) {
  py::array words = checked(state, "state", {py::dtype::of<uint64_t>()}, {4}, true);
  auto* data = static_cast<uint64_t*>(words.mutable_data());
  Xoshiro256 random;
  random.seed(state_from(data));
  StartLayout layout;
  const LayoutCounts counts{n_agents, n_boulders, n_landmarks, spawn_size};
  const bool found = draw_layout(random, counts, layout);
  std::copy(random.state().begin(), random.state().end(), data);
  if (!found) throw py::value_error(spawn_size_message(counts));
  auto points = [](const std::vector<double>& flat) {
    py::array_t<double> array({static_cast<py::ssize_t>(flat.size() / 2), py::ssize_t{2}});
    std::copy(flat.begin(), flat.end(), array.mutable_data());
    return array;
  };
  return py::make_tuple(points(layout.particles), points(layout.boulders),
                        points(layout.landmarks));
}

// the approach term between two state vectors of the same counts
double approach_progress_of(const py::handle& before, const py::handle& after, int32_t n_agents,
                            int32_t n_boulders, int32_t n_landmarks, bool visit_all) {
  const py::ssize_t flags = visit_all ? py::ssize_t{n_landmarks} * n_boulders : n_boulders;
  const py::ssize_t length = 4 * py::ssize_t{n_agents} + 2 * py::ssize_t{n_boulders} +
                             2 * py::ssize_t{n_landmarks} + flags;
  const py::array start = checked(before, "before", {py::dtype::of<double>()}, {length}, false);
  const py::array end = checked(after, "after", {py::dtype::of<double>()}, {length}, false);
  const StateCounts counts{n_agents, n_boulders, n_landmarks, visit_all};
  return approach_progress(static_cast<const double*>(start.data()),
                           static_cast<const double*>(end.data()), counts);
}

// the engine with the shapes of its buffers
class PyBatchEngine {
 public:
  PyBatchEngine(const BatchConfig& config, bool float_observations)
      : engine_(config, float_observations),
        num_envs_(config.num_envs),
        n_agents_(config.n_agents),
        float_observations_(float_observations) {}

  int32_t observation_length() const { return engine_.observation_length(); }
  int32_t num_threads() const { return engine_.num_threads(); }

  void seed(const py::handle& states, const py::handle& mask) {
    py::array words = checked(states, "states", {py::dtype::of<uint64_t>()}, {num_envs_, 4}, false);
    const auto* data = static_cast<const uint64_t*>(words.data());
    const py::object mask_array = checked_mask(mask);
    const bool* selected = flags_of(mask_array);
    for (int32_t env = 0; env < num_envs_; ++env) {
      if (selected == nullptr || selected[env]) engine_.seed(env, state_from(data + 4 * env));
    }
  }

  // starts new episodes in the environments of mask (all when None); returns every
  // environment's observations in a fresh array
  py::array reset(const py::handle& mask) {
    const py::object mask_array = checked_mask(mask);
    const bool* selected = flags_of(mask_array);
    py::array obs;
    {
      const ResultArrayScope pooled(result_bytes());
      obs = py::array(observation_dtype(), observation_shape());
    }
    void* out = obs.mutable_data();
    {
      py::gil_scoped_release release;
      engine_.reset(selected, out);
    }
    return obs;
  }

  // Steps every environment. Results go to `out` (observations, rewards,
  // terminations, truncations) when it is given, else to fresh arrays; returns the
  // four arrays and the number of episodes that ended.
  py::tuple step(const py::handle& actions, const py::handle& final_observations,
                 const py::handle& final_mask, const py::handle& out) {
    const std::vector<py::ssize_t> per_env = {num_envs_};
    const py::array acts =
        checked(actions, "actions", {py::dtype::of<double>(), py::dtype::of<float>()},
                {num_envs_, n_agents_, 2}, false);
    py::array final_obs = observations_buffer(final_observations, "final_observations");
    py::array final_flags =
        checked(final_mask, "final_mask", {py::dtype::of<bool>()}, per_env, true);
    py::array obs, rew, term, trunc;
    if (out.is_none()) {
      const ResultArrayScope pooled(result_bytes());
      obs = py::array(observation_dtype(), observation_shape());
      rew = py::array_t<double>(per_env);
      term = py::array_t<bool>(per_env);
      trunc = py::array_t<bool>(per_env);
    } else {
      const auto buffers = py::reinterpret_borrow<py::tuple>(checked_out(out));
      obs = observations_buffer(buffers[0], "out[0] (observations)");
      rew = checked(buffers[1], "out[1] (rewards)", {py::dtype::of<double>()}, per_env, true);
      term = checked(buffers[2], "out[2] (terminations)", {py::dtype::of<bool>()}, per_env, true);
      trunc = checked(buffers[3], "out[3] (truncations)", {py::dtype::of<bool>()}, per_env, true);
    }
    check_disjoint({extent_of(acts, "actions"), extent_of(obs, "observations"),
                    extent_of(rew, "rewards"), extent_of(term, "terminations"),
                    extent_of(trunc, "truncations"), extent_of(final_obs, "final_observations"),
                    extent_of(final_flags, "final_mask")});
    const StepBuffers buffers{obs.mutable_data(),
                              static_cast<double*>(rew.mutable_data()),
                              static_cast<bool*>(term.mutable_data()),
                              static_cast<bool*>(trunc.mutable_data()),
                              final_obs.mutable_data(),
                              static_cast<bool*>(final_flags.mutable_data())};
    const bool float_actions = acts.dtype().equal(py::dtype::of<float>());
    const void* action_data = acts.data();
    int64_t ended = 0;
    {
      py::gil_scoped_release release;
      ended = engine_.step(action_data, float_actions, buffers);
    }
    return py::make_tuple(obs, rew, term, trunc, ended);
  }

  // environment env's global state as a fresh float64 array, and its episode's steps
  py::tuple state(int32_t env) {
    py::array_t<double> state(engine_.observation_length());
    const int64_t steps = engine_.read_state(env, state.mutable_data());
    return py::make_tuple(state, steps);
  }

  void close() {
    py::gil_scoped_release release;
    engine_.close();
  }

 private:
  py::dtype observation_dtype() const {
    return float_observations_ ? py::dtype::of<float>() : py::dtype::of<double>();
  }

  std::vector<py::ssize_t> observation_shape() const {
    return {num_envs_, n_agents_, engine_.observation_length()};
  }

  // bytes of one call's fresh results
  size_t result_bytes() const {
    const size_t values = static_cast<size_t>(num_envs_) * static_cast<size_t>(n_agents_) *
                          static_cast<size_t>(engine_.observation_length());
    return values * (float_observations_ ? sizeof(float) : sizeof(double)) +
           static_cast<size_t>(num_envs_) * (sizeof(double) + 2);
  }

  py::array observations_buffer(const py::handle& value, const char* name) const {
    return checked(value, name, {observation_dtype()}, observation_shape(), true);
  }

  static py::handle checked_out(const py::handle& out) {
    if (!py::isinstance<py::tuple>(out) || py::len(out) != 4) {
      throw py::value_error(
          "out must be a tuple of 4 arrays (observations, rewards, terminations, "
          "truncations), got " +
          py::repr(out).cast<std::string>());
    }
    return out;
  }

  py::object checked_mask(const py::handle& mask) const {
    if (mask.is_none()) return py::none();
    return checked(mask, "mask", {py::dtype::of<bool>()}, {num_envs_}, false);
  }

  // null for None, meaning every environment
  static const bool* flags_of(const py::object& mask) {
    if (mask.is_none()) return nullptr;
    return static_cast<const bool*>(py::reinterpret_borrow<py::array>(mask).data());
  }

  BatchEngine engine_;
  py::ssize_t num_envs_;
  py::ssize_t n_agents_;
  bool float_observations_;
};

}  // namespace

PYBIND11_MODULE(_batch, module) {
  module.doc() = "Native batched stepping and start layouts for the zandrel package";

  module.def("draw_layout", &draw_layout_from,
             "Draws a start layout from a generator state of four uint64 words, which advances "
             "in place; returns (particles, boulders, landmarks) as (n, 2) float64 arrays.",
             py::arg("state"), py::arg("n_agents"), py::arg("n_boulders"), py::arg("n_landmarks"),
             py::arg("spawn_size"));

  module.def("approach_progress", &approach_progress_of,
             "How much closer the particles came to their nearest open boulders between two "
             "state vectors; the approach term before its weight.",
             py::arg("before"), py::arg("after"), py::arg("n_agents"), py::arg("n_boulders"),
             py::arg("n_landmarks"), py::arg("visit_all"));

  py::class_<PyBatchEngine>(module, "BatchEngine")
      .def(py::init([](int32_t num_envs, int32_t n_agents, int32_t n_boulders, int32_t n_landmarks,
                       int32_t n_physics_steps, bool sparse_rewards, bool visit_all,
                       double sparse_weight, int64_t max_cycles, double spawn_size,
                       double approach_shaping, const std::string& mode, int32_t num_threads,
                       bool float_observations) {
             BatchConfig config;
             config.num_envs = num_envs;
             config.n_agents = n_agents;
             config.n_boulders = n_boulders;
             config.n_landmarks = n_landmarks;
             config.n_physics_steps = n_physics_steps;
             config.sparse_rewards = sparse_rewards;
             config.visit_all = visit_all;
             config.sparse_weight = sparse_weight;
             config.max_cycles = max_cycles;
             config.spawn_size = spawn_size;
             config.approach_shaping = approach_shaping;
             config.autoreset_mode = autoreset_mode(mode);
             config.num_threads = num_threads;
             return new PyBatchEngine(config, float_observations);
           }),
           py::arg("num_envs"), py::arg("n_agents"), py::arg("n_boulders"), py::arg("n_landmarks"),
           py::arg("n_physics_steps"), py::arg("sparse_rewards"), py::arg("visit_all"),
           py::arg("sparse_weight"), py::arg("max_cycles"), py::arg("spawn_size"),
           py::arg("approach_shaping"), py::arg("autoreset_mode"), py::arg("num_threads"),
           py::arg("float_observations"))
      .def_property_readonly("observation_length", &PyBatchEngine::observation_length)
      .def_property_readonly("num_threads", &PyBatchEngine::num_threads)
      .def("seed", &PyBatchEngine::seed,
           "Sets the generator state (num_envs, 4) uint64 of every environment in mask "
           "(all when None).",
           py::arg("states"), py::arg("mask") = py::none())
      .def("reset", &PyBatchEngine::reset,
           "Starts a new episode in every environment in mask (all when None); returns every "
           "environment's observations.",
           py::arg("mask"))
      .def("step", &PyBatchEngine::step,
           "Steps every environment; returns (observations, rewards, terminations, "
           "truncations, number of ended episodes), in out when it is given.",
           py::arg("actions"), py::arg("final_observations"), py::arg("final_mask"), py::arg("out"))
      .def("state", &PyBatchEngine::state,
           "Environment env's global state (particle 0's observation, float64) and the steps "
           "of its current episode.",
           py::arg("env"))
      .def("close", &PyBatchEngine::close, "Joins the worker threads; later calls raise.");
}
