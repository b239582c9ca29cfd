// The zandrel_cpp extension module: class Environment over the simulation record.
// Each method converts its arguments, calls one core operation and returns its
// result unchanged.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <stdexcept>
#include <string>

#include "core/zandrel_environment.hpp"

namespace py = pybind11;

namespace {

// one observation per agent: the state mode, one row per environment, is the
// batched engine's
void set_observation(ZandrelEnvironment& env, const std::string& observation,
                     const std::array<int32_t, 3>& n_neighbours) {
  const ObservationMode mode = observation_mode_named(observation);
  if (mode == ObservationMode::state) {
    throw std::invalid_argument(
        "Environment.set_observation() gives one observation per agent: observation must be "
        "'global', 'relative' or 'local', got 'state' (one state per environment is "
        "zandrel.vector_env's; here step() and reset() return the state first)");
  }
  env.set_observation_layout({mode, {n_neighbours[0], n_neighbours[1], n_neighbours[2]}});
}

}  // namespace

PYBIND11_MODULE(zandrel_cpp, module) {
  module.doc() = "Pybind11 backend for the Zandrel PettingZoo environment";

  py::class_<ZandrelEnvironment>(module, "Environment")
      .def(py::init<>())
      .def("init", &ZandrelEnvironment::init,
           "Initializes the environment with starting positions for all entities.",
           py::arg("particle_positions"), py::arg("boulder_positions"),
           py::arg("landmark_positions"), py::arg("n_physics_steps"), py::arg("sparse_rewards"),
           py::arg("visit_all"), py::arg("sparse_weight"))
      .def("reset", &ZandrelEnvironment::reset,
           "Resets the environment to the initial state and returns (state, observations).")
      .def("step", &ZandrelEnvironment::step, "Steps the environment with a dictionary of actions.",
           py::arg("actions"))
      .def("set_observation", &set_observation,
           "Chooses the observations that reset() and step() return: 'global' (the default), "
           "'relative' or 'local' with n_neighbours = (particles, boulders, landmarks).",
           py::arg("observation"), py::arg("n_neighbours") = std::array<int32_t, 3>{4, 4, 4});
}
