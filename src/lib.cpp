// The _native module: one function, merge_points_removing_overlap, binding
// its five arguments the way CPython binds a Python function's, and the one
// place where engine failures become Python exceptions.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "array_exchange.h"
#include "engine/buffer.h"
#include "engine/failure.h"
#include "engine/parallel_driver.h"
#include "py_ref.h"

namespace cropmerge {
namespace {

constexpr const char* kFunctionName = "merge_points_removing_overlap";
constexpr Py_ssize_t kParameterCount = 5;
constexpr const char* kParameterNames[kParameterCount] = {
    "connected_crop_rows", "points_in_rows", "row_information", "tolerance", "num_threads"};

// ---- PanicException ----------------------------------------------------------

PyMutex panic_type_mutex{};
PyObject* panic_type = nullptr;  // kept for the life of the process

PyObject* panic_exception_type() {
    PyMutexGuard guard(panic_type_mutex);
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "A failure inside the native engine. Derives from BaseException, so `except "
            "Exception` does not catch it: catch it by name.",
            PyExc_BaseException, nullptr);
    }
    return panic_type;
}

// Called when turning a failure into an exception fails in turn: there is no
// sound way left to report it to Python.
[[noreturn]] void abort_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        abort_at_boundary();
    }
    PyErr_SetString(type, message);
}

// Sets the Python exception for the C++ exception being handled. The only
// place where engine failures cross into the interpreter.
void raise_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const Failure& failure) {
            raise_panic(failure.what());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            raise_panic(error.what());
        }
    } catch (...) {
        abort_at_boundary();
    }
}

// ---- argument binding --------------------------------------------------------
//
// By hand rather than with PyArg_ParseTupleAndKeywords: callers rely on the exact
// TypeError texts below ("missing 2 required positional arguments: ..."), and on
// the parameter's name noted on a conversion error, which it words otherwise.

// Adds "while processing '<parameter>'" to the pending exception; if that
// fails, the exception is raised without the note.
void add_note(const char* parameter) {
    PyObject* error = PyErr_GetRaisedException();
    PyRef note(PyUnicode_FromFormat("while processing '%s'", parameter));
    PyRef added = note ? PyRef(PyObject_CallMethod(error, "add_note", "O", note.get())) : PyRef();
    if (!added) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error);
}

std::string quoted_list(const std::string* names, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            text += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        }
        text += "'" + names[i] + "'";
    }
    return text;
}

// The parameter named `keyword`, or -1.
Py_ssize_t parameter_named(PyObject* keyword) {
    for (Py_ssize_t p = 0; p < kParameterCount; ++p) {
        if (PyUnicode_CompareWithASCIIString(keyword, kParameterNames[p]) == 0) {
            return p;
        }
    }
    return -1;
}

// Binds the keyword arguments; false with TypeError set on a binding error.
bool bind_keywords(PyObject* const* values, PyObject* kwnames,
                   PyObject* (&bound)[kParameterCount]) {
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t match = parameter_named(keyword);
        if (match < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         kFunctionName, keyword);
            return false;
        }
        if (bound[match] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         kFunctionName, kParameterNames[match]);
            return false;
        }
        bound[match] = values[k];
    }
    return true;
}

// Binds positional and keyword arguments to the five parameters without
// converting them; false with TypeError set on a binding error.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* (&bound)[kParameterCount]) {
    if (nargs > kParameterCount) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                     kFunctionName, kParameterCount, nargs);
        return false;
    }
    std::copy(args, args + nargs, bound);
    if (!bind_keywords(args + nargs, kwnames, bound)) {
        return false;
    }
    std::string missing[kParameterCount];
    size_t missing_count = 0;
    for (Py_ssize_t p = 0; p < kParameterCount; ++p) {
        if (bound[p] == nullptr) {
            missing[missing_count++] = kParameterNames[p];
        }
    }
    if (missing_count > 0) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                     kFunctionName, missing_count, missing_count == 1 ? "" : "s",
                     quoted_list(missing, missing_count).c_str());
        return false;
    }
    return true;
}

bool convert_tolerance(PyObject* object, double& tolerance) {
    tolerance = PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
    if (tolerance == -1.0 && PyErr_Occurred()) {
        return false;
    }
    // A NaN tolerance would silently delete every point of every connected row.
    if (std::isnan(tolerance)) {
        PyErr_SetString(PyExc_ValueError, "tolerance must not be NaN");
        return false;
    }
    return true;
}

