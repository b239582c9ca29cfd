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
//
// Each batched engine has a pool of its own, so that a large batch does not fill
// the pool with buffers of its sizes and leave a smaller one to malloc; the single
// environments share one.
#pragma once

#include <Python.h>

#include <cstddef>

class ResultArrayPool {
 public:
  ResultArrayPool();
  // the memory of arrays still alive stays theirs; the rest is released
  ~ResultArrayPool();
  ResultArrayPool(const ResultArrayPool&) = delete;
  ResultArrayPool& operator=(const ResultArrayPool&) = delete;

  // frees the kept buffers; buffers freed later go straight back to the system
  void release();

  // the NumPy memory handler capsule; owned by the pool and by every array whose
  // data came from it
  PyObject* handler() const { return capsule_; }

 private:
  PyObject* capsule_ = nullptr;
};

// the pool of the single environments
ResultArrayPool& shared_result_pool();

class ResultArrayScope {
 public:
  ResultArrayScope(ResultArrayPool& pool, size_t result_bytes);
  explicit ResultArrayScope(size_t result_bytes)
      : ResultArrayScope(shared_result_pool(), result_bytes) {}
  ~ResultArrayScope();
  ResultArrayScope(const ResultArrayScope&) = delete;
  ResultArrayScope& operator=(const ResultArrayScope&) = delete;

 private:
  PyObject* previous_handler_ = nullptr;  // restored on exit; null when NumPy has no handlers
};
