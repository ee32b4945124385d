#pragma once

#include "engine/float_table.h"
#include "engine/worker_pool.h"
#include "py_ref.h"

namespace cropmerge {

// Accepts `object` as an input table if it is a two-dimensional float64 NumPy
// array (subclasses, any strides, read-only included) and returns a new
// reference to it; otherwise sets TypeError and returns an empty PyRef.
// Throws Failure when NumPy's C API cannot be reached.
PyRef accept_array(PyObject* object);

// Copies an accepted array into an owned table: one block, keeping its memory
// order, when the array is contiguous (split among the pool's workers, so
// that the new pages are faulted in and filled in parallel); element by
// element into row-major order otherwise. Touches no Python object but the
// array's own memory.
FloatTable copy_array(PyObject* array, const WorkerPool& pool);

// Hands `table`'s buffer to a new NumPy array without copying; the array's
// base is a PySliceContainer that frees the buffer. Throws Failure when the
// owner or the array cannot be created.
PyRef wrap_table(FloatTable table);

}  // namespace cropmerge
