// The zandrel._batch extension module: the batched engine and the layout sampler.
// Arrays are checked here, at the boundary; the engine then runs without the
// interpreter lock.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "batch/batch_engine.hpp"
#include "bindings/common/array_pool.hpp"
#include "core/zandrel_environment.hpp"
#include "task/approach.hpp"
#include "task/layout_sampler.hpp"
#include "task/task_config.hpp"

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

// the byte order of a dtype whose bytes are swapped relative to this machine, or
// null when it is native
const char* swapped_byte_order(const py::dtype& dtype) {
  const char order = dtype.byteorder();
  if (order == '>') return "big-endian";
  if (order == '<') return "little-endian";
  return nullptr;  // '=' native, '|' order does not apply
}

// whether dtype is one of dtypes in the other byte order
bool byte_swapped_of(const py::dtype& dtype, const std::vector<py::dtype>& dtypes) {
  if (swapped_byte_order(dtype) == nullptr) return false;
  const auto native = dtype.attr("newbyteorder")("=").cast<py::dtype>();
  for (const py::dtype& wanted : dtypes) {
    if (native.equal(wanted)) return true;
  }
  return false;
}

// the array itself, when it is a C-contiguous, aligned array of one of the dtypes
// and of the shape; a ValueError naming the argument and what came otherwise
py::array checked(const py::handle& value, const char* name, const std::vector<py::dtype>& dtypes,
                  const std::vector<py::ssize_t>& shape, bool writable) {
  const bool swapped = py::isinstance<py::array>(value) &&
                       byte_swapped_of(py::reinterpret_borrow<py::array>(value).dtype(), dtypes);
  std::string wanted = std::string(writable ? "a writable " : "a ") + "C-contiguous " +
                       (swapped ? "native-byte-order " : "");
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
    } else if (swapped) {
      got = std::string("a ") + swapped_byte_order(array.dtype()) + " " + got;
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

// a task field from its Python value: numbers and flags as they are, the mode from
// its name, the neighbour counts from a sequence of three integers
template <typename Value>
Value task_value(const py::object& value) {
  if constexpr (std::is_same_v<Value, ObservationMode>) {
    return observation_mode_named(value.cast<std::string>());
  } else if constexpr (std::is_same_v<Value, NeighbourCounts>) {
    const auto counts = value.cast<std::array<int32_t, 3>>();
    return {counts[0], counts[1], counts[2]};
  } else {
    return value.cast<Value>();
  }
}

// every field of the task from the attribute of the same name; the package checks
// the values first, so a refusal here means a caller bypassed those checks
TaskConfig task_config_from(const py::handle& source) {
  TaskConfig config;
  for_each_task_field([&](const char* name, auto member) {
    using Value = std::remove_reference_t<decltype(config.*member)>;
    const py::object value = source.attr(name);
    try {
      config.*member = task_value<Value>(value);
    } catch (const py::cast_error&) {
      throw py::value_error(std::string("task.") + name + " does not fit its native field, got " +
                            py::repr(value).cast<std::string>());
    }
  });
  return config;
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
  draw_layout(random, counts, layout);
  std::copy(random.state().begin(), random.state().end(), data);
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
  const auto length =
      static_cast<py::ssize_t>(state_length_for(n_agents, n_boulders, n_landmarks, visit_all));
  const py::array start = checked(before, "before", {py::dtype::of<double>()}, {length}, false);
  const py::array end = checked(after, "after", {py::dtype::of<double>()}, {length}, false);
  const StateCounts counts{n_agents, n_boulders, n_landmarks, visit_all};
  return approach_progress(static_cast<const double*>(start.data()),
                           static_cast<const double*>(end.data()), counts);
}

// Python 3.13 made the finalisation test public under another name
bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// the thread that runs signal handlers, read from the threading module at import
unsigned long main_thread_ident = 0;

// A daemon thread that comes back from the engine while the interpreter exits
// must not take the interpreter lock: Python would end the thread by unwinding
// frames that cannot be unwound, which aborts the process. It waits for the exit.
[[noreturn]] void wait_for_exit() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// the interpreter lock released for a scope, as pybind11's gil_scoped_release,
// but never taken back while the interpreter exits
class InterpreterReleased {
 public:
  InterpreterReleased() : state_(PyEval_SaveThread()) {}
  ~InterpreterReleased() {
    if (interpreter_finalizing()) wait_for_exit();
    try {
      PyEval_RestoreThread(state_);
    } catch (...) {
      // the exit began while this thread waited for the lock, and Python ends such a
      // thread by unwinding it (a forced unwind, the one thing that leaves the restore;
      // caught untyped, since it is no C++ object to bind a reference to); the frames
      // above hold Python objects that cannot be released without the lock, so the
      // thread waits for the exit here instead
      wait_for_exit();
    }
  }
  InterpreterReleased(const InterpreterReleased&) = delete;
  InterpreterReleased& operator=(const InterpreterReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Asked while the engine runs without the interpreter lock: runs the handlers of
// pending signals (Ctrl-C), and stops the call when one raised. Only the main
// thread handles signals, so calls from other threads are never stopped.
StopCheck signal_check() {
  if (PyThread_get_thread_ident() != main_thread_ident) return {};
  return [] {
    if (interpreter_finalizing()) wait_for_exit();
    py::gil_scoped_acquire acquire;
    return PyErr_CheckSignals() != 0;
  };
}

// runs work(stop) without the interpreter lock; an interrupted call raises the
// exception that the signal handler raised, KeyboardInterrupt for Ctrl-C
template <typename Work>
auto without_interpreter(const Work& work) {
  const StopCheck stop = signal_check();
  try {
    const InterpreterReleased released;
    return work(stop);
  } catch (const Interrupted&) {
    throw py::error_already_set();
  }
}

// the engine with the shapes of its buffers
class PyBatchEngine {
 public:
  PyBatchEngine(const BatchConfig& config, bool float_observations)
      : engine_(config, float_observations),
        num_envs_(config.num_envs),
        n_agents_(config.n_agents),
        float_observations_(float_observations) {
    if (engine_.same_step()) {
      final_observations_ = py::array(observation_dtype(), observation_shape());
      final_mask_ = py::array_t<bool>(num_envs_);
    }
  }

  int32_t observation_length() const { return engine_.observation_length(); }
  int32_t num_threads() const { return engine_.num_threads(); }

  void seed(const py::handle& states, const py::handle& mask) {
    const BatchEngine::Call call(engine_, "seed");
    seed_selected(call, states, mask);
  }

  // Seeds the environments of seed_mask from states when states is given, then
  // starts new episodes in the environments of mask (all when None); returns every
  // environment's observations in a fresh array.
  py::array reset(const py::handle& mask, const py::handle& states, const py::handle& seed_mask) {
    const py::object mask_array = checked_mask(mask, "mask");
    const bool* selected = flags_of(mask_array);
    const BatchEngine::Call call(engine_, "reset");
    if (!states.is_none()) seed_selected(call, states, seed_mask);
    py::array obs;
    {
      const ResultArrayScope pooled(result_pool_, result_bytes());
      obs = py::array(observation_dtype(), observation_shape());
    }
    void* out = obs.mutable_data();
    without_interpreter([&](const StopCheck& stop) { engine_.reset(call, selected, out, stop); });
    return obs;
  }

  // Steps every environment. Results go to `out` (observations, rewards,
  // terminations, truncations) when it is given, else to fresh arrays; returns the
  // four arrays and, when episodes ended with same_step autoreset, a copy of the
  // mask of ended environments and a list of their last observations (else None).
  py::tuple step(const py::handle& actions, const py::handle& out) {
    const std::vector<py::ssize_t> per_env = {num_envs_};
    const py::array acts =
        checked(actions, "actions", {py::dtype::of<double>(), py::dtype::of<float>()},
                {num_envs_, n_agents_, 2}, false);
    py::array obs, rew, term, trunc;
    const BatchEngine::Call call(engine_, "step");
    if (out.is_none()) {
      const ResultArrayScope pooled(result_pool_, result_bytes());
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
                    extent_of(trunc, "truncations")});
    const StepBuffers buffers{
        obs.mutable_data(),
        static_cast<double*>(rew.mutable_data()),
        static_cast<bool*>(term.mutable_data()),
        static_cast<bool*>(trunc.mutable_data()),
        final_observations_ ? final_observations_.mutable_data() : nullptr,
        final_mask_ ? static_cast<bool*>(final_mask_.mutable_data()) : nullptr};
    const bool float_actions = acts.dtype().equal(py::dtype::of<float>());
    const void* action_data = acts.data();
    const int64_t ended = without_interpreter([&](const StopCheck& stop) {
      return engine_.step(call, action_data, float_actions, buffers, stop);
    });
    const py::object finals =
        ended > 0 && engine_.same_step() ? py::object(final_results()) : py::none();
    return py::make_tuple(obs, rew, term, trunc, finals);
  }

  // environment env's global state as a fresh float64 array, and its episode's steps
  py::tuple state(int32_t env) {
    const BatchEngine::Call call(engine_, "state");
    py::array_t<double> state(engine_.state_length());
    const int64_t steps = engine_.read_state(call, env, state.mutable_data());
    return py::make_tuple(state, steps);
  }

  void close() {
    const BatchEngine::Call call(engine_, "close");
    without_interpreter([&](const StopCheck&) { engine_.close(call); });
    result_pool_.release();
  }

  // close() unless a call runs, as at interpreter exit while a daemon thread steps;
  // true when the engine is closed
  bool close_if_idle() {
    std::optional<BatchEngine::Call> call;
    try {
      call.emplace(engine_, "close");
    } catch (const std::runtime_error&) {
      return !engine_.in_call();
    }
    without_interpreter([&](const StopCheck&) { engine_.close(*call); });
    result_pool_.release();
    return true;
  }

  void set_pool_generation_for_testing(uint64_t generation) {
    const BatchEngine::Call call(engine_, "set_pool_generation_for_testing");
    engine_.set_pool_generation_for_testing(call, generation);
  }

 private:
  void seed_selected(const BatchEngine::Call& call, const py::handle& states,
                     const py::handle& mask) {
    py::array words = checked(states, "states", {py::dtype::of<uint64_t>()}, {num_envs_, 4}, false);
    const auto* data = static_cast<const uint64_t*>(words.data());
    const py::object mask_array = checked_mask(mask, "seed_mask");
    const bool* selected = flags_of(mask_array);
    for (int32_t env = 0; env < num_envs_; ++env) {
      if (selected == nullptr || selected[env]) {
        engine_.seed(call, env, state_from(data + 4 * env));
      }
    }
  }

  // copies that outlive the next step, which overwrites the engine's buffers
  py::tuple final_results() const {
    const auto* mask = static_cast<const bool*>(final_mask_.data());
    const auto row_bytes = static_cast<size_t>(final_observations_.nbytes() / num_envs_);
    const auto* rows = static_cast<const char*>(final_observations_.data());
    const std::vector<py::ssize_t> shape = observation_shape();
    const std::vector<py::ssize_t> row_shape(shape.begin() + 1, shape.end());
    py::list observations;
    for (py::ssize_t env = 0; env < num_envs_; ++env) {
      if (!mask[env]) continue;
      py::array row(observation_dtype(), row_shape);
      std::memcpy(row.mutable_data(), rows + env * row_bytes, row_bytes);
      observations.append(row);
    }
    py::array mask_copy = py::array_t<bool>(num_envs_);
    std::memcpy(mask_copy.mutable_data(), mask, static_cast<size_t>(num_envs_));
    return py::make_tuple(mask_copy, observations);
  }

  py::dtype observation_dtype() const {
    return float_observations_ ? py::dtype::of<float>() : py::dtype::of<double>();
  }

  // one row per agent, or one state per environment
  std::vector<py::ssize_t> observation_shape() const {
    if (engine_.state_observations()) return {num_envs_, engine_.observation_length()};
    return {num_envs_, n_agents_, engine_.observation_length()};
  }

  // bytes of one call's fresh results
  size_t result_bytes() const {
    const size_t values = static_cast<size_t>(num_envs_) *
                          static_cast<size_t>(engine_.observation_rows()) *
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

  py::object checked_mask(const py::handle& mask, const char* name) const {
    if (mask.is_none()) return py::none();
    return checked(mask, name, {py::dtype::of<bool>()}, {num_envs_}, false);
  }

  // null for None, meaning every environment
  static const bool* flags_of(const py::object& mask) {
    if (mask.is_none()) return nullptr;
    return static_cast<const bool*>(py::reinterpret_borrow<py::array>(mask).data());
  }

  BatchEngine engine_;
  ResultArrayPool result_pool_;
  py::ssize_t num_envs_;
  py::ssize_t n_agents_;
  bool float_observations_;
  // where same_step autoreset leaves the last observations of ended episodes
  py::array final_observations_;
  py::array final_mask_;
};

}  // namespace

PYBIND11_MODULE(_batch, module) {
  main_thread_ident =
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
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

  module.attr("environment_bytes") = BatchEngine::environment_bytes();

  py::class_<PyBatchEngine>(module, "BatchEngine")
      .def(py::init([](const py::handle& task, int32_t num_envs, const std::string& mode,
                       int32_t num_threads, bool float_observations) {
             BatchConfig config;
             static_cast<TaskConfig&>(config) = task_config_from(task);
             config.num_envs = num_envs;
             config.autoreset_mode = autoreset_mode(mode);
             config.num_threads = num_threads;
             return new PyBatchEngine(config, float_observations);
           }),
           "The engine of num_envs environments of one task, read by keyword name from task "
           "(the package's EnvConfig).",
           py::arg("task"), py::arg("num_envs"), py::arg("autoreset_mode"), py::arg("num_threads"),
           py::arg("float_observations"))
      .def_property_readonly("observation_length", &PyBatchEngine::observation_length)
      .def_property_readonly("num_threads", &PyBatchEngine::num_threads)
      .def("seed", &PyBatchEngine::seed,
           "Sets the generator state (num_envs, 4) uint64 of every environment in mask "
           "(all when None).",
           py::arg("states"), py::arg("mask") = py::none())
      .def("reset", &PyBatchEngine::reset,
           "Seeds the environments in seed_mask (all when None) from states when states is "
           "given, then starts a new episode in every environment in mask (all when None); "
           "returns every environment's observations.",
           py::arg("mask"), py::arg("states") = py::none(), py::arg("seed_mask") = py::none())
      .def("step", &PyBatchEngine::step,
           "Steps every environment; returns (observations, rewards, terminations, "
           "truncations, finals), in out when it is given; finals is None or, when same_step "
           "autoreset ended episodes, (mask of ended environments, their last observations).",
           py::arg("actions"), py::arg("out"))
      .def("state", &PyBatchEngine::state,
           "Environment env's global state (particle 0's observation, float64) and the steps "
           "of its current episode.",
           py::arg("env"))
      .def("close", &PyBatchEngine::close,
           "Joins the worker threads and releases the pooled result memory; later calls raise.")
      .def("close_if_idle", &PyBatchEngine::close_if_idle,
           "close() unless another thread's call runs; True when the engine is closed.")
      .def("_set_pool_generation_for_testing", &PyBatchEngine::set_pool_generation_for_testing,
           "Sets the thread pool's call counter, to test its wrap-around.", py::arg("generation"));
}
