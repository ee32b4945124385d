#include "array_exchange.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "engine/failure.h"

namespace cropmerge {

namespace {

// ---- NumPy's C-API table, loaded once per process on first use ----------

PyMutex numpy_api_mutex{};
std::atomic<bool> numpy_api_ready{false};
const char* numpy_core_module = nullptr;  // set with the table, before it is ready

// Entries of NumPy's C-API table that vouch for its compatibility.
constexpr int kAbiVersionEntry = 0;
constexpr int kEndiannessEntry = 210;
constexpr int kFeatureVersionEntry = 211;
constexpr unsigned kMaxAbiVersion = 0x02000000;
constexpr unsigned kMinFeatureVersion = 12;

// The pending Python error as "Type: message", cleared.
std::string take_error_text() {
    PyRef error(PyErr_GetRaisedException());
    if (!error) {
        return "no Python error set";
    }
    std::string text = Py_TYPE(error.get())->tp_name;
    PyRef message(PyObject_Str(error.get()));
    const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (utf8 != nullptr && *utf8 != '\0') {
        text += std::string(": ") + utf8;
    }
    PyErr_Clear();  // from PyObject_Str or the UTF-8 conversion, if either failed
    return text;
}

[[noreturn]] void fail_numpy_api(const std::string& reason) {
    fail("Failed to access NumPy array API capsule: " + reason);
}

// NumPy 2 moved its core module; older releases keep it under numpy.core.
const char* core_multiarray_module() {
    PyRef numpy(PyImport_ImportModule("numpy"));
    PyRef version = numpy ? PyRef(PyObject_GetAttrString(numpy.get(), "__version__")) : PyRef();
    PyRef lib = numpy ? PyRef(PyObject_GetAttrString(numpy.get(), "lib")) : PyRef();
    PyRef numpy_version =
        lib && version ? PyRef(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()))
                       : PyRef();
    PyRef major =
        numpy_version ? PyRef(PyObject_GetAttrString(numpy_version.get(), "major")) : PyRef();
    const long major_version = major ? PyLong_AsLong(major.get()) : -1;
    if (major_version == -1) {
        fail_numpy_api(take_error_text());
    }
    return major_version >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

void load_numpy_api() {
    numpy_core_module = core_multiarray_module();
    PyRef core(PyImport_ImportModule(numpy_core_module));
    PyRef capsule = core ? PyRef(PyObject_GetAttrString(core.get(), "_ARRAY_API")) : PyRef();
    void* table = capsule ? PyCapsule_GetPointer(capsule.get(), nullptr) : nullptr;
    if (table == nullptr) {
        fail_numpy_api(take_error_text());
    }
    void** entries = static_cast<void**>(table);
    using VersionFunction = unsigned (*)();
    using EndiannessFunction = int (*)();
    const unsigned abi = reinterpret_cast<VersionFunction>(entries[kAbiVersionEntry])();
    if (abi > kMaxAbiVersion) {
        fail_numpy_api("unsupported NumPy ABI version " + std::to_string(abi));
    }
    const unsigned feature = reinterpret_cast<VersionFunction>(entries[kFeatureVersionEntry])();
    if (feature < kMinFeatureVersion) {
        fail_numpy_api("NumPy C API feature version " + std::to_string(feature) + " is too old");
    }
    if (reinterpret_cast<EndiannessFunction>(entries[kEndiannessEntry])() != NPY_CPU_LITTLE) {
        fail_numpy_api("NumPy is not little-endian");
    }
    PyArray_API = entries;
    PyArray_RUNTIME_VERSION = static_cast<int>(feature);
}

void ensure_numpy_api() {
    if (numpy_api_ready.load(std::memory_order_acquire)) {
        return;
    }
    PyMutexGuard guard(numpy_api_mutex);
    if (!numpy_api_ready.load(std::memory_order_relaxed)) {
        load_numpy_api();
        numpy_api_ready.store(true, std::memory_order_release);
    }
}

// ---- PySliceContainer: the owner of a result buffer ----------------------

struct SliceContainer {
    PyObject_HEAD double* data;
    size_t length;
    size_t capacity;
    void (*drop)(double* data, size_t length, size_t capacity);
};

void drop_float64_buffer(double* data, size_t /*length*/, size_t /*capacity*/) {
    Buffer<double> owner(data);
}

void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    if (container->data != nullptr) {
        container->drop(container->data, container->length, container->capacity);
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(slice_container_dealloc)},
    {.slot = Py_tp_doc,
     .pfunc = const_cast<char*>("Owner of the memory of an array returned by _native.")},
    {.slot = 0, .pfunc = nullptr},
};

PyType_Spec slice_container_spec = {
    .name = "builtins.PySliceContainer",
    .basicsize = sizeof(SliceContainer),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = slice_container_slots,
};

PyMutex slice_container_mutex{};
std::atomic<PyTypeObject*> slice_container_type{nullptr};

PyTypeObject* get_slice_container_type() {
    if (PyTypeObject* type = slice_container_type.load(std::memory_order_acquire)) {
        return type;
    }
    PyMutexGuard guard(slice_container_mutex);
    if (slice_container_type.load(std::memory_order_relaxed) == nullptr) {
        // Kept for the life of the process.
        PyObject* type = PyType_FromSpec(&slice_container_spec);
        if (type == nullptr) {
            return nullptr;
        }
        slice_container_type.store(reinterpret_cast<PyTypeObject*>(type),
                                   std::memory_order_release);
    }
    return slice_container_type.load(std::memory_order_relaxed);
}

PyRef make_slice_container(Buffer<double>& buffer, size_t length) {
    PyTypeObject* type = get_slice_container_type();
    PyRef container = type ? PyRef(type->tp_alloc(type, 0)) : PyRef();
    if (!container) {
        fail("Failed to create slice container: " + take_error_text());
    }
    auto* slice = reinterpret_cast<SliceContainer*>(container.get());
    slice->length = length;
    slice->capacity = length;
    slice->drop = drop_float64_buffer;
    slice->data = buffer.release();
    return container;
}

// ---- copies -------------------------------------------------------------

// Below this a second thread costs more than it saves.
constexpr size_t kMinBytesPerWorker = size_t{4} << 20U;
// memcpy switches to non-temporal stores for very large blocks, which on
// freshly faulted pages costs twice the memory traffic (the kernel's zeroing
// goes out to memory, then the copy). Pieces this size stay on the fast path.
constexpr size_t kCopyPiece = size_t{4} << 20U;

void copy_block(const char* from, char* to, size_t bytes, const WorkerPool& pool) {
    const size_t parts = std::clamp<size_t>(bytes / kMinBytesPerWorker, 1, pool.size());
    pool.for_each(parts, [&](size_t part) {
        const size_t end = bytes * (part + 1) / parts;
        for (size_t begin = bytes * part / parts; begin < end; begin += kCopyPiece) {
            std::memcpy(to + begin, from + begin, std::min(kCopyPiece, end - begin));
        }
    });
}

// ---- acceptance ------------------------------------------------------------

std::string qualified_name(PyTypeObject* type) {
    PyRef name(PyType_GetQualName(type));
    const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return type->tp_name;
    }
    return utf8;
}

