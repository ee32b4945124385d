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

// An accepted array as the engine reads it, with its layout as it is when the
// InputTable is made: make it after the last caller code of the call has
// run, and keep the array referenced while the view is in use.
//
// The caller's buffer is read in place while the GIL is held for the whole
// call, so no Python code changes it meanwhile; native code may (a NumPy
// function another thread started, which let go of the GIL), and the engine
// never lets such values take it out of bounds. The engine reads whole
// float64 elements, so an array with misaligned data or strides that are not
// whole elements is copied; so is every array on a free-threaded build, where
// any thread may write to it while the engine reads.
class InputTable {
public:
    InputTable(PyObject* array, const WorkerPool& copy_pool);

    const TableView& view() const { return view_; }

private:
    FloatTable copy_;  // empty when the array is read in place
    TableView view_;
};

// Whether NumPy asks for huge pages for its large arrays (its switch,
// NUMPY_MADVISE_HUGEPAGE); yes, NumPy's default, when it cannot tell.
// Looks the switch up in NumPy's module: call it before the arrays are
// accepted for the last time.
bool numpy_advises_huge_pages();

// Hands `table`'s buffer to a new NumPy array without copying; the array's
// base is a PySliceContainer that frees the buffer. Throws Failure when the
// owner or the array cannot be created.
PyRef wrap_table(FloatTable table);

}  // namespace cropmerge
