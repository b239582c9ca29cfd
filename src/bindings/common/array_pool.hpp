// Memory for the arrays that reset and step return, in zandrel_cpp and in the
// batched engine's module.
//
// A step returns fresh arrays and the caller frees them before the next step.
// Left to malloc, that memory sits at the top of the heap, is handed back to the
// system on every free and faults in again page by page on the next step, which
// costs more than building the results. While a ResultArrayScope is alive,
// NumPy takes the data of new arrays from a small pool of recently freed
// buffers instead; the arrays still own their data and free it through NumPy as
// usual. Small results never reach the point where the heap shrinks, so the
// scope leaves NumPy alone for them and saves the cost of switching handlers.
#pragma once

#include <Python.h>

#include <cstddef>

class ResultArrayScope {
 public:
  explicit ResultArrayScope(size_t result_bytes);
  ~ResultArrayScope();
  ResultArrayScope(const ResultArrayScope&) = delete;
  ResultArrayScope& operator=(const ResultArrayScope&) = delete;

 private:
  PyObject* previous_handler_ = nullptr;  // restored on exit; null when NumPy has no handlers
};

// Frees every buffer the pool keeps for reuse; arrays still alive are left alone.
void release_pooled_buffers();