bool is_float64_matrix(PyObject* object) {
    if (!PyArray_Check(object)) {
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 2) {
        return false;
    }
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
    const bool equivalent =
        PyArray_DESCR(array) == float64 || PyArray_EquivTypes(PyArray_DESCR(array), float64);
    Py_DECREF(float64);
    return equivalent;
}

// ---- reading in place ------------------------------------------------------

constexpr npy_intp kElement = sizeof(double);

bool whole_elements(npy_intp bytes) { return bytes % kElement == 0; }

bool readable_in_place(PyArrayObject* array) {
#ifdef Py_GIL_DISABLED
    (void)array;
    return false;
#else
    return reinterpret_cast<uintptr_t>(PyArray_DATA(array)) % alignof(double) == 0 &&
           whole_elements(PyArray_STRIDE(array, 0)) && whole_elements(PyArray_STRIDE(array, 1));
#endif
}

TableView view_in_place(PyArrayObject* array) {
    return {.data = static_cast<const double*>(PyArray_DATA(array)),
            .rows = static_cast<size_t>(PyArray_DIM(array, 0)),
            .cols = static_cast<size_t>(PyArray_DIM(array, 1)),
            .row_stride = PyArray_STRIDE(array, 0) / kElement,
            .col_stride = PyArray_STRIDE(array, 1) / kElement};
}