bool convert_num_threads(PyObject* object, unsigned long long& num_threads) {
    PyRef index = PyLong_Check(object) ? PyRef::borrow(object) : PyRef(PyNumber_Index(object));
    if (!index) {
        return false;
    }
    num_threads = PyLong_AsUnsignedLongLong(index.get());
    return !(num_threads == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

// ---- the function --------------------------------------------------------------

// Accepts the three arrays, in parameter order; false with the first
// rejection set, noted with its parameter.
bool accept_arrays(PyObject* const (&bound)[kParameterCount], PyRef (&arrays)[3]) {
    for (int i = 0; i < 3; ++i) {
        arrays[i] = accept_array(bound[i]);
        if (!arrays[i]) {
            add_note(kParameterNames[i]);
            return false;
        }
    }
    return true;
}

PyObject* merge(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[kParameterCount] = {};
    if (!bind_arguments(args, nargs, kwnames, bound)) {
        return nullptr;
    }
    PyRef arrays[3];
    if (!accept_arrays(bound, arrays)) {
        return nullptr;
    }
    double tolerance = 0.0;
    if (!convert_tolerance(bound[3], tolerance)) {
        add_note(kParameterNames[3]);
        return nullptr;
    }
    unsigned long long num_threads = 0;
    if (!convert_num_threads(bound[4], num_threads)) {
        add_note(kParameterNames[4]);
        return nullptr;
    }
    // The result is allocated as NumPy would allocate a large array.
    advise_huge_pages.store(numpy_advises_huge_pages(), std::memory_order_relaxed);
    // The conversions may have run the caller's __float__ or __index__, which
    // can reshape, retype or refill an accepted array: accept the arrays
    // again, and take their layout only now that no caller code runs until
    // the call returns.
    if (!accept_arrays(bound, arrays)) {
        return nullptr;
    }
    const WorkerPool copy_pool(resolve_worker_count(num_threads));
    const InputTable connected_crop_rows(arrays[0].get(), copy_pool);
    const InputTable points_in_rows(arrays[1].get(), copy_pool);
    const InputTable row_information(arrays[2].get(), copy_pool);
    FloatTable merged = multithreaded_merging(connected_crop_rows.view(), points_in_rows.view(),
                                              row_information.view(), tolerance, num_threads);
    return wrap_table(std::move(merged)).release();
}

PyObject* merge_points_removing_overlap(PyObject* /*module*/, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames) {
    try {
        return merge(args, nargs, kwnames);
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyMethodDef merge_definition = {
    .ml_name = kFunctionName,
    .ml_meth =
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_points_removing_overlap)),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    // The signature block alone: Python derives __text_signature__ from it,
    // and __doc__ is None.
    .ml_doc =
        "merge_points_removing_overlap(connected_crop_rows, points_in_rows, row_information, "
        "tolerance, num_threads)\n--\n\n",
};

// ---- the module ------------------------------------------------------------------

// Appends `name` to the module's __all__, creating the list if there is none.
int append_to_all(PyObject* module, PyObject* name) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return -1;
        }
    }
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        raise_panic("could not append __name__ to __all__");
        return -1;
    }
    return 0;
}

int add_function(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'module'",
                     Py_TYPE(module)->tp_name);
        return -1;
    }
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) {
        return -1;
    }
    PyRef function(PyCMethod_New(&merge_definition, module, module_name.get(), nullptr));
    if (!function) {
        return -1;
    }
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) {
        return -1;
    }
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be a str");
        return -1;
    }
    if (append_to_all(module, name.get()) < 0) {
        return -1;
    }
    return PyObject_SetAttr(module, name.get(), function.get());
}

int exec_module(PyObject* module) {
    try {
        return add_function(module);
    } catch (...) {
        abort_at_boundary();
    }
}

PyModuleDef_Slot module_slots[] = {
    {.slot = Py_mod_exec, .value = reinterpret_cast<void*>(exec_module)},
    {.slot = Py_mod_gil, .value = Py_MOD_GIL_NOT_USED},
    {.slot = 0, .value = nullptr},
};

// The function is added by the execution step, not by a method table.
PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_native",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace cropmerge

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&cropmerge::module_definition); }
