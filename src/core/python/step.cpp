// The dict step driver: runs the sub-steps and assembles the five Python results.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <stdexcept>

#include "bindings/common/array_pool.hpp"
#include "core/zandrel_environment.hpp"
#include "python_results.hpp"

namespace py = pybind11;

py::tuple ZandrelEnvironment::step(const py::dict& actions) {
  ReentryGuard guard(*this, "step");
  // a record that has never been through init has counts without positions
  if (!counts_match_positions()) {
    throw std::runtime_error(
        "Environment must be initialized with init() before step() can be called.");
  }
  double step_reward = 0.0;
  bool replay = false;
  for (int32_t substep = 0; substep < n_physics_steps; ++substep) {
    // a dict of plain data reads the same in every sub-step: read it once
    if (replay) {
      replay_actions();
    } else {
      replay = apply_actions(actions);
    }
    physics_substep();
    step_reward = step_reward + update_goals();
  }

  const ResultArrayScope pooled_arrays(result_bytes());
  py::array state = build_state();
  py::dict observations = build_observations();
  py::dict rewards;
  py::dict terminations;
  py::dict truncations;
  const py::handle done = terminated() ? Py_True : Py_False;
  // the observation keys are the agent names, in agent order
  PyObject* name = nullptr;
  PyObject* observation = nullptr;
  Py_ssize_t position = 0;
  for (int32_t i = 0; i < n_agents; ++i) {
    PyDict_Next(observations.ptr(), &position, &name, &observation);
    // every agent gets a float object of its own carrying the one step reward
    const auto reward = py::reinterpret_steal<py::object>(PyFloat_FromDouble(step_reward));
    if (!reward) throw py::error_already_set();
    set_item(rewards, name, reward);
    set_item(terminations, name, done);
    set_item(truncations, name, Py_False);
  }

  py::tuple result(5);
  PyTuple_SET_ITEM(result.ptr(), 0, state.release().ptr());
  PyTuple_SET_ITEM(result.ptr(), 1, observations.release().ptr());
  PyTuple_SET_ITEM(result.ptr(), 2, rewards.release().ptr());
  PyTuple_SET_ITEM(result.ptr(), 3, terminations.release().ptr());
  PyTuple_SET_ITEM(result.ptr(), 4, truncations.release().ptr());
  return result;
}
