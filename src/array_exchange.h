#pragma once

#include "engine/float_table.h"
#include "py_ref.h"

namespace cropmerge {

// Accepts `object` as an input table if it is a two-dimensional float64 NumPy
// array (subclasses, any strides, read-only included) and returns a new
// reference to it; otherwise sets TypeError and returns an empty PyRef.
// Throws Failure when NumPy's C API cannot be reached.
PyRef accept_array(PyObject* object);

// Copies an accepted array into an owned table: one block, keeping its memory
// order, when the array is contiguous; element by element into row-major
// order otherwise.
FloatTable copy_array(PyObject* array);

// Hands `table`'s buffer to a new NumPy array without copying; the array's
// base is a PySliceContainer that frees the buffer. Throws Failure when the
// owner or the array cannot be created.
PyRef wrap_table(FloatTable table);

}  // namespace cropmerge
