// Interpreter functions that only some Python versions export, and that the binding
// library's inline code references when it is built for one of those versions. With
// ordinary references, another interpreter's loader fails on the first missing one
// ("undefined symbol: ...") before the module's entry point can run; weak references
// let it load far enough for the entry point's version check to refuse the interpreter
// with its ImportError naming both versions. Nothing calls them before that check.
// Compiled into every source of the modules (see CMakeLists.txt).
#pragma once

#pragma weak PyDict_GetItemStringRef
#pragma weak PyObject_ClearManagedDict
#pragma weak PyObject_VisitManagedDict
#pragma weak PyThreadState_GetUnchecked
#pragma weak Py_IsFinalizing
#pragma weak _Py_IsFinalizing
#pragma weak _PyThreadState_UncheckedGet
