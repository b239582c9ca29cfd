// The zandrel_cpp extension module: class Environment over the simulation record.
// Each method converts its arguments, calls one core operation and returns its
// result unchanged.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/zandrel_environment.hpp"

namespace py = pybind11;

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
           py::arg("actions"));
}