// One block, keeping its memory order, when the array is contiguous (split
// among the pool's workers, so that the new pages are faulted in and filled
// in parallel); element by element into row-major order otherwise.
FloatTable copy_array(PyArrayObject* array, const WorkerPool& pool) {
    const auto rows = static_cast<size_t>(PyArray_DIM(array, 0));
    const auto cols = static_cast<size_t>(PyArray_DIM(array, 1));
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    if (PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array)) {
        FloatTable table = PyArray_IS_C_CONTIGUOUS(array) ? FloatTable::row_major(rows, cols)
                                                          : FloatTable::column_major(rows, cols);
        copy_block(data, reinterpret_cast<char*>(table.data()), rows * cols * sizeof(double), pool);
        return table;
    }
    FloatTable table = FloatTable::row_major(rows, cols);
    const npy_intp row_stride = PyArray_STRIDE(array, 0);
    const npy_intp col_stride = PyArray_STRIDE(array, 1);
    double* out = table.data();
    for (size_t row = 0; row < rows; ++row) {
        const char* element = data + static_cast<npy_intp>(row) * row_stride;
        for (size_t col = 0; col < cols; ++col, element += col_stride) {
            std::memcpy(out++, element, sizeof(double));  // elements may be unaligned
        }
    }
    return table;
}

}  // namespace

PyRef accept_array(PyObject* object) {
    ensure_numpy_api();
    if (is_float64_matrix(object)) {
        return PyRef::borrow(object);
    }
    const std::string expected = qualified_name(&PyArray_Type);
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected.c_str());
    } else {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'",
                     qualified_name(Py_TYPE(object)).c_str(), expected.c_str());
    }
    return {};
}

InputTable::InputTable(PyObject* object, const WorkerPool& copy_pool) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (readable_in_place(array)) {
        view_ = view_in_place(array);
    } else {
        copy_ = copy_array(array, copy_pool);
        view_ = copy_.view();
    }
}

bool numpy_advises_huge_pages() {
    ensure_numpy_api();
    PyRef core(PyImport_ImportModule(numpy_core_module));
    PyRef advises =
        core ? PyRef(PyObject_CallMethod(core.get(), "_get_madvise_hugepage", nullptr)) : PyRef();
    const int truth = advises ? PyObject_IsTrue(advises.get()) : -1;
    if (truth < 0) {
        PyErr_Clear();
        return true;
    }
    return truth == 1;
}

PyRef wrap_table(FloatTable table) {
    const size_t rows = table.rows();
    const size_t cols = table.cols();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    npy_intp strides[2] = {
        static_cast<npy_intp>(table.row_stride() * static_cast<ptrdiff_t>(sizeof(double))),
        static_cast<npy_intp>(table.col_stride() * static_cast<ptrdiff_t>(sizeof(double)))};
    double* data = table.data();
    Buffer<double> buffer = table.release();
    PyRef owner = make_slice_container(buffer, rows * cols);

    PyRef array(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 2, dims,
                                     strides, data, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) {
        if (PyErr_Occurred()) {
            PyErr_WriteUnraisable(nullptr);
        }
        fail("Failed to create the result array");
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
        fail("Failed to set the base of the result array: " + take_error_text());
    }
    return array;
}

}  // namespace cropmerge
